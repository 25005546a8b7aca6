#pragma once

#include "BoardState.h"
#include "ControllerProtocol.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>

#include <deque>
#include <map>
#include <memory>

namespace morvane::ctrlsim {

// One simulated controller: what it stores, how it answers each method, and what the control port
// has scripted for it. Not thread-safe by itself: the Simulator holds its lock around every use.
class ControllerState {
public:
    enum class Kind { Lock, Switch, Board };

    // From one entry of the configuration; *error set and false returned for a bad entry.
    bool configure(const QJsonObject& entry, QString* error);

    const QString& mac() const { return m_mac; }
    const QString& ip() const { return m_ip; }
    quint16 port() const { return m_port; }
    Kind kind() const { return m_kind; }
    QString linkPath() const { return m_linkPath; }
    bool silent() const { return m_silent; }
    int delayMs() const { return m_delayMs; }

    // The reply to a request (an error frame for a request this controller cannot take), logged.
    ctrlproto::Reply answer(const ctrlproto::Request& request);

    // A door board's answer to one datagram (an empty frame: carried out, not answered); nothing for a
    // frame it drops. *entry is the log entry.
    std::optional<QByteArray> answerBoard(const QByteArray& frame, QJsonObject* entry);

    // Control-port commands addressed to this controller; a reply object with "ok".
    QJsonObject control(const QString& command, const QJsonObject& message);

    // The log entry of the last request answered: method, arguments, session, sequence, status.
    const QJsonObject& lastEntry() const { return m_lastEntry; }
    QJsonObject describe() const;
    // A one-line summary of the last request for the program's log.
    QString lastLogLine() const { return m_lastLine; }

private:
    struct Scripted {
        int32_t status = 0;
        QMap<int, ctrlproto::Variant> outputs;
        ctrlproto::Variant result;
        int times = 1; // < 0: always
    };

    ctrlproto::Reply perform(const ctrlproto::Request& request, const ctrlproto::MethodInfo& method);
    void pushRecord(const QString& text, bool stored);
    QString swipeRecord(int32_t card, int door, int result) const;
    bool doorInRange(const ctrlproto::Variant& door) const;

    std::unique_ptr<BoardState> m_board; // a door board's own state (kind Board only)
    QString m_mac;
    QString m_ip;
    quint16 m_port = 2008;
    Kind m_kind = Kind::Lock;
    QString m_linkPath;
    int m_doors = 4;

    bool m_connected = false;
    bool m_monitoring = false;
    bool m_silent = false;
    int m_delayMs = 0;
    std::optional<double> m_clock;

    std::map<int32_t, QJsonObject> m_cards;
    std::deque<QString> m_records;  // not yet read
    std::deque<QString> m_archive;  // read, kept for ComifReadOldAllRecord
    std::deque<QString> m_realTime; // not yet handed out
    QJsonObject m_passwords;
    QJsonArray m_holidays;
    QJsonObject m_linkInfo;
    QJsonObject m_settings; // the last arguments of every other setting method
    QMap<int, int> m_doorOpenCount;

    // Switch values handed out by ComifReadDeviceInfo and the statuses queued for it.
    QString m_switchCard = QStringLiteral("00000000");
    int32_t m_circuitry1 = 0;
    int32_t m_circuitry2 = 0;
    int32_t m_mcState = 0;
    int32_t m_alarmState = 0;
    std::deque<int32_t> m_switchStatuses;

    std::map<QString, std::deque<Scripted>> m_scripts; // by lower-case method name

    QJsonObject m_lastEntry;
    QString m_lastLine;
};

} // namespace morvane::ctrlsim
