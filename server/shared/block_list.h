// Host matcher for ad and tracker blocking: exact hosts, domains with all
// their subdomains, and exceptions, read from the adhosts file and from
// hosts-file and adblock-style lists.
//
// A BlockList is filled by its load functions on one thread, then published
// (a reload swaps in a new one) and from then on only read: every const
// member is safe to call from any number of threads at once, and blocks()
// takes no lock and allocates nothing. Loading into a list that other
// threads read is not allowed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kel::server {

// What one loaded file contributed, rules counted as read (a duplicate
// counts again).
struct ListFileStats {
    std::string path;
    size_t lines = 0;       // lines of the file, empty ones included
    size_t exact = 0;       // exact hosts (and IP literals)
    size_t domains = 0;     // domains, each with every subdomain
    size_t exceptions = 0;  // domains never blocked, with every subdomain
    size_t skipped = 0;     // rules this matcher does not apply, and names it refuses
    size_t table_bytes = 0;  // memory_bytes() of the whole list right after this file
};

class BlockList {
public:
    // Reads the adhosts format: one name per line, CRLF or LF, blanks around
    // it ignored. A bare name is an exact host; ".domain" or "*.domain" is
    // the domain and all its subdomains. Empty lines count as nothing; a
    // line that is not a host name (or an IP literal) counts as skipped.
    //
    // false, with *error saying why (`open() of "PATH" failed (2: No such
    // file or directory)`), when the file cannot be read; an unopenable file
    // changes nothing. Running out of memory also returns false, and a read
    // that fails midway keeps what it read: discard the list then, as a
    // reload keeps the running one. error may be null.
    bool load_adhosts(const std::string &path, std::string *error);

    // Reads a list file whose format each line shows:
    //  - a hosts-file line: an IP literal, then host names, up to a '#'
    //    comment. Each name is exact (".domain"/"*.domain": a domain). The
    //    loopback names (localhost, ip6-localhost, broadcasthost, 0.0.0.0,
    //    ...) are ignored without counting; other names that are not host
    //    names count as skipped.
    //  - an adblock filter: `||domain^` blocks the domain and its
    //    subdomains, `@@||domain^` is an exception; either may carry
    //    `$third-party` and/or `$important`, which change nothing here.
    //    `!` comments, `[Adblock ...]` headers and hosts-file `#` comments
    //    count as nothing; every other filter (element hiding, paths,
    //    regular expressions, other options, substrings) counts as skipped.
    //  - a host name with at least one dot, alone on its line (a trailing
    //    `# comment` allowed): as in adhosts. A single word or an address
    //    alone counts as skipped: neither is a blocking rule in such lists.
    // Failures as for load_adhosts.
    bool load_list(const std::string &path, std::string *error);

    // True when the host, or one of its parent domains at a label boundary,
    // is listed as a domain, or the host is listed exactly, and no exception
    // is listed for the host or a parent domain. ASCII case and one trailing
    // dot are ignored. An IP literal (dotted quad, or IPv6 with or without
    // brackets) matches only an entry for that address; an address listed
    // as a domain never covers a longer name. Empty, overlong (over 253
    // bytes without the trailing dot) or malformed hosts are never blocked;
    // "host:port" is malformed, so a CONNECT target is passed without its port.
    bool blocks(std::string_view host) const noexcept;

    // The files loaded successfully, in load order.
    const std::vector<ListFileStats> &files() const noexcept { return files_; }

    // Distinct names held with each kind (a name may hold several).
    size_t exact_count() const noexcept { return exact_count_; }
    size_t domain_count() const noexcept { return domain_count_; }
    size_t exception_count() const noexcept { return exception_count_; }

    // Bytes the tables hold: the name arena, the slot table and its filter.
    size_t memory_bytes() const noexcept;

    // The start-up line for one file:
    // "N exact hosts, N domains, N exceptions, N rules skipped from FILE, X.Y MiB"
    // where X.Y is the whole list's memory once that file was loaded.
    static std::string report_line(const ListFileStats &stats);

private:
    enum class Format { AdHosts, List };

    // One name of the table. length 0 marks an empty slot: names are never
    // empty.
    struct Slot {
        uint64_t hash;
        uint32_t offset;  // into arena_
        uint8_t length;
        uint8_t kinds;    // kExact | kDomain | kException | kAddress
        uint16_t unused;
    };
    static_assert(sizeof(Slot) == 16);

    static constexpr uint8_t kExact = 1, kDomain = 2, kException = 4;
    // An IP literal: matched only by a look-up of that very address.
    static constexpr uint8_t kAddress = 8;

    // What a list may not write where a name goes.
    static constexpr uint8_t kNoLoopback = 1;  // ignored: localhost and its kind
    static constexpr uint8_t kNoAddress = 2;   // refused: an IP literal
    static constexpr uint8_t kNeedsDot = 4;    // refused: a single label
    enum class Outcome { Added, Ignored, Refused };

    bool load(const std::string &path, Format format, std::string *error);
    void parse_line(std::string_view line, Format format, ListFileStats &stats);
    // Adds a name as written in a list (".x" and "*.x" are domains) and
    // counts it in stats; Refused when it is not a host name or IP literal.
    Outcome add_written_name(std::string_view written, uint8_t kind, uint8_t limits, ListFileStats &stats);
    void add_key(std::string_view key, uint8_t kinds);
    // Grows the slot table so that it stays at most half full with
    // extra_names more names.
    void reserve_names(size_t extra_names);
    // The slot holding the key, or the empty one where it would go; the
    // table must not be empty.
    size_t position(std::string_view key, uint64_t hash) const noexcept;
    const Slot *find(std::string_view key, uint64_t hash) const noexcept;
    // One bit per hash prefix of the names held: a look-up probes the slot
    // table (megabytes, a cache miss each time) only for the few suffixes
    // whose bit is set, and this stays in cache.
    bool may_hold(uint64_t hash) const noexcept {
        const uint64_t bit = hash >> filter_shift_;
        return (filter_[bit / 64] >> (bit % 64) & 1) != 0;
    }

    std::vector<char> arena_;  // normalised names, back to back
    std::vector<Slot> slots_;  // open addressing, a power of two in size
    std::vector<uint64_t> filter_;  // 8 bits per slot
    unsigned filter_shift_ = 64;
    size_t used_slots_ = 0;
    size_t exact_count_ = 0, domain_count_ = 0, exception_count_ = 0;
    std::vector<ListFileStats> files_;
};

}  // namespace kel::server
