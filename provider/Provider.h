#pragma once

#include "CallRights.h"
#include "DataPacket.h"
#include "Resolver.h"
#include "SqlConnection.h"
#include "Variant.h"

#include <QList>
#include <QPair>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>

namespace morvane::provider {

// The one database connection that every provider of the process works on. Threads: set by the main
// thread before any client is served and cleared after the last is gone; read by the callers' threads.
void setSharedConnection(platform::SqlConnection* connection);
platform::SqlConnection* sharedConnection();
// How long a client's statement and a delta may run before they are cancelled (zero: no limit); by
// default 30 s and 120 s. Set by the main thread before any client is served.
void setStatementLimits(std::chrono::milliseconds statements, std::chrono::milliseconds deltas);

// A named parameter of a statement (":name" in its text), its value, and whether the statement gives a
// value back for it.
struct StatementParam {
    enum Direction { In, Out, InOut };
    QString name;
    platform::Variant value;
    Direction direction = In;
    bool operator==(const StatementParam&) const = default;
};
using StatementParams = QList<StatementParam>;

// A query component: the statement a provider reads and executes, and its parameters.
struct ProviderQuery {
    QString name;
    QString sql;
    StatementParams params;
};

// A data provider: reads its query as data packets, runs it as a command, and writes deltas back to the
// query's table, all on the shared connection. Failures throw AutomationError with the database's text.
//
// Threads: used by one thread at a time (its data module holds the module's lock for every call).
class Provider {
public:
    using DataRequestHandler = std::function<platform::Variant(Provider& sender, const platform::Variant& input)>;
    struct Options {
        bool allowCommandText = false; // the client may replace the statement with its own
        UpdateMode updateMode = UpdateMode::WhereAll;
    };

    Provider(QString name, QString queryName, Options options, DataRequestHandler onDataRequest = {});

    const QString& name() const { return m_name; }
    ProviderQuery& query() { return m_query; }

    // Count -1 all records, 0 the metadata only, n the next n (the cursor is kept until a reset, a new
    // statement or new parameters, or until its last record has been sent). Options: 1 metadata, 2 reset.
    // Parameters given (none: the statement's stay) replace the statement's.
    platform::Variant getRecords(int count, int& recsOut, int options, const QString& commandText,
                                 const StatementParams& params);
    // The statement as a command; answers its parameters with the values its output parameters took.
    StatementParams execute(const QString& commandText, const StatementParams& params);
    platform::Variant getParams() const;
    platform::Variant rowRequest(const platform::Variant& row, int requestType);
    platform::Variant applyUpdates(const platform::Variant& delta, int maxErrors, int& errorCount);
    platform::Variant dataRequest(const platform::Variant& input);

    // For data-request handlers: the query's cursor closed; closed with no statement (nor parameters)
    // left; its statement run as a command; and the statement read whole as one packet with its metadata.
    void closeQuery();
    void clearStatement();
    void executeQuery();
    platform::Variant openQueryPacket();

    enum OptionBits { MetaData = 1, Reset = 2 };

    // What the last delta was, for the audit log: its table, its changes, and how many are in the table now.
    struct DeltaReport {
        QString table;
        int changes = 0;
        int applied = 0;
    };
    const DeltaReport& lastDelta() const { return m_lastDelta; }
    // Whether the last data request ran a command, and what the last command reached.
    bool commandRan() const { return m_commandRan; }
    const StatementAccess& lastCommand() const { return m_lastCommand; }

    ~Provider();
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;

private:
    void takeCommandText(const QString& commandText);
    void takeParams(const StatementParams& params);
    const QString& statement() const;
    QList<FieldDesc> describeStatement();

    QString m_name;
    Options m_options;
    DataRequestHandler m_onDataRequest;
    ProviderQuery m_query;
    std::shared_ptr<struct LiveCursor> m_cursor; // the statement open between reads of n records
    QList<FieldDesc> m_lastFields;               // of the last packet sent, to tell joined fields from unknown ones
    bool m_atEnd = false; // a cursor has sent its last record: nothing more until the client starts again
    DeltaReport m_lastDelta;
    StatementAccess m_lastCommand;
    bool m_commandRan = false;
};

// Parameters as clients pass them: an array of [name, value] pairs (a name alone, or [name], is a
// parameter without a value). Throws DISP_E_TYPEMISMATCH for anything else.
StatementParams paramsFromVariant(const platform::Variant& params);
platform::Variant paramsToVariant(const StatementParams& params);

} // namespace morvane::provider
