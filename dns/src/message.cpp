#include "message.h"

#include "ldns_cxx.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace kel::dns {
namespace {

// Header flags, second and third bytes.
constexpr std::uint8_t kQr = 0x80;
constexpr std::uint8_t kTc = 0x02;
constexpr std::uint8_t kRd = 0x01;
constexpr std::uint8_t kRa = 0x80;
constexpr std::uint8_t kCd = 0x10;
constexpr std::uint8_t kOpcodeMask = 0x78;

// Longest TTLs kept: a day for data, three hours for a negative answer
// (RFC 2308 section 5).
constexpr std::uint32_t kMaxTtl = 86400;
constexpr std::uint32_t kMaxNegativeTtl = 10800;

struct PacketFree {
    void operator()(ldns_pkt *p) const { ldns_pkt_free(p); }
};
using Packet = std::unique_ptr<ldns_pkt, PacketFree>;

struct BufferFree {
    void operator()(std::uint8_t *p) const { std::free(p); }
};

std::uint16_t get16(const std::uint8_t *p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
std::uint32_t get32(const std::uint8_t *p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
void put16(std::uint8_t *p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
void put32(std::uint8_t *p, std::uint32_t v) {
    put16(p, static_cast<std::uint16_t>(v >> 16));
    put16(p + 2, static_cast<std::uint16_t>(v));
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The dotted form the block lists and hosts file are matched against. A
// byte that no host name holds is escaped, so that a label "ads.example"
// can never read as two labels.
void dotted_name_into(std::string_view wire, std::string &out) {
    out.clear();
    std::size_t i = 0;
    while (i < wire.size() && wire[i] != 0) {
        const auto len = static_cast<std::uint8_t>(wire[i++]);
        if (!out.empty()) out += '.';
        for (std::size_t k = 0; k < len && i < wire.size(); ++k, ++i) {
            const auto c = static_cast<unsigned char>(lower(wire[i]));
            if (c == '.' || c == '\\' || c <= 0x20 || c >= 0x7f) {
                char esc[5];
                std::snprintf(esc, sizeof esc, "\\%03u", c);
                out += esc;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
}

// Skips a possibly compressed name; returns the offset after it, or 0.
std::size_t skip_name(std::span<const std::uint8_t> w, std::size_t at) {
    while (at < w.size()) {
        const std::uint8_t len = w[at];
        if (len == 0) return at + 1;
        if ((len & 0xc0) == 0xc0) return at + 2 <= w.size() ? at + 2 : 0;
        if (len & 0xc0) return 0;
        at += 1 + len;
    }
    return 0;
}

// Calls f(section, offset of the record's type) for every record after the
// question (sections: 1 answer, 2 authority, 3 additional); false when the
// bytes end inside a record. Bounded by the bytes themselves.
template <class F>
bool walk_records(std::span<const std::uint8_t> w, F &&f) {
    if (w.size() < kHeaderSize) return false;
    std::size_t at = kHeaderSize;
    for (std::uint16_t i = 0, n = get16(&w[4]); i < n; ++i) {
        at = skip_name(w, at);
        if (at == 0 || at + 4 > w.size()) return false;
        at += 4;
    }
    for (int section = 1; section <= 3; ++section) {
        for (std::uint16_t i = 0, n = get16(&w[4 + 2 * section]); i < n; ++i) {
            at = skip_name(w, at);
            if (at == 0 || at + 10 > w.size()) return false;
            f(section, at);
            at += 10 + get16(&w[at + 8]);
            if (at > w.size()) return false;
        }
    }
    return true;
}

// At most one OPT and one TSIG, both in the additional section and the
// TSIG last (RFC 6891 section 6.1.1, RFC 8945 section 5.1). ldns loses a
// second TSIG's memory, so such messages never reach it.
bool sound_extras(std::span<const std::uint8_t> w) {
    int opts = 0, tsigs = 0;
    bool after_tsig = false, misplaced = false;
    const bool whole = walk_records(w, [&](int section, std::size_t at) {
        const std::uint16_t type = get16(&w[at]);
        if (tsigs) after_tsig = true;
        if (type == kTypeOPT || type == kTypeTSIG) {
            misplaced |= section != 3;
            ++(type == kTypeOPT ? opts : tsigs);
        }
    });
    return whole && opts <= 1 && tsigs <= 1 && !after_tsig && !misplaced;
}

// An OPT record without options: our payload size, the DO bit echoed
// (RFC 3225) and the upper bits of an extended rcode.
void write_opt(std::uint8_t *at, bool do_bit, std::uint16_t extended_rcode) {
    const std::uint8_t opt[kOptSize] = {0, 0, kTypeOPT, kOwnPayload >> 8, kOwnPayload & 0xff,
                                        static_cast<std::uint8_t>(extended_rcode >> 4), 0,
                                        static_cast<std::uint8_t>(do_bit ? 0x80 : 0), 0, 0, 0};
    std::memcpy(at, opt, kOptSize);
}

void append_opt(std::vector<std::uint8_t> &out, bool do_bit, std::uint16_t extended_rcode) {
    out.resize(out.size() + kOptSize);
    write_opt(out.data() + out.size() - kOptSize, do_bit, extended_rcode);
}

ldns_rdf *name_rdf(const std::string &wire) {
    return ldns_rdf_new_frm_data(LDNS_RDF_TYPE_DNAME, wire.size(), wire.data());
}

std::vector<std::uint8_t> to_wire(const ldns_pkt *p) {
    std::uint8_t *raw = nullptr;
    std::size_t size = 0;
    if (ldns_pkt2wire(&raw, p, &size) != LDNS_STATUS_OK) return {};
    std::unique_ptr<std::uint8_t, BufferFree> owned(raw);
    return {raw, raw + size};
}

bool same_question(const ldns_rr *rr, const Question &q) {
    const ldns_rdf *owner = ldns_rr_owner(rr);
    if (!owner || ldns_rdf_size(owner) != q.key.size()) return false;
    const auto *data = ldns_rdf_data(owner);
    for (std::size_t i = 0; i < q.key.size(); ++i)
        if (lower(static_cast<char>(data[i])) != q.key[i]) return false;
    return ldns_rr_get_type(rr) == q.type && ldns_rr_get_class(rr) == q.klass;
}

std::uint32_t smallest_ttl(const ldns_rr_list *list, std::uint32_t start) {
    for (std::size_t i = 0; i < ldns_rr_list_rr_count(list); ++i)
        start = std::min(start, ldns_rr_ttl(ldns_rr_list_rr(list, i)));
    return start;
}

// RFC 2308: a negative answer lives as long as the smaller of its SOA's
// TTL and minimum field; without an SOA it is not cached.
std::uint32_t negative_ttl(const ldns_pkt *p) {
    const ldns_rr_list *auth = ldns_pkt_authority(p);
    for (std::size_t i = 0; i < ldns_rr_list_rr_count(auth); ++i) {
        const ldns_rr *rr = ldns_rr_list_rr(auth, i);
        if (ldns_rr_get_type(rr) != LDNS_RR_TYPE_SOA || ldns_rr_rd_count(rr) < 7) continue;
        const std::uint32_t minimum = ldns_rdf2native_int32(ldns_rr_rdf(rr, 6));
        return std::min({ldns_rr_ttl(rr), minimum, kMaxNegativeTtl});
    }
    return 0;
}

// A truncated answer is only a sign to ask again over TCP: its records
// may stop anywhere, so only its header and question are read.
AnswerVerdict truncated_answer(std::span<const std::uint8_t> w, const Question &q, Answer &out) {
    const std::size_t end = kHeaderSize + q.key.size() + 4;
    if (get16(&w[4]) != 1 || w.size() < end) return AnswerVerdict::NotOurs;
    for (std::size_t i = 0; i < q.key.size(); ++i)
        if (lower(static_cast<char>(w[kHeaderSize + i])) != q.key[i]) return AnswerVerdict::NotOurs;
    const std::uint8_t *tail = &w[kHeaderSize + q.key.size()];
    if (get16(tail) != q.type || get16(tail + 2) != q.klass) return AnswerVerdict::NotOurs;
    out = Answer{};
    out.rcode = w[3] & 0x0f;
    out.truncated = true;
    return AnswerVerdict::Ok;
}

}  // namespace

std::string name_to_wire(std::string_view dotted) {
    if (!dotted.empty() && dotted.back() == '.') dotted.remove_suffix(1);
    std::string wire;
    while (!dotted.empty()) {
        const std::size_t dot = dotted.find('.');
        const std::string_view label = dotted.substr(0, dot);
        if (label.empty() || label.size() > 63) return {};
        wire += static_cast<char>(label.size());
        for (char c : label) wire += lower(c);
        dotted = dot == std::string_view::npos ? std::string_view() : dotted.substr(dot + 1);
        if (dot != std::string_view::npos && dotted.empty()) return {};
    }
    wire += '\0';
    return wire.size() <= 255 ? wire : std::string();
}

namespace {

void set_question(Question &question, std::string_view wire, std::uint16_t type, std::uint16_t klass) {
    question.wire.assign(wire);
    question.key = question.wire;
    // Label length bytes are below 64, so lowering every byte only lowers letters.
    std::transform(question.key.begin(), question.key.end(), question.key.begin(), lower);
    dotted_name_into(question.key, question.name);
    question.type = type;
    question.klass = klass;
}

// The shape nearly every stub resolver sends: one uncompressed question
// and at most an OPT record, nothing after. Read here without ldns's
// allocations; false for anything else, which ldns then reads.
bool read_plain_query(std::span<const std::uint8_t> w, ParsedQuery &out) {
    if (get16(&w[4]) != 1 || get16(&w[6]) != 0 || get16(&w[8]) != 0 || get16(&w[10]) > 1) return false;
    std::size_t at = kHeaderSize;
    while (at < w.size() && w[at] != 0) {
        if (w[at] > 63) return false;
        at += 1 + w[at];
    }
    const std::size_t name_end = at + 1;
    if (at >= w.size() || name_end - kHeaderSize > 255 || name_end + 4 > w.size()) return false;
    Query &q = out.query;
    at = name_end + 4;
    if (get16(&w[10]) == 1) {
        // OPT: the root, type 41, payload, extended rcode, version, flags, options.
        if (at + 11 > w.size() || w[at] != 0 || get16(&w[at + 1]) != kTypeOPT) return false;
        const std::uint16_t payload = get16(&w[at + 3]);
        if (payload == 0 || at + 11 + get16(&w[at + 9]) != w.size()) return false;
        q.edns = true;
        q.payload = std::max(payload, kClassicPayload);
        q.do_bit = w[at + 7] & 0x80;
        if (w[at + 6] != 0) {
            out.verdict = QueryVerdict::BadVers;
            return true;
        }
    } else if (at != w.size()) {
        return false;
    }
    set_question(q.question,
                 std::string_view(reinterpret_cast<const char *>(&w[kHeaderSize]), name_end - kHeaderSize),
                 get16(&w[name_end]), get16(&w[name_end + 2]));
    out.verdict = QueryVerdict::Ok;
    return true;
}

}  // namespace

void parse_query_into(std::span<const std::uint8_t> wire, ParsedQuery &out) {
    out.verdict = QueryVerdict::Drop;
    Query &q = out.query;
    q.id = 0;
    q.rd = q.cd = q.edns = q.do_bit = false;
    q.payload = kClassicPayload;
    if (wire.size() < kHeaderSize || (wire[2] & kQr) || (wire[2] & kOpcodeMask) != 0 || !read_plain_query(wire, out)) {
        out = parse_query_with_ldns(wire);
        return;
    }
    q.id = get16(wire.data());
    q.rd = wire[2] & kRd;
    q.cd = wire[3] & kCd;
}

ParsedQuery parse_query(std::span<const std::uint8_t> wire) {
    ParsedQuery out;
    parse_query_into(wire, out);
    return out;
}

ParsedQuery parse_query_with_ldns(std::span<const std::uint8_t> wire) {
    ParsedQuery out;
    if (wire.size() < kHeaderSize || (wire[2] & kQr)) return out;  // Drop
    Query &q = out.query;
    q.id = get16(wire.data());
    q.rd = wire[2] & kRd;
    q.cd = wire[3] & kCd;
    if ((wire[2] & kOpcodeMask) != 0) {
        out.verdict = QueryVerdict::NotImp;
        return out;
    }
    out.verdict = QueryVerdict::FormErr;
    if (!sound_extras(wire)) return out;
    ldns_pkt *raw = nullptr;
    if (ldns_wire2pkt(&raw, wire.data(), wire.size()) != LDNS_STATUS_OK) return out;
    Packet p(raw);
    q.edns = ldns_pkt_edns(p.get());
    if (q.edns) {
        q.do_bit = ldns_pkt_edns_do(p.get());
        q.payload = std::max(ldns_pkt_edns_udp_size(p.get()), kClassicPayload);
        if (ldns_pkt_edns_version(p.get()) != 0) {
            out.verdict = QueryVerdict::BadVers;
            return out;
        }
    }
    // One question, and nothing in the answer section (RFC 9619 in spirit).
    const ldns_rr_list *questions = ldns_pkt_question(p.get());
    if (ldns_rr_list_rr_count(questions) != 1 || ldns_pkt_ancount(p.get()) != 0) return out;
    const ldns_rr *rr = ldns_rr_list_rr(questions, 0);
    const ldns_rdf *owner = ldns_rr_owner(rr);
    if (!owner || ldns_rdf_size(owner) == 0 || ldns_rdf_size(owner) > 255) return out;
    set_question(q.question,
                 std::string_view(reinterpret_cast<const char *>(ldns_rdf_data(owner)), ldns_rdf_size(owner)),
                 ldns_rr_get_type(rr), ldns_rr_get_class(rr));
    out.verdict = QueryVerdict::Ok;
    return out;
}

std::vector<std::uint8_t> make_header_reply(const ParsedQuery &parsed, std::uint8_t rcode,
                                            std::uint16_t extended_rcode) {
    const Query &q = parsed.query;
    std::vector<std::uint8_t> out(kHeaderSize, 0);
    put16(out.data(), q.id);
    out[2] = static_cast<std::uint8_t>(kQr | (q.rd ? kRd : 0));
    out[3] = static_cast<std::uint8_t>(kRa | (rcode & 0x0f) | (q.cd ? kCd : 0));
    const bool echo = !q.question.wire.empty();
    if (echo) {
        put16(&out[4], 1);
        out.insert(out.end(), q.question.wire.begin(), q.question.wire.end());
        const std::uint8_t tail[4] = {static_cast<std::uint8_t>(q.question.type >> 8),
                                      static_cast<std::uint8_t>(q.question.type),
                                      static_cast<std::uint8_t>(q.question.klass >> 8),
                                      static_cast<std::uint8_t>(q.question.klass)};
        out.insert(out.end(), tail, tail + 4);
    }
    if (q.edns || extended_rcode) {
        put16(&out[10], 1);
        append_opt(out, q.do_bit, extended_rcode);
    }
    return out;
}

std::vector<std::uint8_t> make_answer(const Query &q, std::uint8_t rcode, std::span<const Record> records,
                                      std::uint32_t negative_ttl) {
    Packet p(ldns_pkt_new());
    if (!p) return {};
    ldns_pkt_set_qr(p.get(), true);
    ldns_pkt_set_ra(p.get(), true);
    ldns_pkt_set_rd(p.get(), q.rd);
    ldns_pkt_set_cd(p.get(), q.cd);
    ldns_pkt_set_rcode(p.get(), rcode);
    ldns_rr *question = ldns_rr_new();
    ldns_rr_set_owner(question, name_rdf(q.question.wire));
    ldns_rr_set_type(question, static_cast<ldns_rr_type>(q.question.type));
    ldns_rr_set_class(question, static_cast<ldns_rr_class>(q.question.klass));
    ldns_rr_set_question(question, true);
    ldns_pkt_push_rr(p.get(), LDNS_SECTION_QUESTION, question);
    for (const Record &r : records) {
        ldns_rr *rr = ldns_rr_new();
        ldns_rr_set_owner(rr, name_rdf(q.question.wire));
        ldns_rr_set_type(rr, static_cast<ldns_rr_type>(r.type));
        ldns_rr_set_class(rr, static_cast<ldns_rr_class>(q.question.klass));
        ldns_rr_set_ttl(rr, r.ttl);
        ldns_rr_push_rdf(rr, ldns_rdf_new_frm_data(LDNS_RDF_TYPE_UNKNOWN, r.rdata.size(), r.rdata.data()));
        ldns_pkt_push_rr(p.get(), LDNS_SECTION_ANSWER, rr);
    }
    if (records.empty() && negative_ttl) {
        // The name stands as its own zone: mname and rname say where the
        // answer came from, the minimum field says how long to keep it.
        // Never destroyed: the service's threads answer until the process ends.
        static const std::string &kMname = *new std::string(name_to_wire("localhost"));
        static const std::string &kRname = *new std::string(name_to_wire("nobody.invalid"));
        std::vector<std::uint8_t> rdata(kMname.begin(), kMname.end());
        rdata.insert(rdata.end(), kRname.begin(), kRname.end());
        std::uint8_t numbers[20];
        const std::uint32_t fields[5] = {1, 3600, 600, 86400, negative_ttl};
        for (int i = 0; i < 5; ++i) put32(numbers + 4 * i, fields[i]);
        rdata.insert(rdata.end(), numbers, numbers + 20);
        ldns_rr *soa = ldns_rr_new();
        ldns_rr_set_owner(soa, name_rdf(q.question.wire));
        ldns_rr_set_type(soa, LDNS_RR_TYPE_SOA);
        ldns_rr_set_class(soa, static_cast<ldns_rr_class>(q.question.klass));
        ldns_rr_set_ttl(soa, negative_ttl);
        ldns_rr_push_rdf(soa, ldns_rdf_new_frm_data(LDNS_RDF_TYPE_UNKNOWN, rdata.size(), rdata.data()));
        ldns_pkt_push_rr(p.get(), LDNS_SECTION_AUTHORITY, soa);
    }
    return to_wire(p.get());
}

std::vector<std::uint8_t> make_upstream_query(const Query &q, std::uint16_t id) {
    Packet p(ldns_pkt_query_new(name_rdf(q.question.wire), static_cast<ldns_rr_type>(q.question.type),
                                static_cast<ldns_rr_class>(q.question.klass), LDNS_RD));
    if (!p) return {};
    ldns_pkt_set_id(p.get(), id);
    ldns_pkt_set_cd(p.get(), q.cd);
    ldns_pkt_set_edns_udp_size(p.get(), kOwnPayload);
    ldns_pkt_set_edns_do(p.get(), q.do_bit);
    return to_wire(p.get());
}

AnswerVerdict parse_answer(std::span<const std::uint8_t> wire, std::uint16_t id, const Question &q, Answer &out) {
    if (wire.size() < kHeaderSize || get16(wire.data()) != id || !(wire[2] & kQr)) return AnswerVerdict::NotOurs;
    if (wire[2] & kTc) return truncated_answer(wire, q, out);
    if (!sound_extras(wire)) return AnswerVerdict::Broken;
    ldns_pkt *raw = nullptr;
    if (ldns_wire2pkt(&raw, wire.data(), wire.size()) != LDNS_STATUS_OK) return AnswerVerdict::Broken;
    Packet p(raw);
    out = Answer{};
    out.rcode = static_cast<std::uint8_t>(ldns_pkt_get_rcode(p.get()));
    const ldns_rr_list *questions = ldns_pkt_question(p.get());
    if (ldns_rr_list_rr_count(questions) == 0) {
        // Some servers leave the question out of an error; such an answer
        // is read as a failure of that server, never cached or passed on.
        if (out.rcode == kNoError || out.rcode == kNxDomain) return AnswerVerdict::NotOurs;
        return AnswerVerdict::Ok;
    }
    if (ldns_rr_list_rr_count(questions) != 1 || !same_question(ldns_rr_list_rr(questions, 0), q))
        return AnswerVerdict::NotOurs;
    const std::size_t answers = ldns_rr_list_rr_count(ldns_pkt_answer(p.get()));
    if (out.rcode == kNoError && answers > 0) {
        out.ttl = smallest_ttl(ldns_pkt_authority(p.get()), smallest_ttl(ldns_pkt_answer(p.get()), kMaxTtl));
    } else if (out.rcode == kNxDomain || out.rcode == kNoError) {
        out.ttl = negative_ttl(p.get());
    }
    // The OPT record is hop by hop: each client gets its own.
    ldns_rdf_deep_free(ldns_pkt_edns_data(p.get()));
    ldns_pkt_set_edns_data(p.get(), nullptr);
    ldns_pkt_set_edns_udp_size(p.get(), 0);
    ldns_pkt_set_edns_extended_rcode(p.get(), 0);
    ldns_pkt_set_edns_version(p.get(), 0);
    ldns_pkt_set_edns_z(p.get(), 0);
    ldns_pkt_set_edns_do(p.get(), false);
    p->_edns_present = 0;
    // A TSIG would sign the server's own message to us, not ours to a client.
    if (ldns_rr *tsig = ldns_pkt_tsig(p.get())) {
        ldns_rr_free(tsig);
        ldns_pkt_set_tsig(p.get(), nullptr);
    }
    // ldns keeps the header's counts apart from the records it read, and
    // leaves out records it will not hold (a second OPT, say): the message
    // passed on counts what it carries.
    ldns_pkt_set_qdcount(p.get(), static_cast<std::uint16_t>(ldns_rr_list_rr_count(ldns_pkt_question(p.get()))));
    ldns_pkt_set_ancount(p.get(), static_cast<std::uint16_t>(ldns_rr_list_rr_count(ldns_pkt_answer(p.get()))));
    ldns_pkt_set_nscount(p.get(), static_cast<std::uint16_t>(ldns_rr_list_rr_count(ldns_pkt_authority(p.get()))));
    ldns_pkt_set_arcount(p.get(), static_cast<std::uint16_t>(ldns_rr_list_rr_count(ldns_pkt_additional(p.get()))));
    ldns_pkt_set_id(p.get(), 0);
    out.wire = to_wire(p.get());
    if (out.wire.empty()) return AnswerVerdict::Broken;
    return AnswerVerdict::Ok;
}

std::vector<TtlField> ttl_fields(std::span<const std::uint8_t> w) {
    std::vector<TtlField> out;
    const bool whole = walk_records(w, [&](int, std::size_t at) {
        if (get16(&w[at]) != kTypeOPT && at + 4 <= 0xffff)
            out.push_back({static_cast<std::uint16_t>(at + 4), get32(&w[at + 4])});
    });
    if (!whole) out.clear();
    return out;
}

namespace {

// The most a reply to q may hold: TCP's limit, or over UDP what the client
// takes (512 without EDNS, its payload size up to kOwnPayload with it).
std::size_t reply_limit(const Query &q, bool over_tcp) {
    if (over_tcp) return kMaxMessage;
    return q.edns ? std::min<std::size_t>(q.payload, kOwnPayload) : kClassicPayload;
}

}  // namespace

std::size_t finish_reply(const Query &q, std::span<const std::uint8_t> stored, std::span<const TtlField> ttls,
                         std::uint32_t age, bool over_tcp, std::span<std::uint8_t> out) {
    const std::size_t question_end = kHeaderSize + q.question.wire.size() + 4;
    if (stored.size() < question_end || get16(&stored[4]) != 1) return 0;
    const std::size_t opt = q.edns ? kOptSize : 0;
    const std::size_t limit = reply_limit(q, over_tcp);
    const bool whole = stored.size() + opt <= limit;
    const std::size_t body = whole ? stored.size() : question_end;
    if (body + opt > limit || body + opt > out.size()) return 0;
    std::memcpy(out.data(), stored.data(), body);
    put16(out.data(), q.id);
    out[2] = static_cast<std::uint8_t>((out[2] & ~kRd) | (q.rd ? kRd : 0));
    std::memcpy(&out[kHeaderSize], q.question.wire.data(), q.question.wire.size());
    if (whole) {
        for (const TtlField &f : ttls)
            if (f.offset + 4u <= body) put32(&out[f.offset], f.ttl > age ? f.ttl - age : 0);
    } else {
        out[2] |= kTc;
        std::memset(&out[6], 0, 6);
    }
    if (opt) {
        put16(&out[10], static_cast<std::uint16_t>(get16(&out[10]) + 1));
        write_opt(&out[body], q.do_bit, 0);
    }
    return body + opt;
}

std::size_t reply_with_record(const Query &q, std::uint16_t type, std::span<const std::uint8_t> rdata,
                              std::uint32_t ttl, bool over_tcp, std::span<std::uint8_t> out) {
    const std::size_t question_end = kHeaderSize + q.question.wire.size() + 4;
    const std::size_t opt = q.edns ? kOptSize : 0;
    const std::size_t size = question_end + 12 + rdata.size() + opt;
    const std::size_t limit = reply_limit(q, over_tcp);
    if (size > limit || size > out.size()) return 0;
    std::uint8_t *w = out.data();
    put16(w, q.id);
    w[2] = static_cast<std::uint8_t>(kQr | (q.rd ? kRd : 0));
    w[3] = static_cast<std::uint8_t>(kRa | (q.cd ? kCd : 0));
    put16(w + 4, 1);
    put16(w + 6, 1);
    put16(w + 8, 0);
    put16(w + 10, opt ? 1 : 0);
    std::memcpy(w + kHeaderSize, q.question.wire.data(), q.question.wire.size());
    put16(w + question_end - 4, q.question.type);
    put16(w + question_end - 2, q.question.klass);
    std::uint8_t *r = w + question_end;
    put16(r, 0xc000 | kHeaderSize);  // the owner: the question's name
    put16(r + 2, type);
    put16(r + 4, q.question.klass);
    put32(r + 6, ttl);
    put16(r + 10, static_cast<std::uint16_t>(rdata.size()));
    if (!rdata.empty()) std::memcpy(r + 12, rdata.data(), rdata.size());
    if (opt) write_opt(r + 12 + rdata.size(), q.do_bit, 0);
    return size;
}

}  // namespace kel::dns
