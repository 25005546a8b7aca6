#pragma once

#include <QString>

#include <stdexcept>

namespace morvane::platform {

// A profile (INI) file with the platform's semantics: sections and keys compared without regard to
// case, integers decimal or "0x" hexadecimal, a value that is not a number reads as the default,
// a missing key reads as its default, text values cut at 2047 characters. The file is read anew on
// every call, as the platform's profile services do.
class ProfileFile {
public:
    static constexpr int kMaxText = 2047;

    explicit ProfileFile(QString path);
    const QString& path() const { return m_path; }
    bool exists() const;

    QString readString(const QString& section, const QString& key, const QString& defaultValue) const;
    int readInteger(const QString& section, const QString& key, int defaultValue) const;

    // Writes a value, creating the file (and the section) when missing; throws ProfileWriteError with
    // the text "Unable to write to <path>" when the file cannot be written.
    void writeString(const QString& section, const QString& key, const QString& value);
    void writeInteger(const QString& section, const QString& key, int value);

private:
    bool lookup(const QString& section, const QString& key, QString& value) const;
    QString m_path;
};

class ProfileWriteError : public std::runtime_error {
public:
    explicit ProfileWriteError(const QString& path);
    const QString& text() const { return m_text; }

private:
    QString m_text;
};

// Replaces a file's content so that a reader at any moment sees either the old or the new file, never a
// missing or half-written one: the content goes to a temporary file in the same directory, is flushed to
// disk and renamed over the old file, whose mode the new one keeps. A file this user may not write, or
// one without any write permission, is not replaced. False with a one-line reason ("Unable to write to
// <path>: ...") in *error on failure.
bool writeFileAtomically(const QString& path, const QByteArray& content, QString* error = nullptr);

// Integer text as the profile services read it; false when it is not a number.
bool parseProfileInteger(const QString& text, int& value);

} // namespace morvane::platform
