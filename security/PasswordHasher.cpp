#include "PasswordHasher.h"

#include <sodium.h>

#include <future>
#include <memory>
#include <stdexcept>

namespace morvane::security {

namespace {

void initialiseSodium() {
    static const bool ready = sodium_init() >= 0;
    if (!ready)
        throw std::runtime_error("libsodium cannot be initialised");
}

} // namespace

PasswordHasher::PasswordHasher()
    : PasswordHasher(Limits{}) {}

PasswordHasher::PasswordHasher(Limits limits)
    : m_limits(limits) {
    initialiseSodium();
    for (int i = 0; i < std::max(1, m_limits.threads); ++i)
        m_threads.emplace_back([this] { work(); });
}

PasswordHasher::~PasswordHasher() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    for (std::thread& thread : m_threads)
        thread.join();
}

void PasswordHasher::work() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_jobs.empty())
                return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job();
    }
}

PasswordHasher::Outcome PasswordHasher::run(std::function<void()> job) {
    // The job reports through a state of its own: a caller that stops waiting leaves nothing behind that
    // the job could still write into.
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping || static_cast<int>(m_jobs.size()) >= m_limits.queue)
            return Outcome::Busy;
        m_jobs.push_back([job = std::move(job), done] {
            job();
            done->set_value();
        });
    }
    m_wake.notify_one();
    return finished.wait_for(m_limits.wait) == std::future_status::ready ? Outcome::Done : Outcome::Busy;
}

PasswordHasher::Outcome PasswordHasher::hash(const QString& password, QString* encoded) {
    auto text = std::make_shared<QByteArray>(password.toUtf8());
    auto out = std::make_shared<QString>();
    const Limits limits = m_limits;
    const Outcome outcome = run([text, out, limits] {
        char stored[crypto_pwhash_STRBYTES];
        if (crypto_pwhash_str(stored, text->constData(), static_cast<unsigned long long>(text->size()), limits.opsLimit,
                              limits.memLimit) == 0)
            *out = QString::fromLatin1(stored);
        sodium_memzero(text->data(), static_cast<size_t>(text->size()));
    });
    if (outcome == Outcome::Done) {
        if (out->isEmpty())
            throw std::runtime_error("the password could not be hashed (out of memory)");
        *encoded = *out;
    }
    return outcome;
}

PasswordHasher::Outcome PasswordHasher::verify(const QString& encoded, const QString& password, bool* matches) {
    auto text = std::make_shared<QByteArray>(password.toUtf8());
    auto stored = std::make_shared<QByteArray>(encoded.toLatin1());
    auto result = std::make_shared<bool>(false);
    const Outcome outcome = run([text, stored, result] {
        // crypto_pwhash_str_verify compares in constant time and reads the limits from the stored text.
        *result = stored->size() < crypto_pwhash_STRBYTES &&
                  crypto_pwhash_str_verify(stored->constData(), text->constData(),
                                           static_cast<unsigned long long>(text->size())) == 0;
        sodium_memzero(text->data(), static_cast<size_t>(text->size()));
    });
    if (outcome == Outcome::Done)
        *matches = *result;
    return outcome;
}

bool PasswordHasher::sameText(const QString& a, const QString& b) {
    initialiseSodium();
    // Digests of equal length, compared in constant time.
    const QByteArray x = a.toUtf8(), y = b.toUtf8();
    unsigned char dx[crypto_generichash_BYTES], dy[crypto_generichash_BYTES];
    crypto_generichash(dx, sizeof dx, reinterpret_cast<const unsigned char*>(x.constData()),
                       static_cast<unsigned long long>(x.size()), nullptr, 0);
    crypto_generichash(dy, sizeof dy, reinterpret_cast<const unsigned char*>(y.constData()),
                       static_cast<unsigned long long>(y.size()), nullptr, 0);
    return sodium_memcmp(dx, dy, sizeof dx) == 0;
}

QByteArray PasswordHasher::randomBytes(int n) {
    initialiseSodium();
    QByteArray bytes(n, Qt::Uninitialized);
    randombytes_buf(bytes.data(), static_cast<size_t>(n));
    return bytes;
}

} // namespace morvane::security
