// libFuzzer target of the record decoder: every input is a record text (one character per byte, and,
// for even sizes, also read as UTF-16). The decoder must agree with a plain statement of the rule and
// its datagram must be framed; built only with clang (-fsanitize=fuzzer).

#include "MonitorRecords.h"

#include <QString>

#include <cstddef>
#include <cstdint>

using namespace morvane::monitor;

namespace {

bool isHex(char16_t c) {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}
bool isDecimal(char16_t c) {
    return c >= u'0' && c <= u'9';
}

// Short records are hex throughout; long records carry decimal pairs 6 to 14 (characters 10 to 27).
bool shouldDecode(const QString& text) {
    if (text.size() != 10 && text.size() != 36)
        return false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const bool decimal = text.size() == 36 && i >= 10 && i < 28;
        if (!(decimal ? isDecimal(text[i].unicode()) : isHex(text[i].unicode())))
            return false;
    }
    return true;
}

void check(const QString& text) {
    const auto record = decodeLockRecord(text);
    if (record.has_value() != shouldDecode(text))
        __builtin_trap();
    if (record) {
        if (record->recordForm != (text.size() == 10 ? kShortRecordForm : kLongRecordForm))
            __builtin_trap();
        QByteArray datagram(kLockDatagramSize, '\0');
        writeLockDatagram(*record, reinterpret_cast<uint8_t*>(datagram.data()));
        if (datagram.front() != 0x02 || datagram.back() != 0x03 ||
            describeDatagram(datagram).value(QStringLiteral("type")).toString() != QStringLiteral("lock"))
            __builtin_trap();
    }
    const auto leading = leadingHexBytes(text);
    bool leadingOk = text.size() >= 8;
    for (qsizetype i = 0; leadingOk && i < 8; ++i)
        leadingOk = isHex(text[i].unicode());
    if (leading.has_value() != leadingOk)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 256)
        return 0;
    check(QString::fromLatin1(reinterpret_cast<const char*>(data), qsizetype(size)));
    if (size % 2 == 0)
        check(QString(reinterpret_cast<const QChar*>(data), qsizetype(size / 2)));
    return 0;
}
