// The console's file server on its own: which paths name a file, which requests are refused and how, and
// the headers that keep the console's pages to their own origin.
#include "FileServer.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using morvane::webconsole::FileServer;

namespace {

QByteArray get(const QByteArray& target, const QByteArray& method = "GET", const QByteArray& fields = {}) {
    return method + ' ' + target + " HTTP/1.1\r\nHost: x\r\n" + fields + "\r\n";
}

QByteArray statusLine(const QByteArray& answer) {
    return answer.left(answer.indexOf("\r\n"));
}

QByteArray field(const QByteArray& answer, const QByteArray& name) {
    const QByteArray head = answer.left(answer.indexOf("\r\n\r\n"));
    for (const QByteArray& line : head.split('\n')) {
        if (line.toLower().startsWith(QByteArray(name.toLower() + ':')))
            return line.mid(name.size() + 1).trimmed();
    }
    return {};
}

QByteArray body(const QByteArray& answer) {
    return answer.mid(answer.indexOf("\r\n\r\n") + 4);
}

} // namespace

class TestWebConsole : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_root;

    void write(const QString& name, const QByteArray& content) {
        QFile file(m_root + QLatin1Char('/') + name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

private slots:
    void initTestCase();
    void paths_data();
    void paths();
    void requests_data();
    void requests();
    void headersAndRevalidation();
};

void TestWebConsole::initTestCase() {
    QVERIFY(m_dir.isValid());
    // The served directory, with a secret beside it and links into and out of it.
    m_root = m_dir.path() + QStringLiteral("/console");
    QVERIFY(QDir().mkpath(m_root + QStringLiteral("/pages")));
    write(QStringLiteral("index.html"), "<!doctype html>index");
    write(QStringLiteral("app.js"), "export const a = 1;");
    write(QStringLiteral("pages/doors.js"), "export const d = 2;");
    write(QStringLiteral("app.css"), "body{}");
    write(QStringLiteral(".secret"), "hidden");
    write(QStringLiteral("a b.txt"), "spaced");
    write(QStringLiteral("../secret.txt"), "outside");
    QVERIFY(QFile::link(m_dir.path() + QStringLiteral("/secret.txt"), m_root + QStringLiteral("/out.txt")));
    QVERIFY(QFile::link(m_dir.path(), m_root + QStringLiteral("/up")));
    QVERIFY(QFile::link(m_root + QStringLiteral("/app.js"), m_root + QStringLiteral("/alias.js")));
}

void TestWebConsole::paths_data() {
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QByteArray>("content");
    const QByteArray html = "text/html; charset=utf-8";
    const QByteArray js = "text/javascript; charset=utf-8";
    const QByteArray text = "text/plain; charset=utf-8";
    QTest::newRow("root is the index") << QByteArray("/") << QByteArray("200 OK") << html
                                       << QByteArray("<!doctype html>index");
    QTest::newRow("query ignored") << QByteArray("/app.js?v=3") << QByteArray("200 OK") << js
                                   << QByteArray("export const a = 1;");
    QTest::newRow("sub folder") << QByteArray("/pages/doors.js") << QByteArray("200 OK") << js
                                << QByteArray("export const d = 2;");
    QTest::newRow("css") << QByteArray("/app.css") << QByteArray("200 OK") << QByteArray("text/css; charset=utf-8")
                         << QByteArray("body{}");
    QTest::newRow("encoded blank") << QByteArray("/a%20b.txt") << QByteArray("200 OK") << text << QByteArray("spaced");
    QTest::newRow("link inside") << QByteArray("/alias.js") << QByteArray("200 OK") << js
                                 << QByteArray("export const a = 1;");
    const QByteArray no = "404 Not Found";
    const QList<QByteArray> hostile{"/../secret.txt",
                                    "/pages/../../secret.txt",
                                    "/%2e%2e/secret.txt",
                                    "/%2E%2E%2Fsecret.txt",
                                    "/pages%2f..%2f..%2fsecret.txt",
                                    "/pages%5c..%5csecret.txt",
                                    "/.secret",
                                    "/%2esecret",
                                    "/out.txt",
                                    "/up/secret.txt",
                                    "/app.js%00.html",
                                    "/app.js%",
                                    "/app.js%zz",
                                    "//etc/passwd",
                                    "/pages//doors.js",
                                    "secret.txt",
                                    "http://x/app.js",
                                    "/pages",
                                    "/missing.js"};
    for (const QByteArray& target : hostile)
        QTest::newRow(target.constData()) << target << no << text << QByteArray("Not found\n");
}

// Only files under the directory, named plainly, are served; everything else is the same 404.
void TestWebConsole::paths() {
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, status);
    QFETCH(QByteArray, type);
    QFETCH(QByteArray, content);
    const FileServer server(m_root);
    const QByteArray answer = server.answer(get(target));
    QCOMPARE(statusLine(answer), "HTTP/1.1 " + status);
    QCOMPARE(field(answer, "Content-Type"), type);
    QCOMPARE(body(answer), content);
    QCOMPARE(field(answer, "Content-Length"), QByteArray::number(content.size()));
}

void TestWebConsole::requests_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<bool>("hasBody");
    QTest::newRow("head") << get("/app.js", "HEAD") << QByteArray("200 OK") << false;
    QTest::newRow("post") << get("/app.js", "POST") << QByteArray("405 Method Not Allowed") << true;
    QTest::newRow("put") << get("/app.js", "PUT") << QByteArray("405 Method Not Allowed") << true;
    QTest::newRow("long target") << get("/" + QByteArray(FileServer::kMaxTarget, 'a')) << QByteArray("414 URI Too Long")
                                 << true;
    QByteArray many;
    for (int i = 0; i <= FileServer::kMaxFields; ++i)
        many += "X-" + QByteArray::number(i) + ": 1\r\n";
    QTest::newRow("too many fields") << get("/app.js", "GET", many) << QByteArray("431 Request Header Fields Too Large")
                                     << true;
    QTest::newRow("head too long") << get("/app.js", "GET", "X-Big: " + QByteArray(FileServer::kMaxHead, 'b') + "\r\n")
                                   << QByteArray("431 Request Header Fields Too Large") << true;
    QTest::newRow("not http") << QByteArray("GET /app.js SPDY/3\r\n\r\n") << QByteArray("400 Bad Request") << true;
    QTest::newRow("field without colon") << get("/app.js", "GET", "Nonsense\r\n") << QByteArray("400 Bad Request")
                                         << true;
}

// Refusals are told with their own status and a short body, and carry the same protective headers.
void TestWebConsole::requests() {
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, status);
    QFETCH(bool, hasBody);
    const QByteArray answer = FileServer(m_root).answer(request);
    QCOMPARE(statusLine(answer), "HTTP/1.1 " + status);
    QCOMPARE(body(answer).isEmpty(), !hasBody);
    QVERIFY(!field(answer, "Content-Length").isEmpty());
    QVERIFY(field(answer, "Content-Security-Policy").contains("default-src 'self'"));
    QCOMPARE(field(answer, "X-Content-Type-Options"), QByteArray("nosniff"));
    QCOMPARE(field(answer, "Connection"), QByteArray("close"));
    if (status.startsWith("405"))
        QCOMPARE(field(answer, "Allow"), QByteArray("GET, HEAD"));
}

// A file comes with a policy that admits no inline script and no framing, and a tag that a browser's
// copy is checked against: the same tag gets 304 without the file, a changed file a new tag.
void TestWebConsole::headersAndRevalidation() {
    const FileServer server(m_root);
    const QByteArray first = server.answer(get("/app.js"));
    const QByteArray policy = field(first, "Content-Security-Policy");
    QVERIFY(policy.contains("script-src 'self';"));
    QVERIFY(!policy.contains("unsafe-inline"));
    QVERIFY(policy.contains("connect-src 'self' ws: wss:"));
    QVERIFY(policy.contains("frame-ancestors 'none'"));
    QVERIFY(field(first, "Cache-Control").contains("no-cache"));
    QVERIFY(field(first, "Last-Modified").endsWith("GMT"));
    const QByteArray tag = field(first, "ETag");
    QVERIFY(tag.startsWith('"'));
    const QByteArray again = server.answer(get("/app.js", "GET", "If-None-Match: \"other\", " + tag + "\r\n"));
    QCOMPARE(statusLine(again), QByteArray("HTTP/1.1 304 Not Modified"));
    QVERIFY(body(again).isEmpty());
    write(QStringLiteral("app.js"), "export const a = 22;");
    const QByteArray changed = server.answer(get("/app.js", "GET", "If-None-Match: " + tag + "\r\n"));
    QCOMPARE(statusLine(changed), QByteArray("HTTP/1.1 200 OK"));
    QVERIFY(field(changed, "ETag") != tag);
    // Without a directory nothing is served.
    QCOMPARE(statusLine(FileServer(m_dir.path() + QStringLiteral("/none")).answer(get("/"))),
             QByteArray("HTTP/1.1 404 Not Found"));
}

QTEST_GUILESS_MAIN(TestWebConsole)
#include "tst_webconsole.moc"
