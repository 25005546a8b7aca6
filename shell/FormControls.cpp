#include "FormControls.h"

namespace morvane {

TPanel::TPanel(const QString& name, QWidget* parent)
    : QLabel(parent) {
    setObjectName(name);
    setAlignment(Qt::AlignCenter);
    // An inner bevel, lowered; no outer one.
    setFrameShape(QFrame::Panel);
    setFrameShadow(QFrame::Sunken);
}

TLabel::TLabel(const QString& name, const QString& caption, QWidget* parent)
    : QLabel(caption, parent) {
    setObjectName(name);
}

TAction::TAction(const QString& name, const QString& caption, QObject* parent)
    : QAction(caption, parent) {
    setObjectName(name);
}

void TAction::setHint(const QString& hint) {
    setToolTip(hint);
    setStatusTip(hint);
}

TBitBtn::TBitBtn(const QString& name, QWidget* parent)
    : QPushButton(parent) {
    setObjectName(name);
}

void TBitBtn::setAction(TAction* action) {
    m_action = action;
    setText(action->text());
    connect(action, &QAction::changed, this, [this] { setText(m_action->text()); });
    connect(this, &QPushButton::clicked, action, &QAction::trigger);
}

TComboBoxItems::TComboBoxItems(QComboBox* box)
    : localisation::TStrings(box)
    , m_box(box) {}

QStringList TComboBoxItems::strings() const {
    QStringList texts;
    texts.reserve(m_box->count());
    for (int i = 0; i < m_box->count(); ++i)
        texts.append(m_box->itemText(i));
    return texts;
}

void TComboBoxItems::setStrings(const QStringList& texts) {
    const int selected = m_box->currentIndex();
    m_box->clear();
    m_box->addItems(texts);
    m_box->setCurrentIndex(selected < m_box->count() ? selected : -1);
}

TComboBox::TComboBox(const QString& name, QWidget* parent)
    : QComboBox(parent)
    , m_items(new TComboBoxItems(this)) {
    setObjectName(name);
    setEditable(false);
}

TStatusPanels::TStatusPanels(TStatusBar* bar)
    : localisation::TCollection(bar)
    , m_bar(bar) {}

qsizetype TStatusPanels::count() const {
    return m_bar->panelCount();
}

QString TStatusPanels::displayName(qsizetype index) const {
    const QString text = m_bar->panel(index)->text();
    return text.isEmpty() ? QStringLiteral("TStatusPanel") : text;
}

TStatusBar::TStatusBar(const QString& name, QWidget* parent)
    : QStatusBar(parent)
    , m_panels(new TStatusPanels(this)) {
    setObjectName(name);
}

void TStatusBar::addPanel(int width) {
    auto* label = new QLabel(this);
    label->setFixedWidth(width);
    label->setFrameShape(QFrame::Panel);
    label->setFrameShadow(QFrame::Sunken);
    addWidget(label);
    m_panelLabels.push_back(label);
}

QLabel* TStatusBar::panel(qsizetype index) const {
    return m_panelLabels.at(size_t(index));
}

TTabSheet::TTabSheet(const QString& name, const QString& caption, QTabWidget* pages)
    : QWidget(pages)
    , m_pages(pages) {
    setObjectName(name);
    pages->addTab(this, caption);
}

QString TTabSheet::Caption() const {
    return m_pages->tabText(m_pages->indexOf(this));
}

void TTabSheet::setCaption(const QString& caption) {
    m_pages->setTabText(m_pages->indexOf(this), caption);
}

TPageControl::TPageControl(const QString& name, QWidget* parent)
    : QTabWidget(parent) {
    setObjectName(name);
}

TTabSheet* TPageControl::ActivePage() const {
    return qobject_cast<TTabSheet*>(currentWidget());
}

TMenuItem::TMenuItem(const QString& name, const QString& caption, QWidget* parent)
    : QMenu(caption, parent) {
    setObjectName(name);
}

TMainMenu::TMainMenu(const QString& name, QWidget* parent)
    : QMenuBar(parent) {
    setObjectName(name);
}

TPopupMenu::TPopupMenu(const QString& name, QWidget* parent)
    : QMenu(parent) {
    setObjectName(name);
}

TTimer::TTimer(const QString& name, QObject* parent)
    : QTimer(parent) {
    setObjectName(name);
}

} // namespace morvane
