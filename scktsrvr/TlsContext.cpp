#include "TlsContext.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSslCertificate>
#include <QSslKey>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>

namespace morvane::scktsrvr {

namespace {

// A certificate chain or a key is a few KiB; anything far larger is no such file.
constexpr qint64 kLargestFile = 1024 * 1024;

bool readSmallFile(const QString& path, QByteArray& content, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    content = file.read(kLargestFile + 1);
    if (content.size() > kLargestFile) {
        if (error)
            *error = QStringLiteral("%1 is larger than %2 bytes").arg(path).arg(kLargestFile);
        return false;
    }
    return true;
}

// Whether the private key belongs to the certificate: a pair that does not would fail every handshake.
bool keyMatchesCertificate(const QByteArray& certificatePem, const QByteArray& keyPem) {
    const auto bio = [](const QByteArray& text) {
        return std::unique_ptr<BIO, decltype(&BIO_free)>(
            BIO_new_mem_buf(text.constData(), static_cast<int>(text.size())), &BIO_free);
    };
    const auto certificateBio = bio(certificatePem);
    const auto keyBio = bio(keyPem);
    if (!certificateBio || !keyBio)
        return false;
    // Never OpenSSL's own prompt for a pass phrase, which would wait on the terminal.
    pem_password_cb* const noPassPhrase = [](char*, int, int, void*) { return 0; };
    const std::unique_ptr<X509, decltype(&X509_free)> certificate(
        PEM_read_bio_X509(certificateBio.get(), nullptr, noPassPhrase, nullptr), &X509_free);
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        PEM_read_bio_PrivateKey(keyBio.get(), nullptr, noPassPhrase, nullptr), &EVP_PKEY_free);
    return certificate && key && X509_check_private_key(certificate.get(), key.get()) == 1;
}

} // namespace

bool TlsContext::load(const QString& certificateFile, const QString& keyFile, QString* error) {
    QByteArray certificateText;
    QByteArray keyText;
    if (!readSmallFile(certificateFile, certificateText, error) || !readSmallFile(keyFile, keyText, error))
        return false;
    // The server's certificate first, then the chain that leads to its authority.
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certificateText, QSsl::Pem);
    if (chain.isEmpty() || chain.first().isNull()) {
        if (error)
            *error = QStringLiteral("%1 holds no PEM certificate").arg(certificateFile);
        return false;
    }
    QSslKey key;
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Ec, QSsl::Rsa, QSsl::Dsa}) {
        key = QSslKey(keyText, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull())
            break;
    }
    if (key.isNull()) {
        if (error)
            *error = QStringLiteral("%1 holds no unencrypted PEM private key (EC, RSA or DSA)").arg(keyFile);
        return false;
    }
    if (!keyMatchesCertificate(certificateText, keyText)) {
        if (error)
            *error =
                QStringLiteral("the key in %1 does not belong to the certificate in %2").arg(keyFile, certificateFile);
        return false;
    }

    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(key);
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    // Clients prove who they are by logging on, not by certificates.
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    m_configuration = configuration;
    const QSslCertificate& own = chain.first();
    m_description =
        QStringLiteral("%1, valid until %2").arg(own.subjectDisplayName(), own.expiryDate().toString(Qt::ISODate));
    if (own.expiryDate() < QDateTime::currentDateTimeUtc())
        m_description += QStringLiteral(" (expired: clients will refuse it)");
    if (QFileInfo(keyFile).permissions() & (QFile::ReadOther | QFile::ReadGroup))
        m_description += QStringLiteral("; %1 may be read by other users than its owner").arg(keyFile);
    m_loaded = true;
    return true;
}

} // namespace morvane::scktsrvr
