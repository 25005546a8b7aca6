#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace morvane::platform {

// The class root of the registry: a REGEDIT4 text file. Keys are paths below HKEY_CLASSES_ROOT such as
// "CLSID\{...}\Version" (a leading backslash is accepted), compared without regard to case. The empty
// value name is the key's default value ("@"). Every change takes the file's lock, reads the file
// anew, and replaces it atomically (write, fsync, rename), so that a crash never leaves half a registry.
// A file that cannot be parsed is never rewritten: the change fails and the file keeps what it held.
class ClassRegistry {
public:
    // $MORVANE_REGISTRY, else /var/lib/morvane/classes.reg.
    static QString defaultPath();

    explicit ClassRegistry(QString path = defaultPath());

    const QString& path() const { return m_path; }

    // Opens a key for reading without creating it.
    bool keyExists(const QString& key) const;
    // A value of a key; nullopt when the key or the value is missing.
    std::optional<QString> value(const QString& key, const QString& name = {}) const;
    // Names of the sub-keys directly below a key.
    QStringList subKeys(const QString& key) const;

    // Each change returns true on success; *error receives a one-line reason otherwise.
    bool setValue(const QString& key, const QString& name, const QString& data, QString* error = nullptr);
    bool createKey(const QString& key, QString* error = nullptr);
    bool deleteValue(const QString& key, const QString& name, QString* error = nullptr);
    // Removes a key with everything below it.
    bool deleteKey(const QString& key, QString* error = nullptr);

    // The parsed content: key path (as first written) → value name → data.
    struct Tree {
        QMap<QString, QMap<QString, QString>> keys; // keyed by lower-case path
        QMap<QString, QString> spelling;            // lower-case path → path as written
    };
    // Several changes in one locked read-modify-replace. The function returns false to abandon.
    bool update(const std::function<bool(Tree&)>& change, QString* error = nullptr);

    // Parses REGEDIT4 text; returns false with *error naming the first bad line.
    static bool parse(const QByteArray& text, Tree& tree, QString* error);
    static QByteArray serialise(const Tree& tree);
    static void treeSetValue(Tree& tree, const QString& key, const QString& name, const QString& data);
    static void treeCreateKey(Tree& tree, const QString& key);
    static void treeDeleteKey(Tree& tree, const QString& key);
    static void treeDeleteValue(Tree& tree, const QString& key, const QString& name);
    static bool treeKeyExists(const Tree& tree, const QString& key);
    static std::optional<QString> treeValue(const Tree& tree, const QString& key, const QString& name = {});

    // The whole registry as it is now, for a caller that looks up several values at once; a missing
    // file is an empty tree. False (with a reason) when the file cannot be read or parsed.
    bool read(Tree& tree, QString* error = nullptr) const { return load(tree, error); }

private:
    bool load(Tree& tree, QString* error) const;
    QString m_path;
};

} // namespace morvane::platform
