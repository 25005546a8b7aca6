#pragma once

#include "Collection.h"
#include "Strings.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>

#include <vector>

// The controls of the shell's forms. Each publishes its texts under the names that the form descriptions
// and the stored language rows use (Caption, Hint, Items, Panels, Text, ...): see Published.h. Hint is
// the tool tip.

namespace morvane {

class TAction;
class TTabSheet;

// A panel with a caption in its middle; it may hold other controls.
class TPanel : public QLabel {
    Q_OBJECT
    Q_PROPERTY(QString Name READ objectName WRITE setObjectName)
    Q_PROPERTY(QString Caption READ text WRITE setText)
    Q_PROPERTY(QString Hint READ toolTip WRITE setToolTip)
public:
    TPanel(const QString& name, QWidget* parent);
};

class TLabel : public QLabel {
    Q_OBJECT
    Q_PROPERTY(QString Name READ objectName WRITE setObjectName)
    Q_PROPERTY(QString Caption READ text WRITE setText)
    Q_PROPERTY(QString Hint READ toolTip WRITE setToolTip)
public:
    TLabel(const QString& name, const QString& caption, QWidget* parent);
};

// A command: its caption shows in every menu and button that carries it.
class TAction : public QAction {
    Q_OBJECT
    Q_PROPERTY(QString Name READ objectName WRITE setObjectName)
    Q_PROPERTY(QString Caption READ text WRITE setText)
    Q_PROPERTY(QString Category READ Category WRITE setCategory)
    Q_PROPERTY(QString Hint READ toolTip WRITE setHint)
public:
    TAction(const QString& name, const QString& caption, QObject* parent);
    QString Category() const { return m_category; }
    void setCategory(const QString& category) { m_category = category; }
    void setHint(const QString& hint);

private:
    QString m_category;
};

// A button that carries an action: its caption is the action's, a click runs it.
class TBitBtn : public QPushButton {
    Q_OBJECT
    Q_PROPERTY(QString Name READ objectName WRITE setObjectName)
    Q_PROPERTY(QString Caption READ text WRITE setText)
    Q_PROPERTY(QString Hint READ toolTip WRITE setToolTip)
    Q_PROPERTY(morvane::TAction* Action READ Action)
public:
    TBitBtn(const QString& name, QWidget* parent);
    TAction* Action() const { return m_action; }
    void setAction(TAction* action);

private:
    TAction* m_action = nullptr;
};

// The items of a combo box as a list of texts.
class TComboBoxItems : public localisation::TStrings {
    Q_OBJECT
public:
    explicit TComboBoxItems(QComboBox* box);
    QStringList strings() const override;
    void setStrings(const QStringList& texts) override;

private:
    QComboBox* m_box;
};

// A drop-down list; Text is the selected item's text.
class TComboBox : public QComboBox {
    Q_OBJECT
    Q_PROPERTY(QString Name READ objectName WRITE setObjectName)
    Q_PROPERTY(QString Hint READ toolTip WRITE setToolTip)
    Q_PROPERTY(QString Text READ currentText WRITE setCurrentText)
    Q_PROPERTY(morvane::localisation::TStrings* Items READ Items)
public:
    TComboBox(const QString& name, QWidget* parent);
    localisation::TStrings* Items() const { return m_items; }

private:
    TComboBoxItems* m_items;
};

class TStatusBar;

// The panels of a status bar; an item's display name is its text, or its class when it has none.
class TStatusPanels : public localisation::TCollection {
    Q_OBJECT
public:
    explicit TStatusPanels(TStatusBar* bar);
    qsizetype count() const override;
    QString displayName(qsizetype index) const override;

private:
    TStatusBar* m_bar;
};

// A status bar of fixed-width text panels.
class TStatusBar : public QStatusBar {
    Q_OBJECT
    Q_PROPERTY(QString Name READ objectName WRITE setObjectName)
    Q_PROPERTY(QString Hint READ toolTip WRITE setToolTip)
    Q_PROPERTY(morvane::localisation::TCollection* Panels READ Panels)
    Q_PROPERTY(QString SimpleText READ SimpleText WRITE setSimpleText)
public:
    TStatusBar(const QString& name, QWidget* parent);
    localisation::TCollection* Panels() const { return m_panels; }
    QString SimpleText() const { return m_simpleText; }
    void setSimpleText(const QString& text) { m_simpleText = text; }

    void addPanel(int width);
    qsizetype panelCount() const { return qsizetype(m_panelLabels.size()); }
    QLabel* panel(qsizetype index) const;

private:
    TStatusPanels* m_panels;
    std::vector<QLabel*> m_panelLabels; // children of the bar
    QString m_simpleText;
};

// A page of a page control; its caption is the page's tab.
class TTabSheet : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString Name READ objectName WRITE setObjectName)
    Q_PROPERTY(QString Caption READ Caption WRITE setCaption)
    Q_PROPERTY(QString Hint READ toolTip WRITE setToolTip)
public:
    TTabSheet(const QString& name, const QString& caption, QTabWidget* pages);
    QString Caption() const;
    void setCaption(const QString& caption);

private:
    QTabWidget* m_pages;
};

class TPageControl : public QTabWidget {
    Q_OBJECT
    Q_PROPERTY(QString Name READ objectName WRITE setObjectName)
    Q_PROPERTY(QString Hint READ toolTip WRITE setToolTip)
    Q_PROPERTY(morvane::TTabSheet* ActivePage READ ActivePage)
public:
    TPageControl(const QString& name, QWidget* parent);
    TTabSheet* ActivePage() const;
};

// A menu of a menu bar.
class TMenuItem : public QMenu {
    Q_OBJECT
    Q_PROPERTY(QString Name READ objectName WRITE setObjectName)
    Q_PROPERTY(QString Caption READ title WRITE setTitle)
    Q_PROPERTY(QString Hint READ toolTip WRITE setToolTip)
public:
    TMenuItem(const QString& name, const QString& caption, QWidget* parent);
};

class TMainMenu : public QMenuBar {
    Q_OBJECT
    Q_PROPERTY(QString Name READ objectName WRITE setObjectName)
public:
    TMainMenu(const QString& name, QWidget* parent);
};

class TPopupMenu : public QMenu {
    Q_OBJECT
    Q_PROPERTY(QString Name READ objectName WRITE setObjectName)
public:
    TPopupMenu(const QString& name, QWidget* parent);
};

class TTimer : public QTimer {
    Q_OBJECT
    Q_PROPERTY(QString Name READ objectName WRITE setObjectName)
public:
    TTimer(const QString& name, QObject* parent);
};

} // namespace morvane
