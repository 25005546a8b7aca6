#pragma once

#include <QByteArray>
#include <QString>

namespace morvane::webconsole {

// Answers a plain HTTP request with a file under one directory: the browser console's HTML, CSS and
// script modules. Only GET and HEAD; the path may not leave the directory (no "..", no encoded slashes
// or NULs, no hidden names, no symbolic link that points out of it); the request's head is bounded.
// Every answer carries a strict Content-Security-Policy (no inline script, WebSockets to this origin's
// host only through 'self', ws: and wss:), forbids framing and sniffing, and closes the connection
// unless the caller keeps it for the next request.
//
// Threads: any; it holds nothing that changes (each request reads the file afresh).
class FileServer {
public:
    // The longest request line and head, and the most header fields, a request may have.
    static constexpr qsizetype kMaxTarget = 2048;
    static constexpr qsizetype kMaxHead = 8192;
    static constexpr int kMaxFields = 64;
    // A larger file is not a console file.
    static constexpr qint64 kMaxFile = 4 * 1024 * 1024;

    // `root`: the directory; empty or missing: every file is answered 404.
    explicit FileServer(QString root);

    // The whole answer (head and body) to a request head: the request line and the header fields, with
    // or without the blank line that ends them. `keepAlive`: a file's answer says the connection stays
    // (every other answer closes it).
    QByteArray answer(const QByteArray& head, bool keepAlive = false) const;

    const QString& root() const { return m_root; }

    // console/ beside the programs when it is there, else the source tree's (a build tree).
    static QString defaultRoot();

private:
    QByteArray file(const QByteArray& target, const QByteArray& ifNoneMatch, bool withBody, bool keepAlive) const;

    QString m_root; // canonical, without a trailing separator; empty: none
};

} // namespace morvane::webconsole
