#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QPair>
#include <QUdpSocket>

#include <optional>

namespace morvane::test {

// A listener on a free UDP port of this computer that the monitor's datagrams are pointed at
// (MORVANE_MONITOR_PORT) for the lifetime of the object. Test thread only.
class MonitorListener {
public:
    MonitorListener()
        : m_saved(qgetenv("MORVANE_MONITOR_PORT")) {
        m_socket.setProxy(QNetworkProxy::NoProxy); // a loopback listener needs no proxy look-up thread
        m_bound = m_socket.bind(QHostAddress::AnyIPv4, 0);
        qputenv("MORVANE_MONITOR_PORT", QByteArray::number(m_socket.localPort()));
        m_clock.start();
    }
    ~MonitorListener() {
        if (m_saved.isNull())
            qunsetenv("MORVANE_MONITOR_PORT");
        else
            qputenv("MORVANE_MONITOR_PORT", m_saved);
    }
    bool isBound() const { return m_bound; }
    quint16 port() const { return m_socket.localPort(); }

    std::optional<QByteArray> next(int timeoutMs) {
        const auto got = collect(1, timeoutMs);
        if (got.isEmpty())
            return std::nullopt;
        return got.first().first;
    }

    // Up to `count` datagrams, each with the milliseconds since the listener was made.
    QList<QPair<QByteArray, qint64>> collect(int count, int timeoutMs) {
        QList<QPair<QByteArray, qint64>> out;
        QElapsedTimer clock;
        clock.start();
        while (out.size() < count) {
            if (!m_socket.hasPendingDatagrams()) {
                const qint64 left = timeoutMs - clock.elapsed();
                if (left <= 0 || !m_socket.waitForReadyRead(int(left)))
                    break;
            }
            while (m_socket.hasPendingDatagrams() && out.size() < count)
                out.append({m_socket.receiveDatagram().data(), m_clock.elapsed()});
        }
        return out;
    }

private:
    QByteArray m_saved;
    QUdpSocket m_socket;
    bool m_bound = false;
    QElapsedTimer m_clock;
};

} // namespace morvane::test
