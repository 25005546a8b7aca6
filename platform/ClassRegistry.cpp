#include "ClassRegistry.h"

#include "PrivateFiles.h"
#include "ProfileFile.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace morvane::platform {

namespace {

constexpr const char* kHeader = "REGEDIT4";
constexpr const char* kRoot = "HKEY_CLASSES_ROOT";

// "\\CLSID\\\\{x}\\" and "CLSID\\{x}" name the same key: empty parts are dropped.
QString normaliseKey(const QString& key) {
    return key.trimmed().split(QLatin1Char('\\'), Qt::SkipEmptyParts).join(QLatin1Char('\\'));
}

QString unescape(const QString& quoted, bool& ok) {
    // quoted holds the text between the quotes with \\ and \" escapes
    QString out;
    ok = true;
    for (int i = 0; i < quoted.size(); ++i) {
        const QChar c = quoted.at(i);
        if (c == QLatin1Char('\\')) {
            if (i + 1 >= quoted.size()) {
                ok = false;
                return {};
            }
            out.append(quoted.at(++i));
        } else {
            out.append(c);
        }
    }
    return out;
}

QString escape(const QString& text) {
    QString out;
    for (const QChar c : text) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('"'))
            out.append(QLatin1Char('\\'));
        out.append(c);
    }
    return out;
}

// Reads a quoted string starting at pos (which holds the opening quote); pos ends after the closing one.
bool readQuoted(const QString& line, int& pos, QString& value) {
    if (pos >= line.size() || line.at(pos) != QLatin1Char('"'))
        return false;
    QString raw;
    for (int i = pos + 1; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (c == QLatin1Char('\\') && i + 1 < line.size()) {
            raw.append(c);
            raw.append(line.at(++i));
            continue;
        }
        if (c == QLatin1Char('"')) {
            bool ok = false;
            value = unescape(raw, ok);
            pos = i + 1;
            return ok;
        }
        raw.append(c);
    }
    return false;
}

// Holds an exclusive flock on the registry's lock file for its lifetime.
class FileLock {
public:
    explicit FileLock(const QString& path) {
        m_fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_fd >= 0 && ::flock(m_fd, LOCK_EX) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~FileLock() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool locked() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

void setError(QString* error, const QString& text) {
    if (error)
        *error = text;
}

} // namespace

QString ClassRegistry::defaultPath() {
    const QString overridden = qEnvironmentVariable("MORVANE_REGISTRY");
    if (!overridden.isEmpty())
        return overridden;
    return QStringLiteral("/var/lib/morvane/classes.reg");
}

ClassRegistry::ClassRegistry(QString path)
    : m_path(std::move(path)) {}

bool ClassRegistry::parse(const QByteArray& text, Tree& tree, QString* error) {
    tree = Tree{};
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString decoded = decoder(text);
    // Rewriting text that is not UTF-8 would replace its bytes; such a file is left as it is.
    if (decoder.hasError()) {
        setError(error, QStringLiteral("the file is not UTF-8 text"));
        return false;
    }
    const QStringList lines = decoded.split(QLatin1Char('\n'));
    QString current;
    bool headerSeen = false;
    bool inKey = false;
    for (int n = 0; n < lines.size(); ++n) {
        QString line = lines.at(n);
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        const QString trimmed = line.trimmed();
        const auto fail = [&](const QString& why) {
            setError(error, QStringLiteral("line %1: %2").arg(n + 1).arg(why));
            return false;
        };
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char(';')))
            continue;
        if (!headerSeen) {
            if (trimmed != QLatin1String(kHeader))
                return fail(QStringLiteral("the file does not start with REGEDIT4"));
            headerSeen = true;
            continue;
        }
        if (trimmed.startsWith(QLatin1Char('['))) {
            if (!trimmed.endsWith(QLatin1Char(']')))
                return fail(QStringLiteral("unterminated key"));
            QString path = trimmed.mid(1, trimmed.size() - 2);
            if (path.compare(QLatin1String(kRoot), Qt::CaseInsensitive) == 0) {
                current.clear();
            } else if (path.startsWith(QLatin1String(kRoot) + QLatin1Char('\\'), Qt::CaseInsensitive)) {
                current = normaliseKey(path.mid(int(qstrlen(kRoot)) + 1));
            } else {
                return fail(QStringLiteral("key outside HKEY_CLASSES_ROOT"));
            }
            treeCreateKey(tree, current);
            inKey = true;
            continue;
        }
        if (!inKey)
            return fail(QStringLiteral("value before any key"));
        QString name;
        int pos = 0;
        if (trimmed.startsWith(QLatin1Char('@'))) {
            pos = 1;
        } else if (!readQuoted(trimmed, pos, name)) {
            return fail(QStringLiteral("bad value name"));
        }
        if (pos >= trimmed.size() || trimmed.at(pos) != QLatin1Char('='))
            return fail(QStringLiteral("missing '='"));
        ++pos;
        QString data;
        if (!readQuoted(trimmed, pos, data) || pos != trimmed.size())
            return fail(QStringLiteral("bad value data"));
        treeSetValue(tree, current, name, data);
    }
    if (!headerSeen && !text.trimmed().isEmpty()) {
        setError(error, QStringLiteral("the file holds no REGEDIT4 header"));
        return false;
    }
    return true;
}

QByteArray ClassRegistry::serialise(const Tree& tree) {
    QString out = QLatin1String(kHeader) + QLatin1String("\n\n");
    for (auto it = tree.keys.constBegin(); it != tree.keys.constEnd(); ++it) {
        const QString spelled = tree.spelling.value(it.key(), it.key());
        out += QLatin1Char('[') + QLatin1String(kRoot) + (spelled.isEmpty() ? QString() : QLatin1Char('\\') + spelled) +
               QLatin1String("]\n");
        const auto& values = it.value();
        if (values.contains(QString()))
            out += QLatin1String("@=\"") + escape(values.value(QString())) + QLatin1String("\"\n");
        for (auto v = values.constBegin(); v != values.constEnd(); ++v) {
            if (v.key().isEmpty())
                continue;
            out +=
                QLatin1Char('"') + escape(v.key()) + QLatin1String("\"=\"") + escape(v.value()) + QLatin1String("\"\n");
        }
        out += QLatin1Char('\n');
    }
    return out.toUtf8();
}

void ClassRegistry::treeCreateKey(Tree& tree, const QString& key) {
    const QString k = normaliseKey(key);
    // Parents exist whenever a child does.
    const QStringList parts = k.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    QString path;
    for (const QString& part : parts) {
        path = path.isEmpty() ? part : path + QLatin1Char('\\') + part;
        const QString lower = path.toLower();
        if (!tree.keys.contains(lower)) {
            tree.keys.insert(lower, {});
            tree.spelling.insert(lower, path);
        }
    }
}

void ClassRegistry::treeSetValue(Tree& tree, const QString& key, const QString& name, const QString& data) {
    treeCreateKey(tree, key);
    auto& values = tree.keys[normaliseKey(key).toLower()];
    // Value names compare without regard to case; keep the existing spelling.
    for (auto it = values.begin(); it != values.end(); ++it) {
        if (it.key().compare(name, Qt::CaseInsensitive) == 0) {
            it.value() = data;
            return;
        }
    }
    values.insert(name, data);
}

void ClassRegistry::treeDeleteKey(Tree& tree, const QString& key) {
    const QString lower = normaliseKey(key).toLower();
    const QString prefix = lower + QLatin1Char('\\');
    for (auto it = tree.keys.begin(); it != tree.keys.end();) {
        if (it.key() == lower || it.key().startsWith(prefix)) {
            tree.spelling.remove(it.key());
            it = tree.keys.erase(it);
        } else {
            ++it;
        }
    }
}

void ClassRegistry::treeDeleteValue(Tree& tree, const QString& key, const QString& name) {
    auto found = tree.keys.find(normaliseKey(key).toLower());
    if (found == tree.keys.end())
        return;
    for (auto it = found->begin(); it != found->end(); ++it) {
        if (it.key().compare(name, Qt::CaseInsensitive) == 0) {
            found->erase(it);
            return;
        }
    }
}

bool ClassRegistry::load(Tree& tree, QString* error) const {
    // Opened directly rather than asked whether it exists first: Qt's existence check can miss the file
    // for the instant another writer renames the new one over it.
    const int fd = ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        tree = Tree{};
        return true;
    }
    QFile file;
    if (fd < 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        setError(error, QStringLiteral("cannot read %1: %2").arg(m_path, QString::fromLocal8Bit(std::strerror(errno))));
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    QString why;
    if (!parse(file.readAll(), tree, &why)) {
        setError(error, QStringLiteral("%1 is malformed (%2)").arg(m_path, why));
        return false;
    }
    return true;
}

bool ClassRegistry::treeKeyExists(const Tree& tree, const QString& key) {
    return tree.keys.contains(normaliseKey(key).toLower());
}

std::optional<QString> ClassRegistry::treeValue(const Tree& tree, const QString& key, const QString& name) {
    const auto found = tree.keys.constFind(normaliseKey(key).toLower());
    if (found == tree.keys.constEnd())
        return std::nullopt;
    for (auto it = found->constBegin(); it != found->constEnd(); ++it) {
        if (it.key().compare(name, Qt::CaseInsensitive) == 0)
            return it.value();
    }
    return std::nullopt;
}

bool ClassRegistry::keyExists(const QString& key) const {
    Tree tree;
    return load(tree, nullptr) && treeKeyExists(tree, key);
}

std::optional<QString> ClassRegistry::value(const QString& key, const QString& name) const {
    Tree tree;
    if (!load(tree, nullptr))
        return std::nullopt;
    return treeValue(tree, key, name);
}

QStringList ClassRegistry::subKeys(const QString& key) const {
    Tree tree;
    QStringList names;
    if (!load(tree, nullptr))
        return names;
    const QString lower = normaliseKey(key).toLower();
    const QString prefix = lower.isEmpty() ? QString() : lower + QLatin1Char('\\');
    for (auto it = tree.keys.constBegin(); it != tree.keys.constEnd(); ++it) {
        if (it.key().isEmpty() || !it.key().startsWith(prefix))
            continue;
        const QString rest = it.key().mid(prefix.size());
        if (!rest.isEmpty() && !rest.contains(QLatin1Char('\\')))
            names.append(tree.spelling.value(it.key()).section(QLatin1Char('\\'), -1));
    }
    return names;
}

bool ClassRegistry::update(const std::function<bool(Tree&)>& change, QString* error) {
    const QFileInfo info(m_path);
    // A folder made for the registry is the server user's alone, as the registry is: another user who could
    // write there could put a registry of their own in its place.
    if (!makePrivatePath(info.absolutePath())) {
        setError(error, QStringLiteral("cannot create %1").arg(info.absolutePath()));
        return false;
    }
    FileLock lock(m_path + QStringLiteral(".lock"));
    if (!lock.locked()) {
        setError(error, QStringLiteral("cannot lock %1").arg(m_path));
        return false;
    }
    Tree tree;
    if (!load(tree, error))
        return false;
    if (!change(tree))
        return true;
    const QByteArray content = serialise(tree);
    // A name or value the format cannot hold (a line break, say) would make the whole file unreadable
    // for every later change; the change is refused instead.
    Tree reread;
    if (!parse(content, reread, nullptr) || reread.keys != tree.keys) {
        setError(error, QStringLiteral("a key, value name or value cannot be stored in %1 (a line break)").arg(m_path));
        return false;
    }
    // A reader never sees the file missing or half written: it is written aside and renamed over.
    QString why;
    if (!writeFileAtomically(m_path, content, &why)) {
        setError(error, why);
        return false;
    }
    return true;
}

bool ClassRegistry::setValue(const QString& key, const QString& name, const QString& data, QString* error) {
    return update(
        [&](Tree& tree) {
            treeSetValue(tree, key, name, data);
            return true;
        },
        error);
}

bool ClassRegistry::createKey(const QString& key, QString* error) {
    return update(
        [&](Tree& tree) {
            treeCreateKey(tree, key);
            return true;
        },
        error);
}

bool ClassRegistry::deleteValue(const QString& key, const QString& name, QString* error) {
    return update(
        [&](Tree& tree) {
            treeDeleteValue(tree, key, name);
            return true;
        },
        error);
}

bool ClassRegistry::deleteKey(const QString& key, QString* error) {
    return update(
        [&](Tree& tree) {
            treeDeleteKey(tree, key);
            return true;
        },
        error);
}

} // namespace morvane::platform
