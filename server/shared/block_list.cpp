// Host matcher for ad and tracker blocking: loaders and look-up.
#include "block_list.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <stdexcept>
#include <system_error>

namespace kel::server {
namespace {

constexpr size_t kMaxNameBytes = 253;
constexpr size_t kMaxLabelBytes = 63;
constexpr size_t kIpv6KeyBytes = 39;  // eight groups of four hex digits and seven colons
constexpr size_t kReadBlockBytes = 1 << 20;
// No rule we apply comes near this; a longer line is counted as skipped
// without being kept whole, so a file without line ends costs no memory.
constexpr size_t kMaxLineBytes = 64 * 1024;
// Up-front reservations follow the file size up to this much.
constexpr uintmax_t kMaxReserveBytes = 64u << 20;
// Roughly the bytes of a list per name it holds (a hosts-file line is
// about 30, an adblock domain rule about 20 among longer skipped rules).
constexpr uintmax_t kFileBytesPerName = 32;

inline uint64_t finish(uint64_t h) noexcept {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdu;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53u;
    h ^= h >> 33;
    return h;
}

// Calls visit(start, hash) for each suffix key[start..length) at a label
// boundary, shortest first, until visit returns false. The FNV-1a state
// runs from the last byte to the first, so that one pass over a looked-up
// host hashes every parent domain along the way; finish() then spreads the
// bits that pick a slot and a filter bit.
template <class Visit>
inline void for_each_suffix(const char *key, size_t length, Visit visit) noexcept {
    uint64_t h = 0xcbf29ce484222325u;
    for (size_t i = length; i-- > 0;) {
        h = (h ^ static_cast<unsigned char>(key[i])) * 0x100000001b3u;
        if (i != 0 && key[i - 1] != '.') continue;
        if (!visit(i, finish(h))) return;
    }
}

uint64_t hash_key(std::string_view key) noexcept {
    uint64_t hash = 0;
    for_each_suffix(key.data(), key.size(), [&](size_t, uint64_t h) {
        hash = h;
        return true;
    });
    return hash;
}

inline char lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
inline bool is_blank(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}
inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
inline bool is_alpha(char c) noexcept { return (lower(c) >= 'a' && lower(c) <= 'z'); }

std::string_view trim(std::string_view s) noexcept {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

bool equals_lower(std::string_view text, std::string_view lower_word) noexcept {
    if (text.size() != lower_word.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (lower(text[i]) != lower_word[i]) return false;
    }
    return true;
}

// Each byte as a host name holds it, lower-cased; 0 for a byte it cannot hold.
constexpr auto kHostBytes = [] {
    std::array<char, 256> map{};
    for (int c = 'a'; c <= 'z'; ++c) map[c] = static_cast<char>(c);
    for (int c = 'A'; c <= 'Z'; ++c) map[c] = static_cast<char>(c + 32);
    for (int c = '0'; c <= '9'; ++c) map[c] = static_cast<char>(c);
    map['-'] = '-';
    map['_'] = '_';
    map['.'] = '.';
    return map;
}();

// Writes the host name lower-cased, without one trailing dot, into out
// (kMaxNameBytes) and returns its length; 0 when it is not a host name:
// labels of 1 to 63 letters, digits, '-' or '_' (the underscore is in real
// DNS names), at most 253 bytes. List entries are held to RFC 1123 (no label
// starts or ends with '-'), which also keeps substring filters such as
// "-ad-banner." out; looked-up hosts are not, so that an odd subdomain of a
// listed domain cannot slip through.
size_t normalise_host(std::string_view in, char *out, bool strict) noexcept {
    if (!in.empty() && in.back() == '.') in.remove_suffix(1);
    if (in.empty() || in.size() > kMaxNameBytes) return 0;
    size_t label = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        const char c = kHostBytes[static_cast<unsigned char>(in[i])];
        if (c == 0) return 0;
        if (c == '.') {
            if (label == 0 || (strict && out[i - 1] == '-')) return 0;
            label = 0;
        } else {
            if (strict && label == 0 && c == '-') return 0;
            if (++label > kMaxLabelBytes) return 0;
        }
        out[i] = c;
    }
    if (label == 0 || (strict && out[in.size() - 1] == '-')) return 0;
    return in.size();
}

// Four dotted decimal parts from 0 to 255, written without leading zeros:
// "010" reads as octal to some clients, so only one spelling is an address.
bool is_dotted_quad(std::string_view s) noexcept {
    int parts = 0;
    size_t i = 0;
    for (;;) {
        unsigned value = 0;
        size_t digits = 0;
        while (i < s.size() && is_digit(s[i])) {
            if (digits == 1 && value == 0) return false;
            value = value * 10 + static_cast<unsigned>(s[i] - '0');
            if (++digits > 3) return false;
            ++i;
        }
        if (digits == 0 || value > 255) return false;
        ++parts;
        if (i == s.size()) return parts == 4;
        if (s[i] != '.' || parts == 4) return false;
        ++i;
    }
}

int hex_value(char c) noexcept {
    if (is_digit(c)) return c - '0';
    c = lower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// An IPv6 literal, with or without brackets, written as its eight groups in
// full (kIpv6KeyBytes into out), so that every spelling of one address
// meets the same entry. Returns 0 when it is not one; zone indices are not
// accepted.
size_t canonical_ipv6(std::string_view in, char *out) noexcept {
    if (!in.empty() && in.front() == '[') {
        if (in.size() < 2 || in.back() != ']') return 0;
        in = in.substr(1, in.size() - 2);
    }
    uint16_t groups[8] = {};
    int count = 0;
    int gap = -1;  // where "::" stands, in groups
    size_t i = 0;
    if (in.size() >= 2 && in[0] == ':' && in[1] == ':') {
        gap = 0;
        i = 2;
    } else if (in.empty() || in[0] == ':') {
        return 0;
    }
    while (i < in.size()) {
        size_t end = in.find(':', i);
        if (end == std::string_view::npos) end = in.size();
        const std::string_view token = in.substr(i, end - i);
        if (token.find('.') != std::string_view::npos) {
            // A dotted quad ends the address and fills two groups.
            if (end != in.size() || count > 6 || !is_dotted_quad(token)) return 0;
            unsigned octets[4] = {};
            size_t at = 0;
            for (unsigned &octet : octets) {
                while (at < token.size() && token[at] != '.') octet = octet * 10 + (token[at++] - '0');
                ++at;
            }
            groups[count++] = static_cast<uint16_t>(octets[0] << 8 | octets[1]);
            groups[count++] = static_cast<uint16_t>(octets[2] << 8 | octets[3]);
            i = end;
            break;
        }
        if (token.empty() || token.size() > 4 || count == 8) return 0;
        unsigned value = 0;
        for (char c : token) {
            const int v = hex_value(c);
            if (v < 0) return 0;
            value = value << 4 | static_cast<unsigned>(v);
        }
        groups[count++] = static_cast<uint16_t>(value);
        i = end;
        if (i == in.size()) break;
        ++i;  // the colon
        if (i < in.size() && in[i] == ':') {
            if (gap >= 0) return 0;
            gap = count;
            ++i;
        } else if (i == in.size()) {
            return 0;  // a single trailing colon
        }
    }
    if (gap < 0 ? count != 8 : count > 7) return 0;
    uint16_t full[8] = {};
    if (gap < 0) {
        std::copy(groups, groups + 8, full);
    } else {
        std::copy(groups, groups + gap, full);
        std::copy(groups + gap, groups + count, full + 8 - (count - gap));
    }
    static constexpr char kHex[] = "0123456789abcdef";
    char *p = out;
    for (int g = 0; g < 8; ++g) {
        if (g > 0) *p++ = ':';
        for (int shift = 12; shift >= 0; shift -= 4) *p++ = kHex[(full[g] >> shift) & 0xF];
    }
    return kIpv6KeyBytes;
}

// A name as a list writes it, in the form the table holds.
struct Name {
    size_t length = 0;  // 0: not a host name nor an IP literal
    bool is_domain = false;
    bool is_address = false;
};

Name read_name(std::string_view written, char *out) noexcept {
    Name name;
    if (written.size() >= 2 && written[0] == '*' && written[1] == '.') {
        name.is_domain = true;
        written.remove_prefix(2);
    } else if (!written.empty() && written[0] == '.') {
        name.is_domain = true;
        written.remove_prefix(1);
    }
    if (written.find(':') != std::string_view::npos || (!written.empty() && written[0] == '[')) {
        name.length = canonical_ipv6(written, out);
        name.is_address = true;
        return name;
    }
    name.length = normalise_host(written, out, /*strict=*/true);
    name.is_address = name.length != 0 && is_dotted_quad({out, name.length});
    return name;
}

// Names a hosts file maps for the machine itself; blocking them would cut
// off local services, so lists never block them.
bool is_loopback_name(std::string_view key) noexcept {
    static constexpr std::string_view kNames[] = {
        "localhost",     "localhost.localdomain", "local",          "broadcasthost",
        "ip6-localhost", "ip6-loopback",          "ip6-localnet",   "ip6-mcastprefix",
        "ip6-allnodes",  "ip6-allrouters",        "ip6-allhosts",   "0.0.0.0",
    };
    return std::find(std::begin(kNames), std::end(kNames), key) != std::end(kNames);
}

bool is_ip_literal(std::string_view token) noexcept {
    char scratch[kMaxNameBytes];
    if (token.find(':') != std::string_view::npos) return canonical_ipv6(token, scratch) != 0;
    return is_dotted_quad(token);
}

// A line that starts with '#': an element-hiding filter ("##sel", "#@#sel",
// "#?#sel", ...) rather than a hosts-file comment. "## text", "####" and a
// bare "##" read as comments; "###id" is the filter for an element id.
bool is_hiding_filter(std::string_view line) noexcept {
    static constexpr std::string_view kMarkers[] = {"#@?#", "#@$#", "#@#", "#?#", "#$#", "##"};
    for (std::string_view marker : kMarkers) {
        if (line.substr(0, marker.size()) != marker) continue;
        const std::string_view rest = line.substr(marker.size());
        if (rest.empty() || is_blank(rest[0])) return false;
        if (rest[0] != '#' || marker != "##") return true;
        return rest.size() > 1 && (is_alpha(rest[1]) || rest[1] == '_' || rest[1] == '-' || rest[1] == '\\');
    }
    return false;
}

std::string failure(const char *call, const std::string &path, int err) {
    return std::string(call) + "() of \"" + path + "\" failed (" + std::to_string(err) + ": " +
           std::generic_category().message(err) + ")";
}

void set_error(std::string *error, std::string text) {
    if (error != nullptr) *error = std::move(text);
}

}  // namespace

size_t BlockList::memory_bytes() const noexcept {
    return arena_.capacity() + slots_.capacity() * sizeof(Slot) + filter_.capacity() * sizeof(uint64_t);
}

std::string BlockList::report_line(const ListFileStats &stats) {
    char tail[64];
    std::snprintf(tail, sizeof tail, ", %.1f MiB", static_cast<double>(stats.table_bytes) / (1024.0 * 1024.0));
    return std::to_string(stats.exact) + " exact hosts, " + std::to_string(stats.domains) + " domains, " +
           std::to_string(stats.exceptions) + " exceptions, " + std::to_string(stats.skipped) +
           " rules skipped from " + stats.path + tail;
}

size_t BlockList::position(std::string_view key, uint64_t hash) const noexcept {
    const size_t mask = slots_.size() - 1;
    for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
        const Slot &slot = slots_[i];
        if (slot.length == 0) return i;
        if (slot.hash == hash && slot.length == key.size() &&
            std::memcmp(arena_.data() + slot.offset, key.data(), key.size()) == 0)
            return i;
    }
}

const BlockList::Slot *BlockList::find(std::string_view key, uint64_t hash) const noexcept {
    if (slots_.empty()) return nullptr;
    const Slot &slot = slots_[position(key, hash)];
    return slot.length != 0 ? &slot : nullptr;
}

bool BlockList::blocks(std::string_view host) const noexcept {
    // 253 bytes, and room for a trailing dot or the brackets of IPv6.
    if (host.empty() || host.size() > kMaxNameBytes + 2 || used_slots_ == 0) return false;
    char key[kMaxNameBytes];
    auto address_listed = [&](size_t length) {
        const std::string_view k(key, length);
        const Slot *slot = find(k, hash_key(k));
        return slot != nullptr && (slot->kinds & (kExact | kDomain)) != 0 && (slot->kinds & kException) == 0;
    };
    if (host.find(':') != std::string_view::npos || host.front() == '[') {
        const size_t length = canonical_ipv6(host, key);
        return length != 0 && address_listed(length);
    }
    const size_t length = normalise_host(host, key, /*strict=*/false);
    if (length == 0) return false;
    if (is_dotted_quad({key, length})) return address_listed(length);

    bool blocked = false;
    for_each_suffix(key, length, [&](size_t start, uint64_t hash) {
        if (!may_hold(hash)) return true;
        const Slot *slot = find({key + start, length - start}, hash);
        // An address never stands for a longer name: 1.2.3.4 does not cover 5.1.2.3.4.
        if (slot == nullptr || (slot->kinds & kAddress) != 0) return true;
        if ((slot->kinds & kException) != 0) {
            blocked = false;
            return false;
        }
        if ((slot->kinds & kDomain) != 0 || (start == 0 && (slot->kinds & kExact) != 0)) blocked = true;
        return true;
    });
    return blocked;
}

void BlockList::reserve_names(size_t extra_names) {
    const size_t wanted = (used_slots_ + extra_names) * 2;
    if (wanted <= slots_.size()) return;
    size_t capacity = slots_.empty() ? 64 : slots_.size();
    while (capacity < wanted) capacity *= 2;
    // A failure to allocate leaves the table as it was.
    std::vector<Slot> grown(capacity);
    std::vector<uint64_t> filter(capacity / 8);
    unsigned shift = 64;
    for (size_t bits = capacity * 8; bits > 1; bits /= 2) --shift;
    const size_t mask = capacity - 1;
    for (const Slot &slot : slots_) {
        if (slot.length == 0) continue;
        size_t i = static_cast<size_t>(slot.hash) & mask;
        while (grown[i].length != 0) i = (i + 1) & mask;
        grown[i] = slot;
        const uint64_t bit = slot.hash >> shift;
        filter[bit / 64] |= uint64_t{1} << (bit % 64);
    }
    slots_.swap(grown);
    filter_.swap(filter);
    filter_shift_ = shift;
}

void BlockList::add_key(std::string_view key, uint8_t kinds) {
    const uint64_t hash = hash_key(key);
    // Room first, so that the position found stays valid.
    reserve_names(1);
    Slot *slot = &slots_[position(key, hash)];
    if (slot->length == 0) {
        if (arena_.size() + key.size() > UINT32_MAX) throw std::length_error("over 4 GiB of names");
        const size_t offset = arena_.size();
        arena_.insert(arena_.end(), key.begin(), key.end());
        *slot = Slot{hash, static_cast<uint32_t>(offset), static_cast<uint8_t>(key.size()), 0, 0};
        ++used_slots_;
        const uint64_t bit = hash >> filter_shift_;
        filter_[bit / 64] |= uint64_t{1} << (bit % 64);
    }
    const uint8_t added = kinds & ~slot->kinds;
    slot->kinds |= kinds;
    if ((added & kExact) != 0) ++exact_count_;
    if ((added & kDomain) != 0) ++domain_count_;
    if ((added & kException) != 0) ++exception_count_;
}

BlockList::Outcome BlockList::add_written_name(std::string_view written, uint8_t kind, uint8_t limits,
                                                ListFileStats &stats) {
    char key[kMaxNameBytes];
    const Name name = read_name(written, key);
    const std::string_view k(key, name.length);
    if (name.length != 0 && (limits & kNoLoopback) != 0 && is_loopback_name(k)) return Outcome::Ignored;
    if (name.length == 0 || (name.is_address && (limits & kNoAddress) != 0) ||
        ((limits & kNeedsDot) != 0 && k.find('.') == std::string_view::npos))
        return Outcome::Refused;
    if (kind == kExact && name.is_domain) kind = kDomain;
    add_key(k, static_cast<uint8_t>(kind | (name.is_address ? kAddress : 0)));
    if (kind == kExact) ++stats.exact;
    if (kind == kDomain) ++stats.domains;
    if (kind == kException) ++stats.exceptions;
    return Outcome::Added;
}

void BlockList::parse_line(std::string_view line, Format format, ListFileStats &stats) {
    line = trim(line);
    if (line.empty()) return;
    if (format == Format::AdHosts) {
        if (add_written_name(line, kExact, 0, stats) == Outcome::Refused) ++stats.skipped;
        return;
    }
    if (line[0] == '!' || (line[0] == '[' && line.back() == ']')) return;
    if (line[0] == '#') {
        if (is_hiding_filter(line)) ++stats.skipped;
        return;
    }

    // `||domain^` or `@@||domain^`, with only the options that change
    // nothing for a whole host.
    const bool is_exception = line.substr(0, 2) == "@@";
    const std::string_view filter = is_exception ? line.substr(2) : line;
    if (filter.substr(0, 2) == "||") {
        const std::string_view body = filter.substr(2);
        const size_t caret = body.find('^');
        bool usable = caret != std::string_view::npos && caret > 0 && body[0] != '.' && body[0] != '*';
        if (usable && caret + 1 < body.size()) {
            std::string_view options = body.substr(caret + 1);
            usable = options[0] == '$';
            options.remove_prefix(1);
            while (usable) {
                const size_t comma = options.find(',');
                const std::string_view option = options.substr(0, comma);
                usable = equals_lower(option, "third-party") || equals_lower(option, "important");
                if (comma == std::string_view::npos) break;
                options.remove_prefix(comma + 1);
            }
        }
        if (!usable ||
            add_written_name(body.substr(0, caret), is_exception ? kException : kDomain, 0, stats) ==
                Outcome::Refused)
            ++stats.skipped;
        return;
    }
    if (is_exception) {
        ++stats.skipped;
        return;
    }

    size_t blank = 0;
    while (blank < line.size() && !is_blank(line[blank])) ++blank;
    const std::string_view first = line.substr(0, blank);
    const std::string_view rest = trim(line.substr(blank));

    if (!rest.empty() && is_ip_literal(first)) {
        // A hosts-file line: the address, then names up to a comment.
        std::string_view names = rest.substr(0, rest.find('#'));
        while (!names.empty()) {
            size_t start = 0;
            while (start < names.size() && is_blank(names[start])) ++start;
            size_t end = start;
            while (end < names.size() && !is_blank(names[end])) ++end;
            const std::string_view written = names.substr(start, end - start);
            names.remove_prefix(end);
            if (!written.empty() &&
                add_written_name(written, kExact, kNoLoopback | kNoAddress, stats) == Outcome::Refused)
                ++stats.skipped;
        }
        return;
    }

    // A host name alone, perhaps with a comment. It must hold a dot, which
    // keeps single words and substring filters ("_adbanner.") out.
    if (!rest.empty() && rest[0] != '#') {
        ++stats.skipped;
        return;
    }
    if (add_written_name(first, kExact, kNoLoopback | kNoAddress | kNeedsDot, stats) == Outcome::Refused)
        ++stats.skipped;
}

bool BlockList::load(const std::string &path, Format format, std::string *error) {
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) {
        set_error(error, failure("open", path, errno));
        return false;
    }
    try {
        ListFileStats stats;
        stats.path = path;
        std::error_code size_error;
        const uintmax_t size = std::filesystem::file_size(path, size_error);
        if (!size_error) {
            // One reservation for the whole file, instead of a doubling
            // every few thousand names.
            const uintmax_t planned = std::min(size, kMaxReserveBytes);
            reserve_names(static_cast<size_t>(planned / kFileBytesPerName));
            arena_.reserve(arena_.size() + static_cast<size_t>(planned));
        }

        std::unique_ptr<char[]> block(new char[kReadBlockBytes]);
        std::string carry;  // a line split between two blocks
        bool overlong = false;
        auto end_line = [&](std::string_view tail) {
            if (!overlong && carry.size() + tail.size() <= kMaxLineBytes) {
                carry.append(tail);
                parse_line(carry, format, stats);
            } else {
                ++stats.skipped;
            }
            carry.clear();
            overlong = false;
        };
        for (;;) {
            const size_t got = std::fread(block.get(), 1, kReadBlockBytes, file.get());
            std::string_view bytes(block.get(), got);
            while (!bytes.empty()) {
                const size_t newline = bytes.find('\n');
                if (newline != std::string_view::npos) ++stats.lines;
                if (newline == std::string_view::npos) {
                    if (carry.size() + bytes.size() > kMaxLineBytes) {
                        overlong = true;
                        carry.clear();
                    } else if (!overlong) {
                        carry.append(bytes);
                    }
                    break;
                }
                if (carry.empty() && !overlong && newline <= kMaxLineBytes) {
                    parse_line(bytes.substr(0, newline), format, stats);
                } else {
                    end_line(bytes.substr(0, newline));
                }
                bytes.remove_prefix(newline + 1);
            }
            if (got < kReadBlockBytes) break;
        }
        if (std::ferror(file.get())) {
            set_error(error, failure("read", path, errno));
            return false;
        }
        if (!carry.empty() || overlong) {
            ++stats.lines;
            end_line({});
        }

        arena_.shrink_to_fit();
        stats.table_bytes = memory_bytes();
        files_.push_back(std::move(stats));
        return true;
    } catch (const std::bad_alloc &) {
        set_error(error, "loading \"" + path + "\" ran out of memory");
    } catch (const std::length_error &) {
        set_error(error, "loading \"" + path + "\" failed: the lists hold over 4 GiB of names");
    }
    return false;
}

bool BlockList::load_adhosts(const std::string &path, std::string *error) {
    return load(path, Format::AdHosts, error);
}

bool BlockList::load_list(const std::string &path, std::string *error) {
    return load(path, Format::List, error);
}

}  // namespace kel::server
