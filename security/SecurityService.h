#pragma once

#include "AuditLog.h"
#include "CallRights.h"
#include "JsonRpc.h"
#include "Lockout.h"
#include "PasswordHasher.h"

#include <QHash>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace morvane::platform {
class SqlConnection;
}

namespace morvane::security {

struct Grant;
struct Session;
class Connection;

// How the server's log-on behaves: the [Security] section of scktsrvr.ini, and seams for the tests.
struct Settings {
    bool logonRequired = true; // Logon=0: open mode, every call runs as SYSTEM would
    qint64 idleMs = 30 * 60 * 1000;
    QString lockoutExempt;
    QString auditPath; // empty: no audit log
    PasswordHasher::Limits hashing;
    std::function<qint64()> now; // milliseconds since the epoch; empty: the system clock
};
// [Security] Logon (1), IdleMinutes (30) and LockoutExempt (none) of the file; the audit log beside it.
Settings readSettings(const QString& scktsrvrIni, const QString& programDirectory);

// The server's log-on: operators and their passwords (Argon2id hashes in a table of the server's own
// beside ac_operator), sessions with tokens that outlive connections, the rights of each session from the
// rights tables, lock-out of failed log-ons, and the audit log. One per process, made by the shell after
// the database connection opens; it gives every endpoint connection its guard and is the providers'
// security hooks.
//
// Threads: any thread. m_sessionsMutex guards m_sessions; each session has a lock of its own; m_cacheMutex
// guards the module names and the default-password answer; the generation is atomic. The settings are
// fixed at construction.
class Service : public provider::SecurityHooks {
public:
    Service(platform::SqlConnection* database, Settings settings);
    ~Service() override;
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Adds the table of hashes to a database made before it, moves every plain-text password of
    // ac_operator into it, and warns while SYSTEM keeps its first password or log-on is off. False with
    // the reason when the database cannot be prepared.
    bool start(QString* error = nullptr);

    // The guard of each endpoint connection.
    std::unique_ptr<platform::rpc::ConnectionGuard> openConnection();
    platform::rpc::GuardFactory guardFactory();

    const Settings& settings() const { return m_settings; }
    bool logonRequired() const { return m_settings.logonRequired; }
    // Whether SYSTEM's password is still the one it was created with.
    bool defaultPasswordInUse();
    // A line of the audit log for work not done by a client's call (the options dialog).
    void auditLocal(const QString& method, const QJsonObject& details);
    AuditLog* auditLog() { return m_audit.get(); }
    // Sets an operator's password on the server's own machine, where no old password is asked: the
    // administrator's tool. Throws AutomationError when the operator is unknown or the password unfit.
    void setPassword(const QString& operatorName, const QString& password);

    // Told, on the thread that made the change, when rights or operators may have changed or sessions were
    // ended, so that what lasts beyond a call (a subscription) can look again. Set before clients are
    // served, cleared after.
    void setRightsObserver(std::function<void()> observer);

    // provider::SecurityHooks
    QString hashPassword(const QString& password) override;
    void tablesWritten(const QStringList& tables, bool opaque) override;

private:
    friend class Connection;
    friend struct Principal;

    struct Account {
        int id = 0;
        QString name;
        int group = 0;
        QString plain; // a password still in ac_operator.operatorpasd
        QString hash;
    };
    qint64 now() const;
    // nullopt when there is none; throws AutomationError when the database cannot be read.
    std::optional<Account> account(const QString& byName, int byId);
    std::shared_ptr<const Grant> grantOf(const Account& account);
    std::shared_ptr<const QHash<QString, QString>> moduleNames();
    // Stores the hash of an operator's password and empties its legacy column; throws on failure.
    void storeHash(int operatorId, const QString& hash);
    bool verify(const Account& account, const QString& password); // throws when busy
    QString hashOrThrow(const QString& password);
    void migratePlainPasswords();
    void changed(); // rights or operators changed: every session looks again at its next call

    // The session's current grant; throws when the session may not make a call any more.
    std::shared_ptr<const Grant> admit(Session& session);
    // Why a session whose grant was `grant` can no longer go on as it was; empty when it can. Reads the
    // rights again when they have changed, and does not count as a use of the session.
    QString endedBecause(Session& session, const std::shared_ptr<const Grant>& grant);
    void tellRightsObserver();
    std::shared_ptr<Session> newSession(std::shared_ptr<const Grant> grant, quint64 generation, QString* token);
    std::shared_ptr<Session> findSession(const QString& token);
    void endSessionsOf(int operatorId, const Session* except);
    void forget(const Session& session);

    QJsonObject logon(Connection& connection, const QJsonValue& params);
    QJsonObject changePassword(Connection& connection, const QJsonValue& params);
    QJsonObject auditLines(Connection& connection, const QJsonValue& params);

    platform::SqlConnection* m_db;
    const Settings m_settings;
    PasswordHasher m_hasher;
    Lockout m_lockout;
    std::unique_ptr<AuditLog> m_audit;
    std::atomic<quint64> m_generation{1};
    std::mutex m_observerMutex; // guards m_rightsObserver: the main thread, call threads
    std::function<void()> m_rightsObserver;
    std::shared_ptr<const Grant> m_openGrant; // the open mode's

    std::mutex m_sessionsMutex;                             // guards m_sessions: call threads
    QHash<QByteArray, std::shared_ptr<Session>> m_sessions; // by the digest of their token

    std::mutex m_cacheMutex; // guards what follows: call threads
    std::shared_ptr<const QHash<QString, QString>> m_moduleNames;
    quint64 m_moduleNamesGeneration = 0;
    bool m_defaultPassword = false;
    quint64 m_defaultPasswordGeneration = 0;
    QString m_dummyHash; // checked for an unknown operator, so that it takes as long as a known one
};

// The process's service (null before the shell made it): the options dialog writes its changes through it.
Service* service();
void setService(Service* service);

} // namespace morvane::security
