#include "SecurityService.h"

#include "Automation.h"
#include "DbSchema.h"
#include "ProfileFile.h"
#include "Rights.h"
#include "SqlConnection.h"

#include <QDateTime>
#include <QJsonArray>
#include <QScopeGuard>
#include <QSqlError>
#include <QSqlQuery>

#include <sodium.h>

namespace morvane::security {

using platform::AutomationError;
namespace hr = platform::hr;

namespace {

// "Busy, call again later": a log-on that found the hashing line full.
constexpr platform::HResult RPC_E_SERVERCALL_RETRYLATER = static_cast<platform::HResult>(0x8001010A);
constexpr int kLongestPassword = 1024;
constexpr int kLongestName = 40; // ac_operator.operatorname
const QString kSystem = QStringLiteral("SYSTEM");
const QString kFirstPassword = QStringLiteral("1");

const QString& logOnFirst() {
    static const QString text = QStringLiteral("Log on first: call Logon with an operator and a password or a token");
    return text;
}
const QString& wrongPassword() {
    static const QString text = QStringLiteral("Unknown operator or wrong password");
    return text;
}
const QString& sessionEnded() {
    static const QString text =
        QStringLiteral("The session has ended: its operator was changed or removed; log on again");
    return text;
}

std::atomic<Service*> g_service{nullptr};

QString timeText(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
}

// A name a client sent, fit for a line of the log.
QString printable(const QString& text) {
    QString out = text.left(kLongestName + 8);
    for (QChar& c : out) {
        if (!c.isPrint())
            c = u'?';
    }
    return out;
}

QByteArray tokenDigest(const QString& token) {
    const QByteArray text = token.toLatin1();
    QByteArray digest(crypto_generichash_BYTES, Qt::Uninitialized);
    crypto_generichash(reinterpret_cast<unsigned char*>(digest.data()), static_cast<size_t>(digest.size()),
                       reinterpret_cast<const unsigned char*>(text.constData()),
                       static_cast<unsigned long long>(text.size()), nullptr, 0);
    return digest;
}

QString fingerprintOf(const QString& hash, const QString& plain) {
    if (plain.isEmpty())
        return hash;
    return hash + QChar(0) + QString::fromLatin1(tokenDigest(plain).toHex());
}

quint8 bit(provider::Right right) {
    return quint8(1u << static_cast<int>(right));
}

// A member of a params object without regard to case.
QJsonValue member(const QJsonValue& params, const QString& name) {
    const QJsonObject object = params.toObject();
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        if (it.key().compare(name, Qt::CaseInsensitive) == 0)
            return it.value();
    }
    return QJsonValue(QJsonValue::Undefined);
}

QVariant bindableNow(platform::SqlProvider provider) {
    const QDateTime now = QDateTime::currentDateTime();
    return provider == platform::SqlProvider::SqlServer
               ? QVariant(now)
               : QVariant(now.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")));
}

} // namespace

// What an operator may do, as read from the rights tables at log-on (and again after a change). Never
// changed once made: a change makes a new one.
struct Grant {
    int operatorId = 0;
    QString name;
    int group = 0;
    QString fingerprint;           // of the password: another password is another fingerprint
    QHash<QString, quint8> rights; // module code → right bits
    std::shared_ptr<const QHash<QString, QString>> moduleNames; // code → name, for the refusals
    bool unrestricted = false;                                  // the open mode
    bool administrator() const {
        return unrestricted || rights.value(kRightsModule) ==
                                   (bit(Right::Browse) | bit(Right::Insert) | bit(Right::Edit) | bit(Right::Delete));
    }
};

// A log-on that outlives its connection: the token's. m_mutex guards everything but the key.
struct Session {
    enum class State { Open, Ended, Changed };
    QByteArray key; // the token's digest
    std::mutex mutex;
    std::shared_ptr<const Grant> grant;
    quint64 generation = 0; // of the rights the grant was read at
    qint64 lastUsed = 0;
    State state = State::Open;
};

// The rights of one connection's calls: its session's grant and the address the connection came from.
struct Principal : provider::CallRights {
    Principal(Service& service, std::shared_ptr<const Grant> grant, QString address,
              std::weak_ptr<Session> session = {})
        : m_service(service)
        , m_grant(std::move(grant))
        , m_address(std::move(address))
        , m_session(std::move(session)) {}

    QString refusal(const QString& module, Right right) const {
        if (m_grant->unrestricted || (m_grant->rights.value(module) & bit(right)))
            return {};
        const QString name = m_grant->moduleNames ? m_grant->moduleNames->value(module).trimmed() : QString();
        return QStringLiteral("Operator %1 lacks the %2 right on module %3 (%4)")
            .arg(m_grant->name, rightName(right), name.isEmpty() ? module : name, module);
    }
    QString administratorRefusal() const {
        for (const Right right : {Right::Browse, Right::Insert, Right::Edit, Right::Delete}) {
            const QString why = refusal(kRightsModule, right);
            if (!why.isEmpty())
                return why;
        }
        return {};
    }
    static void deny(const QString& why) {
        if (!why.isEmpty())
            throw AutomationError(hr::E_ACCESSDENIED, why);
    }

    void requireMethod(const QString& method) const override {
        const std::optional<MethodRule> rule = methodRule(method);
        if (!rule || rule->kind != MethodRule::Module)
            return;
        const QString why = refusal(rule->module, rule->right);
        if (why.isEmpty())
            return;
        audit(method, QStringLiteral("refused"), {{QStringLiteral("reason"), why}});
        deny(why);
    }
    void requireProvider(const QString& provider, Right right) const override {
        const std::optional<ProviderRule> rule = providerRule(provider);
        if (!rule)
            return;
        switch (rule->kind) {
        case ProviderRule::Administrator:
            deny(administratorRefusal());
            return;
        case ProviderRule::Dictionary:
            if (right == Right::Browse)
                return;
            break;
        case ProviderRule::Module:
            break;
        }
        deny(refusal(rule->module, right));
    }
    QString refusalOf(const provider::StatementAccess& access) const override {
        if (m_grant->unrestricted)
            return {};
        if (!access.procedure.isEmpty()) {
            const auto rule = procedureRule(access.procedure);
            return rule ? refusal(rule->first, rule->second) : administratorRefusal();
        }
        if (access.opaque)
            return administratorRefusal();
        QStringList writtenModules;
        for (const provider::TableAccess& table : access.tables) {
            const std::optional<TableRule> rule = tableRule(table.table);
            if (!rule || rule->administrator) {
                if (QString why = administratorRefusal(); !why.isEmpty())
                    return why;
                continue;
            }
            const std::pair<bool, Right> needs[] = {{table.read && !rule->freeRead, Right::Browse},
                                                    {table.insert && !rule->freeInsert, Right::Insert},
                                                    {table.edit, Right::Edit},
                                                    {table.remove, Right::Delete}};
            for (const auto& [needed, right] : needs) {
                if (QString why = needed ? refusal(rule->module, right) : QString(); !why.isEmpty())
                    return why;
            }
            if (table.writes() && !writtenModules.contains(rule->module))
                writtenModules.append(rule->module);
        }
        // One statement that changes the tables of several modules is an administrator's.
        return writtenModules.size() > 1 ? administratorRefusal() : QString();
    }
    bool administrator() const override { return m_grant->administrator(); }
    QString refusalOnModule(const QString& module, Right right) const override { return refusal(module, right); }
    QString operatorName() const override { return m_grant->name; }
    QString address() const override { return m_address; }
    QString endedBecause() const override {
        // The open mode's rights have no session: they never end.
        const std::shared_ptr<Session> session = m_session.lock();
        return session ? m_service.endedBecause(*session, m_grant) : QString();
    }
    void audit(const QString& method, const QString& outcome, const QJsonObject& details) const override {
        if (AuditLog* log = m_service.auditLog())
            log->append(m_grant->name, m_address, method, outcome, details);
    }

    const std::shared_ptr<const Grant>& grant() const { return m_grant; }

private:
    Service& m_service;
    std::shared_ptr<const Grant> m_grant;
    QString m_address;
    std::weak_ptr<Session> m_session;
};

// One endpoint connection: whether it has logged on, and as whom.
class Connection : public platform::rpc::ConnectionGuard {
public:
    explicit Connection(Service& service)
        : m_service(service) {}

    std::optional<QJsonObject> handle(const QString& method, const QJsonValue& params) override {
        const auto is = [&](const char* name) { return method.compare(QLatin1String(name), Qt::CaseInsensitive) == 0; };
        if (is("Logon"))
            return m_service.logon(*this, params);
        if (is("ChangePassword"))
            return m_service.changePassword(*this, params);
        if (is("AuditLog"))
            return m_service.auditLines(*this, params);
        if (is("Logoff")) {
            if (!m_session)
                throw AutomationError(hr::E_ACCESSDENIED, logOnFirst());
            if (const auto grant = m_session->grant)
                Principal(m_service, grant, address()).audit(QStringLiteral("Logoff"), QStringLiteral("ok"), {});
            m_service.forget(*m_session);
            m_session.reset();
            m_principal.reset();
            return QJsonObject{{QStringLiteral("hresult"), hr::S_OK}};
        }
        return std::nullopt;
    }
    void begin(const QString&) override { m_previous = provider::CallRights::makeCurrent(principal()); }
    void end() override { provider::CallRights::makeCurrent(std::move(m_previous)); }

    // The rights of the next call; throws when the connection may make none.
    std::shared_ptr<const Principal> principal() {
        std::shared_ptr<const Grant> grant;
        if (m_session)
            grant = m_service.admit(*m_session);
        else if (!m_service.logonRequired())
            grant = m_service.m_openGrant;
        else
            throw AutomationError(hr::E_ACCESSDENIED, logOnFirst());
        if (!m_principal || m_principal->grant() != grant)
            m_principal = std::make_shared<Principal>(m_service, grant, address(), m_session);
        return m_principal;
    }
    void attach(std::shared_ptr<Session> session, const QString& address) {
        m_session = std::move(session);
        m_address = address;
        m_principal.reset();
    }
    const std::shared_ptr<Session>& session() const { return m_session; }
    QString address() const { return m_address.isEmpty() ? QStringLiteral("local") : m_address; }
    void setAddress(const QString& address) { m_address = address; }

private:
    Service& m_service;
    std::shared_ptr<Session> m_session;
    QString m_address;
    std::shared_ptr<const Principal> m_principal;
    std::shared_ptr<const provider::CallRights> m_previous;
};

Settings readSettings(const QString& scktsrvrIni, const QString& programDirectory) {
    const platform::ProfileFile ini(scktsrvrIni);
    Settings settings;
    settings.logonRequired = ini.readInteger(QStringLiteral("Security"), QStringLiteral("Logon"), 1) != 0;
    const int idle = ini.readInteger(QStringLiteral("Security"), QStringLiteral("IdleMinutes"), 30);
    settings.idleMs = qint64(idle > 0 ? idle : 30) * 60 * 1000;
    settings.lockoutExempt = ini.readString(QStringLiteral("Security"), QStringLiteral("LockoutExempt"), QString());
    settings.auditPath = programDirectory + QStringLiteral("audit.log");
    return settings;
}

Service* service() {
    return g_service.load();
}

void setService(Service* service) {
    g_service.store(service);
}

Service::Service(platform::SqlConnection* database, Settings settings)
    : m_db(database)
    , m_settings(std::move(settings))
    , m_hasher(m_settings.hashing) {
    QString bad;
    if (!m_lockout.setExempt(m_settings.lockoutExempt, &bad))
        qWarning("morvane: LockoutExempt in [Security] of scktsrvr.ini: \"%s\" is no address or range; no "
                 "address is exempt",
                 qPrintable(printable(bad)));
    if (!m_settings.auditPath.isEmpty())
        m_audit = std::make_unique<AuditLog>(m_settings.auditPath);
    auto open = std::make_shared<Grant>();
    open->name = kSystem;
    open->unrestricted = true;
    m_openGrant = open;
}

Service::~Service() {
    if (provider::securityHooks() == this)
        provider::setSecurityHooks(nullptr);
    if (service() == this)
        setService(nullptr);
}

qint64 Service::now() const {
    return m_settings.now ? m_settings.now() : QDateTime::currentMSecsSinceEpoch();
}

bool Service::start(QString* error) {
    const auto fail = [&](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    if (m_db && m_db->isOpen()) {
        QString why;
        QStringList tables;
        if (!m_db->tables(&tables, &why))
            return fail(why);
        if (!tables.contains(db::kOperatorPasswordTable, Qt::CaseInsensitive)) {
            for (const QString& statement : db::operatorPasswordTableStatements(m_db->provider())) {
                const platform::SqlResult made = m_db->exec(statement);
                if (!made.ok)
                    return fail(QStringLiteral("the table of password hashes cannot be made: ") + made.error);
            }
        }
        try {
            migratePlainPasswords();
        } catch (const AutomationError& failure) {
            return fail(failure.message());
        }
        if (m_settings.logonRequired && defaultPasswordInUse())
            qWarning("morvane: the operator SYSTEM still has the password it was created with; change it "
                     "(ChangePassword, or rmtclient) before the server is reached from the network");
    }
    if (!m_settings.logonRequired)
        qWarning("morvane: log-on is off (Logon=0 in [Security] of scktsrvr.ini): every client may do "
                 "everything the administrator may");
    return true;
}

std::unique_ptr<platform::rpc::ConnectionGuard> Service::openConnection() {
    return std::make_unique<Connection>(*this);
}

platform::rpc::GuardFactory Service::guardFactory() {
    return [this] { return openConnection(); };
}

void Service::auditLocal(const QString& method, const QJsonObject& details) {
    if (m_audit)
        m_audit->append(QString(), QStringLiteral("console"), method, QStringLiteral("ok"), details);
}

std::optional<Service::Account> Service::account(const QString& byName, int byId) {
    if (!m_db)
        return std::nullopt;
    const platform::SqlResult found =
        byName.isNull()
            ? m_db->exec(QStringLiteral("select ID, operatorname, popedomgroupid, operatorpasd from ac_operator "
                                        "where ID = ?"),
                         {byId})
            : m_db->exec(QStringLiteral("select ID, operatorname, popedomgroupid, operatorpasd from ac_operator "
                                        "where operatorname = ? order by ID"),
                         {byName});
    if (!found.ok)
        throw AutomationError(hr::E_FAIL, QStringLiteral("The operators cannot be read: ") + found.error);
    if (found.rows.isEmpty())
        return std::nullopt;
    const QVariantList& row = found.rows.first();
    Account account;
    account.id = row.value(0).toInt();
    account.name = row.value(1).toString();
    account.group = row.value(2).toInt();
    account.plain = row.value(3).toString();
    const platform::SqlResult hash = m_db->exec(
        QStringLiteral("select hash from %1 where operatorid = ?").arg(db::kOperatorPasswordTable), {account.id});
    if (!hash.ok)
        throw AutomationError(hr::E_FAIL, QStringLiteral("The operators cannot be read: ") + hash.error);
    account.hash = hash.rows.isEmpty() ? QString() : hash.rows.first().value(0).toString();
    return account;
}

std::shared_ptr<const QHash<QString, QString>> Service::moduleNames() {
    const quint64 generation = m_generation.load();
    {
        std::lock_guard lock(m_cacheMutex);
        if (m_moduleNames && m_moduleNamesGeneration == generation)
            return m_moduleNames;
    }
    auto names = std::make_shared<QHash<QString, QString>>();
    const platform::SqlResult modules =
        m_db->exec(QStringLiteral("select menuenglishname, menuchinaname from ac_systemoudle"));
    for (const QVariantList& row : modules.rows)
        names->insert(row.value(0).toString().trimmed(), row.value(1).toString().trimmed());
    std::lock_guard lock(m_cacheMutex);
    m_moduleNames = names;
    m_moduleNamesGeneration = generation;
    return names;
}

std::shared_ptr<const Grant> Service::grantOf(const Account& account) {
    auto grant = std::make_shared<Grant>();
    grant->operatorId = account.id;
    grant->name = account.name;
    grant->group = account.group;
    grant->fingerprint = fingerprintOf(account.hash, account.plain);
    const platform::SqlResult rights =
        m_db->exec(QStringLiteral("select m.menuenglishname, g.pbrowse, g.pinsert, g.pedit, g.pdelete from "
                                  "ac_popedomgroupmodule g join ac_systemoudle m on m.id = g.systemenuid where "
                                  "g.popedomgroupid = ?"),
                   {account.group});
    if (!rights.ok)
        throw AutomationError(hr::E_FAIL, QStringLiteral("The rights cannot be read: ") + rights.error);
    for (const QVariantList& row : rights.rows) {
        quint8 bits = 0;
        for (int i = 0; i < 4; ++i) {
            if (row.value(1 + i).toInt() != 0 || row.value(1 + i).toBool())
                bits |= quint8(1u << i);
        }
        grant->rights[row.value(0).toString().trimmed()] |= bits;
    }
    grant->moduleNames = moduleNames();
    return grant;
}

void Service::storeHash(int operatorId, const QString& hash) {
    const platform::SqlProvider provider = m_db->provider();
    const QString error = m_db->call([&](QSqlDatabase& db) {
        QString why;
        if (!m_db->ensureUsable(db, &why))
            return why;
        if (!db.transaction())
            return db.lastError().text();
        QSqlQuery query(db);
        const auto run = [&](const QString& sql, const QVariantList& binds) {
            if (!why.isEmpty())
                return;
            query.prepare(sql);
            for (const QVariant& value : binds)
                query.addBindValue(value);
            if (!query.exec())
                why = query.lastError().text();
        };
        run(QStringLiteral("delete from %1 where operatorid = ?").arg(db::kOperatorPasswordTable), {operatorId});
        run(QStringLiteral("insert into %1 (operatorid, hash, changed) values (?, ?, ?)")
                .arg(db::kOperatorPasswordTable),
            {operatorId, hash, bindableNow(provider)});
        run(QStringLiteral("update ac_operator set operatorpasd = '' where ID = ?"), {operatorId});
        query.finish();
        if (why.isEmpty() && !db.commit())
            why = db.lastError().text();
        if (!why.isEmpty())
            db.rollback();
        return why;
    });
    if (!error.isEmpty())
        throw AutomationError(hr::E_FAIL, QStringLiteral("The password cannot be stored: ") + error);
    changed();
}

QString Service::hashOrThrow(const QString& password) {
    QString encoded;
    if (m_hasher.hash(password, &encoded) == PasswordHasher::Outcome::Busy)
        throw AutomationError(RPC_E_SERVERCALL_RETRYLATER,
                              QStringLiteral("The server is busy with other log-ons; try again"));
    return encoded;
}

bool Service::verify(const Account& account, const QString& password) {
    if (!account.plain.isEmpty())
        return PasswordHasher::sameText(account.plain, password);
    bool matches = false;
    QString stored = account.hash;
    if (stored.isEmpty()) {
        // No password at all: it takes as long as any other refusal.
        std::lock_guard lock(m_cacheMutex);
        if (m_dummyHash.isEmpty())
            m_hasher.hash(QString::fromLatin1(PasswordHasher::randomBytes(16).toHex()), &m_dummyHash);
        stored = m_dummyHash;
    }
    if (m_hasher.verify(stored, password, &matches) == PasswordHasher::Outcome::Busy)
        throw AutomationError(RPC_E_SERVERCALL_RETRYLATER,
                              QStringLiteral("The server is busy with other log-ons; try again"));
    return matches && !account.hash.isEmpty();
}

QString Service::hashPassword(const QString& password) {
    if (password.size() > kLongestPassword)
        throw AutomationError(hr::E_INVALIDARG,
                              QStringLiteral("A password has at most %1 characters").arg(kLongestPassword));
    return hashOrThrow(password);
}

void Service::migratePlainPasswords() {
    if (!m_db)
        return;
    const platform::SqlResult plain =
        m_db->exec(QStringLiteral("select ID from ac_operator where operatorpasd is not null and operatorpasd <> ''"));
    if (!plain.ok)
        throw AutomationError(hr::E_FAIL, QStringLiteral("The operators cannot be read: ") + plain.error);
    for (const QVariantList& row : plain.rows) {
        const std::optional<Account> found = account(QString(), row.value(0).toInt());
        if (found && !found->plain.isEmpty())
            storeHash(found->id, hashOrThrow(found->plain));
    }
}

void Service::tablesWritten(const QStringList& tables, bool opaque) {
    static const QStringList rightsTables{QStringLiteral("ac_operator"), QStringLiteral("ac_popedomgroup"),
                                          QStringLiteral("ac_popedomgroupmodule"), QStringLiteral("ac_systemoudle"),
                                          db::kOperatorPasswordTable};
    bool operators = opaque;
    bool rights = opaque;
    for (const QString& table : tables) {
        rights = rights || rightsTables.contains(table, Qt::CaseInsensitive);
        operators = operators || table.compare(QLatin1String("ac_operator"), Qt::CaseInsensitive) == 0;
    }
    if (rights)
        changed();
    const auto told = qScopeGuard([&] {
        if (rights)
            tellRightsObserver();
    });
    // A password that a statement wrote in plain text is moved at once, and the hashes of operators that a
    // statement deleted go with them.
    if (operators && m_db) {
        m_db->exec(QStringLiteral("delete from %1 where operatorid not in (select ID from ac_operator)")
                       .arg(db::kOperatorPasswordTable));
        try {
            migratePlainPasswords();
        } catch (const AutomationError& failure) {
            qWarning("morvane: a password written in plain text could not be moved into its hash: %s",
                     qPrintable(failure.message()));
        }
    }
}

void Service::changed() {
    ++m_generation;
}

void Service::setRightsObserver(std::function<void()> observer) {
    std::lock_guard lock(m_observerMutex);
    m_rightsObserver = std::move(observer);
}

void Service::tellRightsObserver() {
    std::function<void()> observer;
    {
        std::lock_guard lock(m_observerMutex);
        observer = m_rightsObserver;
    }
    if (observer)
        observer();
}

QString Service::endedBecause(Session& session, const std::shared_ptr<const Grant>& grant) {
    std::shared_ptr<const Grant> current;
    {
        std::lock_guard lock(session.mutex);
        if (session.state == Session::State::Changed)
            return sessionEnded();
        if (session.state == Session::State::Ended)
            return QStringLiteral("The session has ended: its operator logged off");
        if (session.generation == m_generation.load())
            return session.grant == grant || (session.grant && grant && session.grant->rights == grant->rights)
                       ? QString()
                       : sessionEnded();
        current = session.grant;
    }
    // Read again as a call would, outside the session's lock (the database is waited for).
    const quint64 generation = m_generation.load();
    std::optional<Account> now;
    try {
        now = account(QString(), current->operatorId);
    } catch (const AutomationError&) {
        return {}; // the database cannot say now: the next change asks again
    }
    const std::shared_ptr<const Grant> fresh = now ? grantOf(*now) : nullptr;
    std::lock_guard lock(session.mutex);
    if (!fresh || fresh->group != current->group || fresh->fingerprint != current->fingerprint ||
        fresh->rights != current->rights) {
        session.state = Session::State::Changed;
        return sessionEnded();
    }
    if (session.grant == current) {
        session.grant = fresh;
        session.generation = generation;
    }
    return {};
}

bool Service::defaultPasswordInUse() {
    const quint64 generation = m_generation.load();
    {
        std::lock_guard lock(m_cacheMutex);
        if (m_defaultPasswordGeneration == generation)
            return m_defaultPassword;
    }
    bool inUse = false;
    try {
        const std::optional<Account> system = account(kSystem, 0);
        inUse = system && verify(*system, kFirstPassword);
    } catch (const AutomationError&) {
        std::lock_guard lock(m_cacheMutex);
        return m_defaultPassword; // the last answer, until the database or the hashing pool answers again
    }
    std::lock_guard lock(m_cacheMutex);
    m_defaultPassword = inUse;
    m_defaultPasswordGeneration = generation;
    return inUse;
}

std::shared_ptr<const Grant> Service::admit(Session& session) {
    std::lock_guard lock(session.mutex);
    if (session.state == Session::State::Changed)
        throw AutomationError(hr::E_ACCESSDENIED, sessionEnded());
    const qint64 at = now();
    if (session.state == Session::State::Ended || at - session.lastUsed > m_settings.idleMs) {
        session.state = Session::State::Ended;
        throw AutomationError(hr::E_ACCESSDENIED, logOnFirst());
    }
    const quint64 generation = m_generation.load();
    if (generation != session.generation) {
        // Rights or operators have changed since this session last looked: its operator must be the same.
        const std::optional<Account> now = account(QString(), session.grant->operatorId);
        const std::shared_ptr<const Grant> fresh = now ? grantOf(*now) : nullptr;
        if (!fresh || fresh->group != session.grant->group || fresh->fingerprint != session.grant->fingerprint ||
            fresh->rights != session.grant->rights) {
            session.state = Session::State::Changed;
            throw AutomationError(hr::E_ACCESSDENIED, sessionEnded());
        }
        session.grant = fresh;
        session.generation = generation;
    }
    session.lastUsed = at;
    return session.grant;
}

std::shared_ptr<Session> Service::newSession(std::shared_ptr<const Grant> grant, quint64 generation, QString* token) {
    *token = QString::fromLatin1(
        PasswordHasher::randomBytes(32).toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
    auto session = std::make_shared<Session>();
    session->key = tokenDigest(*token);
    session->grant = std::move(grant);
    session->generation = generation;
    session->lastUsed = now();
    const qint64 at = session->lastUsed;
    std::lock_guard lock(m_sessionsMutex);
    // Sessions that have ended or gone idle are let go as new ones come.
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        std::lock_guard held((*it)->mutex);
        if ((*it)->state != Session::State::Open || at - (*it)->lastUsed > m_settings.idleMs)
            it = m_sessions.erase(it);
        else
            ++it;
    }
    m_sessions.insert(session->key, session);
    return session;
}

std::shared_ptr<Session> Service::findSession(const QString& token) {
    const QByteArray key = tokenDigest(token);
    std::lock_guard lock(m_sessionsMutex);
    return m_sessions.value(key);
}

void Service::endSessionsOf(int operatorId, const Session* except) {
    {
        std::lock_guard lock(m_sessionsMutex);
        for (const std::shared_ptr<Session>& session : std::as_const(m_sessions)) {
            if (session.get() == except)
                continue;
            std::lock_guard held(session->mutex);
            if (session->grant && session->grant->operatorId == operatorId)
                session->state = Session::State::Changed;
        }
    }
    tellRightsObserver();
}

void Service::forget(const Session& session) {
    {
        std::lock_guard lock(m_sessionsMutex);
        const auto found = m_sessions.find(session.key);
        if (found == m_sessions.end())
            return;
        {
            std::lock_guard held((*found)->mutex);
            (*found)->state = Session::State::Ended;
        }
        m_sessions.erase(found);
    }
    // Other connections of the same session (its token) go with it.
    tellRightsObserver();
}

QJsonObject Service::logon(Connection& connection, const QJsonValue& params) {
    if (!params.isObject())
        throw AutomationError(hr::E_INVALIDARG, QStringLiteral("Logon needs {\"operator\": NAME, \"password\": "
                                                               "TEXT} or {\"token\": TOKEN}"));
    const QJsonValue address = member(params, QStringLiteral("address"));
    connection.setAddress(address.isString() ? address.toString().left(64) : QString());
    const QString from = connection.address();
    const auto audit = [&](const QString& name, const QString& outcome, const QJsonObject& details) {
        if (m_audit)
            m_audit->append(name, from, QStringLiteral("Logon"), outcome, details);
    };
    const auto reply = [&](const std::shared_ptr<Session>& session, const QString& token) {
        const std::shared_ptr<const Grant> grant = session->grant;
        connection.attach(session, from);
        audit(grant->name, QStringLiteral("ok"), {});
        // What the operator may do, so that a client shows only that; the server still judges every call.
        QJsonObject rights;
        for (auto it = grant->rights.cbegin(); it != grant->rights.cend(); ++it) {
            QJsonArray names;
            for (const Right right : {Right::Browse, Right::Insert, Right::Edit, Right::Delete}) {
                if (it.value() & bit(right))
                    names.append(rightName(right));
            }
            if (!names.isEmpty())
                rights.insert(it.key(), names);
        }
        return QJsonObject{{QStringLiteral("hresult"), hr::S_OK},
                           {QStringLiteral("rights"), rights},
                           {QStringLiteral("administrator"), grant->administrator()},
                           {QStringLiteral("token"), token},
                           {QStringLiteral("operator"), grant->name},
                           {QStringLiteral("operatorId"), grant->operatorId},
                           {QStringLiteral("group"), grant->group},
                           {QStringLiteral("idleMinutes"), double(m_settings.idleMs / 60000)},
                           {QStringLiteral("defaultPassword"), defaultPasswordInUse()}};
    };

    const QJsonValue token = member(params, QStringLiteral("token"));
    if (!token.isUndefined()) {
        const QString text = token.toString();
        const std::shared_ptr<Session> session = text.size() <= 64 ? findSession(text) : nullptr;
        try {
            if (!session)
                throw AutomationError(hr::E_ACCESSDENIED, logOnFirst());
            admit(*session);
        } catch (const AutomationError& failure) {
            audit(QString(), QStringLiteral("failed"), {{QStringLiteral("reason"), QStringLiteral("token")}});
            qWarning("morvane: a log-on from %s with a token that is unknown or has ended",
                     qPrintable(printable(from)));
            throw AutomationError(hr::E_ACCESSDENIED,
                                  failure.message() == sessionEnded()
                                      ? sessionEnded()
                                      : QStringLiteral("The token is unknown or has expired; log on with an "
                                                       "operator and a password"));
        }
        return reply(session, text);
    }

    const QJsonValue nameValue = member(params, QStringLiteral("operator"));
    const QJsonValue passwordValue = member(params, QStringLiteral("password"));
    if (!nameValue.isString() || !passwordValue.isString())
        throw AutomationError(hr::E_INVALIDARG, QStringLiteral("Logon needs {\"operator\": NAME, \"password\": "
                                                               "TEXT} or {\"token\": TOKEN}"));
    const QString name = nameValue.toString();
    const QString password = passwordValue.toString();
    const qint64 at = now();
    if (const std::optional<qint64> until = m_lockout.lockedUntil(name, from, at)) {
        audit(printable(name), QStringLiteral("locked"), {{QStringLiteral("until"), timeText(*until)}});
        throw AutomationError(hr::E_ACCESSDENIED, QStringLiteral("Too many failed log-ons: %1 is locked out from %2 "
                                                                 "until %3")
                                                      .arg(printable(name), from, timeText(*until)));
    }
    std::optional<Account> found;
    bool matches = false;
    if (!name.isEmpty() && name.size() <= kLongestName && !password.isEmpty() && password.size() <= kLongestPassword) {
        found = account(name, 0);
        matches = verify(found.value_or(Account()), password) && found.has_value();
    }
    if (!matches) {
        const std::optional<qint64> locked = m_lockout.fail(name, from, at);
        audit(printable(name), QStringLiteral("failed"), {});
        qWarning("morvane: failed log-on of operator \"%s\" from %s", qPrintable(printable(name)),
                 qPrintable(printable(from)));
        if (locked) {
            audit(printable(name), QStringLiteral("locked"), {{QStringLiteral("until"), timeText(*locked)}});
            qWarning("morvane: operator \"%s\" is locked out from %s until %s", qPrintable(printable(name)),
                     qPrintable(printable(from)), qPrintable(timeText(*locked)));
        }
        throw AutomationError(hr::E_ACCESSDENIED, wrongPassword());
    }
    m_lockout.succeed(name, from);
    // A password still in plain text moves into its hash now.
    if (!found->plain.isEmpty()) {
        storeHash(found->id, hashOrThrow(password));
        found = account(QString(), found->id);
        if (!found)
            throw AutomationError(hr::E_ACCESSDENIED, wrongPassword());
    }
    if (found->name == kSystem) {
        std::lock_guard lock(m_cacheMutex);
        m_defaultPassword = password == kFirstPassword;
        m_defaultPasswordGeneration = m_generation.load();
    }
    QString newToken;
    const quint64 generation = m_generation.load();
    const std::shared_ptr<Session> session = newSession(grantOf(*found), generation, &newToken);
    return reply(session, newToken);
}

QJsonObject Service::changePassword(Connection& connection, const QJsonValue& params) {
    const std::shared_ptr<Session> session = connection.session();
    if (!session)
        throw AutomationError(hr::E_ACCESSDENIED, logOnFirst());
    const std::shared_ptr<const Grant> grant = admit(*session);
    const QJsonValue oldValue = params.isArray() ? params.toArray().at(0) : member(params, QStringLiteral("old"));
    const QJsonValue newValue = params.isArray() ? params.toArray().at(1) : member(params, QStringLiteral("new"));
    const QString newPassword = newValue.toString();
    if (!oldValue.isString() || !newValue.isString() || newPassword.isEmpty() || newPassword.size() > kLongestPassword)
        throw AutomationError(hr::E_INVALIDARG, QStringLiteral("ChangePassword needs {\"old\": TEXT, \"new\": TEXT}, "
                                                               "the new password of 1 to %1 characters")
                                                    .arg(kLongestPassword));
    const QString from = connection.address();
    const Principal principal(*this, grant, from);
    const std::optional<Account> current = account(QString(), grant->operatorId);
    const QString oldPassword = oldValue.toString();
    if (!current || oldPassword.size() > kLongestPassword || !verify(*current, oldPassword)) {
        m_lockout.fail(grant->name, from, now());
        principal.audit(QStringLiteral("ChangePassword"), QStringLiteral("failed"), {});
        throw AutomationError(hr::E_ACCESSDENIED, wrongPassword());
    }
    storeHash(current->id, hashOrThrow(newPassword));
    endSessionsOf(current->id, session.get());
    // This session goes on with the new password.
    if (const std::optional<Account> updated = account(QString(), current->id)) {
        std::lock_guard lock(session->mutex);
        session->grant = grantOf(*updated);
        session->generation = m_generation.load();
    }
    principal.audit(QStringLiteral("ChangePassword"), QStringLiteral("ok"), {});
    return {{QStringLiteral("hresult"), hr::S_OK}, {QStringLiteral("changed"), true}};
}

void Service::setPassword(const QString& operatorName, const QString& password) {
    if (password.isEmpty() || password.size() > kLongestPassword)
        throw AutomationError(hr::E_INVALIDARG,
                              QStringLiteral("A password has 1 to %1 characters").arg(kLongestPassword));
    const std::optional<Account> found =
        operatorName.isEmpty() || operatorName.size() > kLongestName ? std::nullopt : account(operatorName, 0);
    if (!found)
        throw AutomationError(hr::E_INVALIDARG,
                              QStringLiteral("No operator is named \"%1\"").arg(printable(operatorName)));
    storeHash(found->id, hashOrThrow(password));
    endSessionsOf(found->id, nullptr);
    auditLocal(QStringLiteral("SetPassword"), {{QStringLiteral("operator"), printable(found->name)}});
}

QJsonObject Service::auditLines(Connection& connection, const QJsonValue& params) {
    const std::shared_ptr<const Principal> principal = connection.principal();
    if (!principal->administrator()) {
        const QString why = principal->administratorRefusal();
        principal->audit(QStringLiteral("AuditLog"), QStringLiteral("refused"), {{QStringLiteral("reason"), why}});
        throw AutomationError(hr::E_ACCESSDENIED, why);
    }
    const QJsonValue sinceValue = params.isArray() ? params.toArray().at(0) : member(params, QStringLiteral("since"));
    const QDateTime since = QDateTime::fromString(sinceValue.toString(), Qt::ISODate);
    if (!since.isValid())
        throw AutomationError(hr::E_INVALIDARG, QStringLiteral("AuditLog needs {\"since\": \"YYYY-MM-DDTHH:MM:SS\"}"));
    bool truncated = false;
    const QJsonArray lines = m_audit ? m_audit->since(since, 10000, 8 * 1024 * 1024, &truncated) : QJsonArray();
    return {{QStringLiteral("hresult"), hr::S_OK},
            {QStringLiteral("lines"), lines},
            {QStringLiteral("truncated"), truncated}};
}

} // namespace morvane::security
