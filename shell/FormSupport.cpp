#include "FormSupport.h"

#include "Language.h"
#include "MessageBox.h"

#include <QPainter>
#include <QPixmap>

namespace morvane {

void reportError(const QString& message) {
    platform::showMessage({message, QStringLiteral("Tavrel Morvane Server"), platform::MessageIcon::Error});
}

void collectTextsOnKey(localisation::TLanguage* language, int& Key, Qt::KeyboardModifiers Shift) {
    if (Key != Qt::Key_F12 || !Shift.testFlag(Qt::ControlModifier) || !Shift.testFlag(Qt::AltModifier))
        return;
    Key = 0;
    const platform::MessageAnswer answer =
        platform::showMessage({QStringLiteral("文件不存在，请重新选择！"), QStringLiteral("提示"),
                               platform::MessageIcon::Warning, platform::MessageButtons::OkCancel});
    if (answer != platform::MessageAnswer::Ok || !language)
        return;
    QString error;
    if (!language->CollectTexts(&error))
        reportError(error);
}

QIcon applicationIcon() {
    // A door with its handle, drawn at the sizes a tray and a title bar ask for.
    QIcon icon;
    for (const int size : {16, 22, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal unit = size / 16.0;
        painter.setPen(QPen(QColor(0x20, 0x3a, 0x60), unit));
        painter.setBrush(QColor(0x3f, 0x7f, 0xbf));
        painter.drawRoundedRect(QRectF(3.5 * unit, 1.5 * unit, 9 * unit, 13 * unit), unit, unit);
        painter.setBrush(QColor(0xf2, 0xc0, 0x3a));
        painter.drawEllipse(QPointF(10 * unit, 8.5 * unit), 1.2 * unit, 1.2 * unit);
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace morvane
