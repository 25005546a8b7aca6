#pragma once

#include <QSslConfiguration>
#include <QString>

namespace morvane::scktsrvr {

// The server's certificate and private key (PEM files) as the configuration that each new TLS connection
// takes. Loaded again on SIGHUP: connections made before keep what they began with.
//
// Threads: the socket server's one thread.
class TlsContext {
public:
    // Reads both files; false with the reason (and the configuration unchanged) when either is unusable.
    bool load(const QString& certificateFile, const QString& keyFile, QString* error);
    bool loaded() const { return m_loaded; }
    const QSslConfiguration& configuration() const { return m_configuration; }
    // The certificate's subject and end of validity, for the log.
    QString description() const { return m_description; }

private:
    QSslConfiguration m_configuration;
    QString m_description;
    bool m_loaded = false;
};

} // namespace morvane::scktsrvr
