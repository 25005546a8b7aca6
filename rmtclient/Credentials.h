#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

namespace morvane::rmtclient {

// Who logs on: a token from an earlier log-on, or an operator and a password. Never printed.
struct Credentials {
    QString operatorName;
    QString password;
    QString token;

    bool complete() const { return !token.isEmpty() || (!operatorName.isEmpty() && !password.isEmpty()); }
    // The params of Logon.
    QJsonObject logonParams() const;
};

// Whether standard input is a terminal (a person may be asked).
bool stdinIsTerminal();
// A line typed at the terminal after `prompt` (on standard error), echoed or not; nullopt when standard
// input is no terminal, ends, or the line is longer than 1024 characters.
std::optional<QString> prompt(const QString& text, bool echo);
// A secret: asked at the terminal without echo, or the next line of standard input when it is no terminal.
std::optional<QString> readSecret(const QString& text);
// The first line of a file (a password kept for scripts); nullopt with the reason.
std::optional<QString> readPasswordFile(const QString& path, QString* error);
// What the options left out, from MORVANE_TOKEN, MORVANE_OPERATOR and MORVANE_PASSWORD.
void fillFromEnvironment(Credentials& credentials);
// What is still missing, asked at the terminal (the password without echo); false when it cannot be asked.
bool askMissing(Credentials& credentials);

} // namespace morvane::rmtclient
