#include "FileServer.h"

#include "ProgramDirectory.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QLocale>

#include <optional>

namespace morvane::webconsole {

namespace {

// Every answer: no inline script or style, scripts and styles from this origin only, WebSockets back to
// the server, never inside a frame, never sniffed as another type.
const QByteArray kSecurityHeaders =
    "Content-Security-Policy: default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self' ws: wss:; object-src 'none'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "X-Frame-Options: DENY\r\n"
    "Referrer-Policy: no-referrer\r\n";
const QByteArray kClose = "Connection: close\r\n";
const QByteArray kKeepAlive = "Connection: keep-alive\r\n";

QByteArray contentType(const QString& suffix) {
    static const QList<std::pair<const char*, const char*>> kTypes{
        {"html", "text/html; charset=utf-8"},
        {"js", "text/javascript; charset=utf-8"},
        {"mjs", "text/javascript; charset=utf-8"},
        {"css", "text/css; charset=utf-8"},
        {"json", "application/json"},
        {"svg", "image/svg+xml"},
        {"png", "image/png"},
        {"ico", "image/x-icon"},
        {"txt", "text/plain; charset=utf-8"},
        {"woff2", "font/woff2"},
    };
    for (const auto& [ext, type] : kTypes) {
        if (suffix.compare(QLatin1String(ext), Qt::CaseInsensitive) == 0)
            return type;
    }
    return "application/octet-stream";
}

QByteArray status(const QByteArray& line, const QByteArray& text, bool withBody, const QByteArray& extra = {}) {
    const QByteArray body = text + '\n';
    return "HTTP/1.1 " + line +
           "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nCache-Control: no-store\r\n" + extra + kSecurityHeaders + kClose + "\r\n" +
           (withBody ? body : QByteArray());
}

QByteArray notFound(bool withBody) {
    return status("404 Not Found", "Not found", withBody);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The path's segments, percent-decoded; nullopt for one that may name no file here: a separator or a NUL
// or control character however written, "." and ".." and every other hidden name, an empty segment
// inside the path.
std::optional<QStringList> segments(const QByteArray& path) {
    QStringList out;
    const QList<QByteArray> parts = path.mid(1).split('/');
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QByteArray& part = parts.at(i);
        if (part.isEmpty()) {
            if (i + 1 == parts.size())
                break; // a final slash: the directory's index
            return std::nullopt;
        }
        QByteArray decoded;
        for (qsizetype k = 0; k < part.size(); ++k) {
            char c = part.at(k);
            if (c == '%') {
                const int high = k + 2 < part.size() ? hexDigit(part.at(k + 1)) : -1;
                const int low = high >= 0 ? hexDigit(part.at(k + 2)) : -1;
                if (low < 0)
                    return std::nullopt;
                c = static_cast<char>(high * 16 + low);
                k += 2;
            }
            if (c == '/' || c == '\\' || static_cast<uchar>(c) < 0x20 || c == 0x7F)
                return std::nullopt;
            decoded.append(c);
        }
        const QString name = QString::fromUtf8(decoded);
        if (name.startsWith(QLatin1Char('.')) || name.toUtf8() != decoded)
            return std::nullopt;
        out.append(name);
    }
    if (path.endsWith('/'))
        out.append(QStringLiteral("index.html"));
    return out;
}

QByteArray httpDate(const QDateTime& time) {
    return QLocale::c().toString(time.toUTC(), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'")).toLatin1();
}

} // namespace

FileServer::FileServer(QString root) {
    const QString canonical = root.isEmpty() ? QString() : QFileInfo(root).canonicalFilePath();
    if (!canonical.isEmpty() && QFileInfo(canonical).isDir())
        m_root = canonical;
}

QString FileServer::defaultRoot() {
    const QString beside = platform::programDirectory() + QStringLiteral("console");
    if (QFileInfo(beside).isDir())
        return beside;
    return QStringLiteral(MORVANE_CONSOLE_SOURCE_DIR);
}

QByteArray FileServer::answer(const QByteArray& head, bool keepAlive) const {
    if (head.size() > kMaxHead)
        return status("431 Request Header Fields Too Large", "Request header fields too large", true);
    QList<QByteArray> lines = head.split('\n');
    for (QByteArray& line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    if (lines.isEmpty())
        return status("400 Bad Request", "Bad request", true);
    const QByteArray requestLine = lines.takeFirst();
    if (requestLine.size() > kMaxTarget)
        return status("414 URI Too Long", "Request target too long", true);
    if (lines.size() > kMaxFields)
        return status("431 Request Header Fields Too Large", "Too many header fields", true);
    const QList<QByteArray> request = requestLine.split(' ');
    if (request.size() != 3 || !request.at(2).startsWith("HTTP/1."))
        return status("400 Bad Request", "Bad request", true);
    const QByteArray& method = request.at(0);
    const bool withBody = method != "HEAD";
    if (method != "GET" && method != "HEAD")
        return status("405 Method Not Allowed", "Only GET and HEAD", true, "Allow: GET, HEAD\r\n");
    QByteArray ifNoneMatch;
    for (const QByteArray& line : lines) {
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            return status("400 Bad Request", "Bad request", withBody);
        if (line.left(colon).trimmed().compare("if-none-match", Qt::CaseInsensitive) == 0)
            ifNoneMatch = line.mid(colon + 1).trimmed();
    }
    return file(request.at(1), ifNoneMatch, withBody, keepAlive);
}

QByteArray FileServer::file(const QByteArray& target, const QByteArray& ifNoneMatch, bool withBody,
                            bool keepAlive) const {
    const QByteArray& connection = keepAlive ? kKeepAlive : kClose;
    QByteArray path = target;
    const qsizetype query = path.indexOf('?');
    if (query >= 0)
        path.truncate(query);
    if (!path.startsWith('/') || m_root.isEmpty())
        return notFound(withBody);
    const auto names = segments(path);
    if (!names)
        return notFound(withBody);
    // The file as the system resolves it (links followed) must still lie under the directory.
    const QFileInfo info(m_root + QLatin1Char('/') + names->join(QLatin1Char('/')));
    const QString canonical = info.canonicalFilePath();
    if (canonical.isEmpty() || !canonical.startsWith(m_root + QLatin1Char('/')))
        return notFound(withBody);
    const QFileInfo resolved(canonical);
    if (!resolved.isFile() || resolved.size() > kMaxFile)
        return notFound(withBody);
    const QDateTime modified = resolved.lastModified();
    const QByteArray tag = '"' + QByteArray::number(resolved.size(), 16) + '-' +
                           QByteArray::number(modified.toMSecsSinceEpoch(), 16) + '"';
    // The console changes with an upgrade: the browser keeps a copy but asks each time whether it is current.
    const QByteArray caching =
        "ETag: " + tag + "\r\nLast-Modified: " + httpDate(modified) + "\r\nCache-Control: no-cache\r\n";
    for (const QByteArray& wanted : ifNoneMatch.split(',')) {
        const QByteArray value = wanted.trimmed();
        if (value == tag || value == "W/" + tag || value == "*")
            return "HTTP/1.1 304 Not Modified\r\n" + caching + kSecurityHeaders + connection + "\r\n";
    }
    QFile file(canonical);
    if (!file.open(QIODevice::ReadOnly))
        return notFound(withBody);
    const QByteArray body = file.read(kMaxFile + 1);
    if (body.size() > kMaxFile)
        return notFound(withBody);
    return "HTTP/1.1 200 OK\r\nContent-Type: " + contentType(resolved.suffix()) +
           "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n" + caching + kSecurityHeaders + connection +
           "\r\n" + (withBody ? body : QByteArray());
}

} // namespace morvane::webconsole
