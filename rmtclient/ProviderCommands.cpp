#include "ProviderCommands.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <cstdio>

namespace morvane::rmtclient {

namespace rpc = platform::rpc;

namespace {

struct Parsed {
    QStringList positional;
    bool table = false;
    int count = -1;
    int maxErrors = -1;
    bool ok = true;
};

Parsed parseWords(const QStringList& words) {
    Parsed parsed;
    for (qsizetype i = 0; i < words.size(); ++i) {
        const QString& word = words.at(i);
        if (word == QLatin1String("--table")) {
            parsed.table = true;
        } else if (word == QLatin1String("--count") || word == QLatin1String("--max-errors")) {
            bool ok = false;
            const int value = i + 1 < words.size() ? words.at(++i).toInt(&ok) : 0;
            parsed.ok = parsed.ok && ok;
            (word == QLatin1String("--count") ? parsed.count : parsed.maxErrors) = value;
        } else {
            parsed.positional.append(word);
        }
    }
    return parsed;
}

int displayWidth(const QString& text) {
    int width = 0;
    for (const char32_t c : text.toUcs4()) {
        const bool wide = (c >= 0x1100 && c <= 0x115f) || (c >= 0x2e80 && c <= 0xa4cf) ||
                          (c >= 0xac00 && c <= 0xd7a3) || (c >= 0xf900 && c <= 0xfaff) ||
                          (c >= 0xfe30 && c <= 0xfe4f) || (c >= 0xff00 && c <= 0xff60) ||
                          (c >= 0xffe0 && c <= 0xffe6) || c >= 0x20000;
        width += wide ? 2 : 1;
    }
    return width;
}

QString cellText(const QJsonValue& value) {
    switch (value.type()) {
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        return QStringLiteral("NULL");
    case QJsonValue::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QJsonValue::Double:
        return QString::number(value.toDouble(), 'g', 17);
    case QJsonValue::String: {
        QString text = value.toString();
        text.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
        return text;
    }
    case QJsonValue::Array:
    case QJsonValue::Object:
        break;
    }
    return QString::fromUtf8(value.isArray() ? QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact)
                                             : QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact));
}

void print(const QByteArray& text) {
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
    std::fflush(stdout);
}

void printObject(const QJsonObject& object) {
    print(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}

int failed(const rpc::Reply& reply) {
    printObject(
        QJsonObject{{QStringLiteral("error"), rpc::errorObject(reply.hresult, reply.message, reply.helpContext)}});
    return 1;
}

// The data packet of a reply's retval; empty when the retval is none.
QJsonObject packetOf(const rpc::Reply& reply) {
    const QJsonObject retval = reply.result.value(QStringLiteral("retval")).toObject();
    return retval.value(QStringLiteral("vt")).toString() == QLatin1String("packet")
               ? retval.value(QStringLiteral("value")).toObject()
               : QJsonObject();
}

int printReply(const rpc::Reply& reply, bool table) {
    if (!reply.ok)
        return failed(reply);
    const QJsonObject packet = packetOf(reply);
    if (packet.isEmpty())
        printObject(reply.result);
    else if (table)
        print(packetTable(packet).toUtf8());
    else
        printObject(packet);
    return 0;
}

QJsonObject getRecordsParams(const QString& provider, int count, const QString& sql) {
    return QJsonObject{{QStringLiteral("ProviderName"), provider},
                       {QStringLiteral("Count"), count},
                       {QStringLiteral("Options"), 1},
                       {QStringLiteral("CommandText"), sql},
                       {QStringLiteral("Params"), QJsonValue()},
                       {QStringLiteral("OwnerData"), QJsonValue()}};
}

} // namespace

bool isProviderCommand(const QString& command) {
    static const QStringList commands{QStringLiteral("providers"), QStringLiteral("get"), QStringLiteral("exec"),
                                      QStringLiteral("apply"), QStringLiteral("request")};
    return commands.contains(command);
}

bool providerCommandUsable(const QString& command, const QStringList& words) {
    const Parsed parsed = parseWords(words);
    const qsizetype n = parsed.positional.size();
    if (!parsed.ok)
        return false;
    if (command == QLatin1String("providers"))
        return n == 0;
    if (command == QLatin1String("get"))
        return n == 1 || n == 2;
    if (command == QLatin1String("exec") || command == QLatin1String("request"))
        return n == 2;
    if (command == QLatin1String("apply"))
        return n == 2 || n == 3;
    return false;
}

int runProviderCommand(Session& session, const QString& command, const QStringList& words) {
    const Parsed parsed = parseWords(words);
    const QStringList& args = parsed.positional;
    if (command == QLatin1String("providers")) {
        const rpc::Reply reply = session.call(QStringLiteral("AS_GetProviderNames"), QJsonArray());
        if (!reply.ok)
            return failed(reply);
        const QJsonArray names = reply.result.value(QStringLiteral("retval")).toArray();
        if (parsed.table) {
            for (const QJsonValue& name : names)
                print(name.toString().toUtf8() + '\n');
        } else {
            print(QJsonDocument(names).toJson(QJsonDocument::Compact) + '\n');
        }
        return 0;
    }
    if (command == QLatin1String("get"))
        return printReply(
            session.call(QStringLiteral("AS_GetRecords"), getRecordsParams(args.at(0), parsed.count, args.value(1))),
            parsed.table);
    if (command == QLatin1String("exec")) {
        return printReply(
            session.call(QStringLiteral("AS_Execute"), QJsonObject{{QStringLiteral("ProviderName"), args.at(0)},
                                                                   {QStringLiteral("CommandText"), args.at(1)},
                                                                   {QStringLiteral("Params"), QJsonValue()},
                                                                   {QStringLiteral("OwnerData"), QJsonValue()}}),
            parsed.table);
    }
    if (command == QLatin1String("request")) {
        const QJsonArray params = typedParams(nullptr, {args.at(1)});
        return printReply(
            session.call(QStringLiteral("AS_DataRequest"), QJsonObject{{QStringLiteral("ProviderName"), args.at(0)},
                                                                       {QStringLiteral("Data"), params.at(0)}}),
            parsed.table);
    }
    // apply PROVIDER DELTA.json [SQL]: a new object has no statement yet, so SQL (when given) is read
    // first, metadata only, to give the provider the statement whose table the delta changes.
    QFile file;
    const bool opened = args.at(1) == QLatin1String("-")
                            ? file.open(stdin, QIODevice::ReadOnly)
                            : (file.setFileName(args.at(1)), file.open(QIODevice::ReadOnly));
    if (!opened) {
        std::fprintf(stderr, "rmtclient: cannot read %s\n", qPrintable(args.at(1)));
        return 2;
    }
    QJsonParseError error;
    const QJsonDocument delta = QJsonDocument::fromJson(file.readAll(), &error);
    if (!delta.isObject()) {
        std::fprintf(stderr, "rmtclient: %s is not a JSON object: %s\n", qPrintable(args.at(1)),
                     qPrintable(error.errorString()));
        return 2;
    }
    if (args.size() > 2) {
        const rpc::Reply read =
            session.call(QStringLiteral("AS_GetRecords"), getRecordsParams(args.at(0), 0, args.at(2)));
        if (!read.ok)
            return failed(read);
    }
    const rpc::Reply reply =
        session.call(QStringLiteral("AS_ApplyUpdates"),
                     QJsonObject{{QStringLiteral("ProviderName"), args.at(0)},
                                 {QStringLiteral("Delta"), QJsonObject{{QStringLiteral("vt"), QStringLiteral("packet")},
                                                                       {QStringLiteral("value"), delta.object()}}},
                                 {QStringLiteral("MaxErrors"), parsed.maxErrors},
                                 {QStringLiteral("OwnerData"), QJsonValue()}});
    if (!reply.ok)
        return failed(reply);
    // NULL when every change applied and no row was given a key; else the packet of failures and keys.
    const QJsonObject result = packetOf(reply);
    const int errorCount =
        reply.result.value(QStringLiteral("out")).toObject().value(QStringLiteral("ErrorCount")).toInt();
    if (parsed.table) {
        QJsonArray rows;
        for (const QJsonValue& entry : result.value(QStringLiteral("errors")).toArray()) {
            const QJsonObject e = entry.toObject();
            rows.append(QJsonArray{e.value(QStringLiteral("index")), e.value(QStringLiteral("category")),
                                   e.value(QStringLiteral("message"))});
        }
        QJsonArray fields;
        for (const char* name : {"index", "category", "message"})
            fields.append(QJsonObject{{QStringLiteral("name"), QLatin1String(name)}});
        print(QStringLiteral("%1 change(s) failed\n").arg(errorCount).toUtf8());
        if (!rows.isEmpty())
            print(
                packetTable(QJsonObject{{QStringLiteral("fields"), fields}, {QStringLiteral("rows"), rows}}).toUtf8());
    } else {
        printObject(QJsonObject{{QStringLiteral("errorCount"), errorCount},
                                {QStringLiteral("errors"), result.value(QStringLiteral("errors")).toArray()},
                                {QStringLiteral("keys"), result.value(QStringLiteral("keys")).toArray()}});
    }
    return errorCount ? 1 : 0;
}

QString packetTable(const QJsonObject& packet) {
    const QJsonArray rows = packet.value(QStringLiteral("rows")).toArray();
    const QJsonArray fields = packet.value(QStringLiteral("fields")).toArray();
    qsizetype columns = fields.size();
    for (const QJsonValue& row : rows)
        columns = std::max(columns, row.toArray().size());
    QList<QStringList> cells;
    QStringList header;
    for (qsizetype c = 0; c < columns; ++c)
        header.append(c < fields.size() ? fields.at(c).toObject().value(QStringLiteral("name")).toString()
                                        : QString::number(c));
    cells.append(header);
    for (const QJsonValue& row : rows) {
        const QJsonArray values = row.toArray();
        QStringList line;
        for (qsizetype c = 0; c < columns; ++c)
            line.append(cellText(values.at(c)));
        cells.append(line);
    }
    QList<int> widths(columns, 0);
    for (const QStringList& line : cells) {
        for (qsizetype c = 0; c < columns; ++c)
            widths[c] = std::max(widths[c], displayWidth(line.at(c)));
    }
    QString out;
    const auto writeLine = [&](const QStringList& line) {
        QString text;
        for (qsizetype c = 0; c < columns; ++c) {
            if (c)
                text += QStringLiteral("  ");
            text += line.at(c);
            if (c + 1 < columns)
                text += QString(widths[c] - displayWidth(line.at(c)), QLatin1Char(' '));
        }
        out += text + QLatin1Char('\n');
    };
    writeLine(cells.first());
    QStringList rule;
    for (qsizetype c = 0; c < columns; ++c)
        rule.append(QString(widths[c], QLatin1Char('-')));
    writeLine(rule);
    for (qsizetype r = 1; r < cells.size(); ++r)
        writeLine(cells.at(r));
    out += QStringLiteral("(%1 row%2)\n").arg(rows.size()).arg(rows.size() == 1 ? QString() : QStringLiteral("s"));
    return out;
}

} // namespace morvane::rmtclient
