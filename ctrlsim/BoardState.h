#pragma once

#include "BoardProtocol.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <array>
#include <deque>
#include <map>
#include <optional>
#include <vector>

namespace morvane::ctrlsim {

// One simulated UT0311-L0x door board: its cards, doors, passcodes, event log and read index, answered
// through the same message code as the component's. Not thread-safe by itself: the Simulator holds its
// lock around every use.
class BoardState {
public:
    BoardState(uint32_t serial, QString mac, QString ip, int doors);

    uint32_t serial() const { return m_serial; }

    // The reply to one datagram, or nothing: frames of another size or start, for another serial number,
    // of an unknown function, and the address change (which a board never answers) get none. *entry is
    // the log entry of a request that was carried out.
    std::optional<QByteArray> answer(const QByteArray& frame, QJsonObject* entry);

    // swipe (card, door), event (raw: type, card, door, granted, index), door (door, open: the contact),
    // script (function, reply as hex, times), state.
    QJsonObject control(const QString& command, const QJsonObject& message);

private:
    struct Card {
        QString start;
        QString end;
        std::array<int, 4> doors{};
        uint32_t pin = 0;
    };
    struct Door {
        int mode = 3;
        int delay = 3;
        std::array<uint32_t, 4> passcodes{};
        int opened = 0;
        bool contact = false; // the door contact: the door itself stands open
    };
    struct Event {
        uint32_t index = 0;
        int type = 1;
        bool granted = false;
        int door = 1;
        uint32_t card = 0;
        QString timestamp;
    };
    struct Scripted {
        QByteArray reply;
        int times = 1;
    };

    boardproto::Values perform(uint8_t function, const boardproto::Values& request, bool* answer);
    boardproto::Values eventValues(const Event& event, const QString& prefix) const;
    QString now() const;
    void addEvent(Event event);

    const uint32_t m_serial;
    const QString m_mac;
    QString m_address;
    QString m_netmask = QStringLiteral("255.0.0.0");
    QString m_gateway = QStringLiteral("127.0.0.1");
    const int m_doorCount;
    qint64 m_clockOffsetSecs = 0;
    std::map<uint32_t, Card> m_cards;
    std::array<Door, 4> m_doors;
    std::deque<Event> m_events;
    uint32_t m_readIndex = 0;
    std::map<uint8_t, std::deque<Scripted>> m_scripts;
};

} // namespace morvane::ctrlsim
