// The SOCKS accounts of the configuration as the desktop wizard stores
// them, and the checks a session makes against them.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "config.h"

namespace kel::socks {

// The wizard's digest input is user + kDigestSeparator + password +
// kDigestTerminator, hashed as its Windows-1252 bytes.
inline constexpr std::string_view kDigestSeparator = "::";
inline constexpr std::string_view kDigestTerminator = ";";

// Readies the digest code before the first connection thread, so that
// connection threads never write the crypto library's shared tables,
// which its exit handler frees while they may still be hashing.
void prepare_digests();

// SHA-1 over the bytes of user "::" password ";", as 40 upper-case
// hexadecimal digits.
std::string account_digest(std::string_view user, std::string_view password);

// The Windows-1252 bytes of a UTF-8 text, as the wizard hashes what was
// typed; nothing when the text is not UTF-8 or holds a character the code
// page lacks.
std::optional<std::string> utf8_to_cp1252(std::string_view text);

// RFC 1929 against the accounts: a listed user (names compare exactly)
// with the right password, or any password for an account without one;
// a user not listed is taken as the account "*" when there is one. The
// password is tried as sent, then, when it is UTF-8, as the Windows-1252
// bytes the wizard hashed. Digests compare in constant time.
bool password_accepted(const std::vector<server::SocksAccount> &accounts, std::string_view user,
                       std::string_view password);
// SOCKS 4 carries no password: its user id must be listed, or "*" present.
bool user_id_accepted(const std::vector<server::SocksAccount> &accounts, std::string_view user_id);

// Slows the answer to an address that keeps failing to authenticate: the
// first few failures are answered at once, each one after that waits
// twice as long as the last, up to kMaxDelay; an address that stays quiet
// for kForget starts again. Thread-safe; the table is bounded.
class FailureThrottle {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kFreeFailures = 3;
    static constexpr std::chrono::milliseconds kFirstDelay{100};
    static constexpr std::chrono::milliseconds kMaxDelay{3000};
    static constexpr std::chrono::seconds kForget{60};
    static constexpr std::size_t kMaxAddresses = 4096;

    // Records a failure from the address; the wait before answering it.
    std::chrono::milliseconds failed(const std::string &address, Clock::time_point now = Clock::now());
    // An authentication that succeeded forgets the address's failures.
    void succeeded(const std::string &address);

private:
    struct Entry {
        int failures = 0;
        Clock::time_point last;
    };
    std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
};

}  // namespace kel::socks
