#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace morvane::security {

// Argon2id hashes of passwords (libsodium's crypto_pwhash_str), made and checked on a small pool of its
// own: hashing is slow on purpose, so a flood of log-ons waits here, in a bounded line, and never takes
// the threads that serve the other calls. A job that finds the line full is refused at once.
//
// Threads: hash() and verify() from any thread; they wait for their job. m_mutex guards m_jobs and
// m_stopping (callers and the pool's threads).
class PasswordHasher {
public:
    struct Limits {
        // Measured on the 2-core build machine (docs/security.md): about 30 ms a hash on the pool's threads,
        // whose arenas map memory of this size afresh for every hash.
        unsigned long long opsLimit = 3;
        size_t memLimit = 19u * 1024 * 1024;
        int threads = 2;
        int queue = 16; // jobs waiting beyond those that run
        std::chrono::milliseconds wait{5000};
    };
    PasswordHasher();
    explicit PasswordHasher(Limits limits);
    ~PasswordHasher();
    PasswordHasher(const PasswordHasher&) = delete;
    PasswordHasher& operator=(const PasswordHasher&) = delete;

    enum class Outcome { Done, Busy };
    // The encoded hash (algorithm, limits, salt and digest in one text); Busy when the line is full.
    Outcome hash(const QString& password, QString* encoded);
    // Whether the password gives the stored hash, in constant time; Busy when the line is full.
    Outcome verify(const QString& encoded, const QString& password, bool* matches);

    const Limits& limits() const { return m_limits; }

    // Compares two texts in time that depends on their lengths only (a plain-text password of the legacy
    // table with the one given).
    static bool sameText(const QString& a, const QString& b);
    // n random bytes from the system's generator.
    static QByteArray randomBytes(int n);

private:
    Outcome run(std::function<void()> job);
    void work();

    const Limits m_limits;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

} // namespace morvane::security
