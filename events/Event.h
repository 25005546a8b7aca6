#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

namespace morvane::monitor {
struct ScanReport;
}

namespace morvane::events {

// Kinds of events, as clients name them in a filter.
inline const QString kSwipe = QStringLiteral("swipe");     // a card at a door (a long record whose lead is 01)
inline const QString kDoor = QStringLiteral("door");       // another long record: a door or alarm event
inline const QString kStatus = QStringLiteral("status");   // a short record
inline const QString kSwitch = QStringLiteral("switch");   // a network switch's state, when it changes
inline const QString kLink = QStringLiteral("link");       // a lock that stopped answering and was dropped
inline const QString kCommand = QStringLiteral("command"); // a door or controller command of a client
inline const QString kDelta = QStringLiteral("delta");     // changes applied through a provider
inline const QString kLogon = QStringLiteral("logon");     // a log-on, failed log-on, lock-out or log-off
QStringList eventKinds();

// The module whose browse right shows the controllers' own events.
inline const QString kMonitoringModule = QStringLiteral("atn_scanallcontrol");

// One event before it has its number: what the producers hand to the stream.
struct Event {
    QString kind;
    QString module; // the module (code) an operator must browse to see it; empty: any operator
    QString lock;   // the controller's MAC, empty when none
    int door = 0;   // 0: none
    qint64 serverMs = 0;
    QJsonObject fields; // the rest, as clients read them
};

// An event with its number, as the stream keeps it: shared by the ring and the subscribers' queues, never
// changed once made.
struct StoredEvent {
    quint64 seq = 0;
    qint64 serverMs = 0;
    QString kind;
    QString module;
    QString lock; // upper case
    int door = 0;
    QByteArray json; // the compact JSON object a client reads, "seq" included
    // The same without the staff member's number and name, for those who may not browse the staff; empty
    // when the event names nobody.
    QByteArray jsonWithoutStaff;
};
using EventPtr = std::shared_ptr<const StoredEvent>;

EventPtr makeStored(const Event& event, quint64 seq);
// A line of the stream's file back into an event; null when it is not one.
EventPtr parseStored(const QByteArray& json);

// The controllers' events of one visit of the scan; nullopt for what makes no event.
std::optional<Event> fromScan(const monitor::ScanReport& report);
// The event of a line of the audit log (a command, a delta, a log-on); nullopt for the other lines.
std::optional<Event> fromAudit(const QJsonObject& line);

// "yyyy-MM-ddTHH:mm:ss.zzz", local time: the one text format of the stream's and the swipe log's times.
QString timeText(qint64 msSinceEpoch);

} // namespace morvane::events
