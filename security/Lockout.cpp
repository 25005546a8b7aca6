#include "Lockout.h"

#include <QRegularExpression>

#include <algorithm>

namespace morvane::security {

namespace {

// Beyond this many pairs the ones that are not locked out are forgotten, so that a flood of made-up
// names cannot grow the table without end.
constexpr int kMostEntries = 10000;

} // namespace

bool Lockout::setExempt(const QString& list, QString* bad) {
    QList<QPair<QHostAddress, int>> ranges;
    static const QRegularExpression separators(QStringLiteral("[,;\\s]+"));
    for (const QString& word : list.split(separators, Qt::SkipEmptyParts)) {
        QPair<QHostAddress, int> range = QHostAddress::parseSubnet(word);
        if (range.first.isNull()) {
            const QHostAddress single(word);
            if (single.isNull()) {
                if (bad)
                    *bad = word;
                return false;
            }
            range = {single, single.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32};
        }
        ranges.append(range);
    }
    m_exempt = ranges;
    return true;
}

bool Lockout::exempt(const QString& address) const {
    QHostAddress host(address);
    if (host.isNull())
        return false;
    // An IPv4 client of a dual-stack listener comes as ::ffff:a.b.c.d.
    bool mapped = false;
    const quint32 v4 = host.toIPv4Address(&mapped);
    if (mapped)
        host = QHostAddress(v4);
    return std::any_of(m_exempt.begin(), m_exempt.end(),
                       [&](const QPair<QHostAddress, int>& range) { return host.isInSubnet(range); });
}

QString Lockout::key(const QString& operatorName, const QString& address) {
    return operatorName.left(64).toCaseFolded() + QChar(0) + address.left(64);
}

std::optional<qint64> Lockout::lockedUntil(const QString& operatorName, const QString& address, qint64 now) {
    std::lock_guard lock(m_mutex);
    const auto found = m_entries.constFind(key(operatorName, address));
    if (found == m_entries.constEnd() || found->until <= now)
        return std::nullopt;
    return found->until;
}

std::optional<qint64> Lockout::fail(const QString& operatorName, const QString& address, qint64 now) {
    if (exempt(address))
        return std::nullopt;
    std::lock_guard lock(m_mutex);
    if (m_entries.size() >= kMostEntries)
        pruneLocked(now);
    Entry& entry = m_entries[key(operatorName, address)];
    entry.last = now;
    if (++entry.failures < kFailures)
        return std::nullopt;
    entry.failures = 0;
    const qint64 length = std::min(kLongestMs, kFirstMs << std::min(entry.lockouts, 20));
    ++entry.lockouts;
    entry.until = now + length;
    return entry.until;
}

void Lockout::succeed(const QString& operatorName, const QString& address) {
    std::lock_guard lock(m_mutex);
    m_entries.remove(key(operatorName, address));
}

void Lockout::pruneLocked(qint64 now) {
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (it->until <= now)
            it = m_entries.erase(it);
        else
            ++it;
    }
}

} // namespace morvane::security
