#include "accounts.h"

#include <algorithm>
#include <array>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

namespace kel::socks {
namespace {

// Windows-1252 positions 0x80..0x9F; 0 marks the five the code page leaves
// undefined, which stand for their own code, as the wizard has them.
constexpr std::array<char32_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

std::optional<char> cp1252_byte(char32_t u) {
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) return static_cast<char>(u);
    for (int i = 0; i < 32; ++i) {
        const char32_t mapped = kCp1252High[i] ? kCp1252High[i] : static_cast<char32_t>(0x80 + i);
        if (mapped == u) return static_cast<char>(0x80 + i);
    }
    return std::nullopt;
}

bool same_digest(const std::string &a, const std::string &b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool password_matches(const server::SocksAccount &account, std::string_view user, std::string_view password) {
    if (account.digest.empty()) return true;
    // Both forms are always computed, so that the time taken does not tell
    // which one matched.
    const bool as_sent = same_digest(account_digest(user, password), account.digest);
    const std::string ansi_user = utf8_to_cp1252(user).value_or(std::string(user));
    const std::string ansi_password = utf8_to_cp1252(password).value_or(std::string(password));
    const bool as_typed = same_digest(account_digest(ansi_user, ansi_password), account.digest);
    return as_sent || as_typed;
}

const server::SocksAccount *find(const std::vector<server::SocksAccount> &accounts, std::string_view user) {
    for (const server::SocksAccount &a : accounts)
        if (a.user == user) return &a;
    return nullptr;
}

}  // namespace

namespace {

// Fetched once and kept: a digest made with it never looks the algorithm
// up in the library's shared tables, which its exit handler frees.
const EVP_MD *sha1() {
    static const EVP_MD *const md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    return md;
}

}  // namespace

void prepare_digests() { (void)sha1(); }

std::string account_digest(std::string_view user, std::string_view password) {
    std::string input;
    input.reserve(user.size() + password.size() + 3);
    input.append(user).append(kDigestSeparator).append(password).append(kDigestTerminator);
    unsigned char digest[SHA_DIGEST_LENGTH];
    if (sha1() == nullptr ||
        EVP_Digest(input.data(), input.size(), digest, nullptr, sha1(), nullptr) != 1)
        return std::string();  // matches no stored digest: a failure refuses, never admits
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : digest) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

std::optional<std::string> utf8_to_cp1252(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        int extra = 0;
        char32_t u = 0;
        if (lead < 0x80) {
            u = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            u = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            u = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            u = lead & 0x07;
        } else {
            return std::nullopt;
        }
        if (i + static_cast<size_t>(extra) >= text.size() && extra > 0) return std::nullopt;
        for (int k = 1; k <= extra; ++k) {
            const auto c = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
            if ((c & 0xC0) != 0x80) return std::nullopt;
            u = (u << 6) | (c & 0x3F);
        }
        // Overlong forms are not UTF-8.
        static constexpr char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (u < kLeast[extra]) return std::nullopt;
        const auto byte = cp1252_byte(u);
        if (!byte) return std::nullopt;
        out += *byte;
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

bool password_accepted(const std::vector<server::SocksAccount> &accounts, std::string_view user,
                       std::string_view password) {
    if (const server::SocksAccount *listed = find(accounts, user)) return password_matches(*listed, user, password);
    const server::SocksAccount *any = find(accounts, "*");
    // The wildcard stands for a user that is not empty; its digest is over "*".
    return any != nullptr && !user.empty() && password_matches(*any, "*", password);
}

bool user_id_accepted(const std::vector<server::SocksAccount> &accounts, std::string_view user_id) {
    return find(accounts, user_id) != nullptr || (!user_id.empty() && find(accounts, "*") != nullptr);
}

std::chrono::milliseconds FailureThrottle::failed(const std::string &address, Clock::time_point now) {
    std::lock_guard<std::mutex> hold(mutex_);
    auto it = entries_.find(address);
    if (it == entries_.end()) {
        if (entries_.size() >= kMaxAddresses) {
            // Forget the quiet ones; a flood of new addresses is bounded anyway.
            std::erase_if(entries_, [&](const auto &e) { return now - e.second.last > kForget; });
            if (entries_.size() >= kMaxAddresses) entries_.clear();
        }
        it = entries_.emplace(address, Entry{}).first;
    } else if (now - it->second.last > kForget) {
        it->second.failures = 0;
    }
    Entry &e = it->second;
    e.failures = std::min(e.failures + 1, 64);
    e.last = now;
    if (e.failures <= kFreeFailures) return std::chrono::milliseconds(0);
    const int doublings = std::min(e.failures - kFreeFailures - 1, 16);
    return std::min<std::chrono::milliseconds>(kFirstDelay * (1 << doublings), kMaxDelay);
}

void FailureThrottle::succeeded(const std::string &address) {
    std::lock_guard<std::mutex> hold(mutex_);
    entries_.erase(address);
}

}  // namespace kel::socks
