// DNS messages as the proxy sees them: queries from clients, answers from
// the servers it forwards to, and the answers it makes itself. ldns parses
// and serialises whole messages (counts, label and name lengths and
// compression pointers are its checks); what is here is the proxy's
// policy on top. Pure functions over bytes; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kel::dns {

constexpr std::uint16_t kTypeA = 1;
constexpr std::uint16_t kTypeSOA = 6;
constexpr std::uint16_t kTypeHINFO = 13;
constexpr std::uint16_t kTypeAAAA = 28;
constexpr std::uint16_t kTypeOPT = 41;
constexpr std::uint16_t kTypeTSIG = 250;
constexpr std::uint16_t kTypeANY = 255;
constexpr std::uint16_t kClassIN = 1;

constexpr std::uint8_t kNoError = 0;
constexpr std::uint8_t kFormErr = 1;
constexpr std::uint8_t kServFail = 2;
constexpr std::uint8_t kNxDomain = 3;
constexpr std::uint8_t kNotImp = 4;
constexpr std::uint8_t kRefused = 5;

constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kOptSize = 11;             // an OPT record without options
constexpr std::uint16_t kClassicPayload = 512;   // UDP limit without EDNS
// What the proxy offers and accepts over UDP: large enough for most
// DNSSEC answers, small enough not to be fragmented on any path.
constexpr std::uint16_t kOwnPayload = 1232;
constexpr std::size_t kMaxMessage = 65535;       // TCP's two-byte length

struct Question {
    std::string wire;     // the name in wire form, as the client cased it
    std::string key;      // the name in wire form, lower case
    std::string name;     // lower case, dotted, without the final dot ("" is the root)
    std::uint16_t type = 0;
    std::uint16_t klass = 0;
};

struct Query {
    std::uint16_t id = 0;
    bool rd = false;
    bool cd = false;
    bool edns = false;
    bool do_bit = false;
    std::uint16_t payload = kClassicPayload;  // the most the client takes over UDP
    Question question;
};

enum class QueryVerdict : std::uint8_t {
    Ok,
    Drop,     // not a query (too short, or a response): never answered
    FormErr,  // answer FORMERR (make_header_reply)
    NotImp,   // an opcode other than QUERY: answer NOTIMP
    BadVers,  // an EDNS version the proxy does not speak: answer BADVERS
};

struct ParsedQuery {
    QueryVerdict verdict = QueryVerdict::Drop;
    Query query;  // meaningful when Ok; id, rd and edns are set for the others too
};

ParsedQuery parse_query(std::span<const std::uint8_t> wire);
// The same into out, whose strings keep their room from call to call: no
// allocation for a query of the common shape.
void parse_query_into(std::span<const std::uint8_t> wire, ParsedQuery &out);
// The same through ldns alone; parse_query reads the common shape itself
// and must agree with this on it (the fuzzer compares the two).
ParsedQuery parse_query_with_ldns(std::span<const std::uint8_t> wire);

// A reply that can be made without a question: the header of the query,
// marked as a response, with rcode (FORMERR, NOTIMP, REFUSED, SERVFAIL or
// BADVERS when extended_rcode is 16). The question is echoed when the
// query had a readable one, and an OPT record is added when it had one.
std::vector<std::uint8_t> make_header_reply(const ParsedQuery &parsed, std::uint8_t rcode,
                                            std::uint16_t extended_rcode = 0);

struct Record {
    std::uint16_t type = 0;
    std::uint32_t ttl = 0;
    std::vector<std::uint8_t> rdata;
};

// The proxy's own answer to q: rcode and the given records, owned by the
// question's name, plus an SOA for a negative answer when negative_ttl is
// not zero (so that clients cache it, RFC 2308). Without EDNS and OPT: the
// stored form that finish_reply completes for each client.
std::vector<std::uint8_t> make_answer(const Query &q, std::uint8_t rcode, std::span<const Record> records,
                                      std::uint32_t negative_ttl = 0);

// The query the proxy sends upstream for q: recursion desired, EDNS with
// kOwnPayload, the client's DO and CD bits, the given id.
std::vector<std::uint8_t> make_upstream_query(const Query &q, std::uint16_t id);

enum class AnswerVerdict : std::uint8_t {
    Ok,
    NotOurs,  // another id, another question, or not a response: keep waiting
    Broken,   // claims to be ours but cannot be read: the server failed
};

struct Answer {
    std::uint8_t rcode = 0;
    bool truncated = false;
    std::uint32_t ttl = 0;  // how long it may be cached; 0: not at all
    // Without OPT, id 0: what finish_reply completes for each client.
    std::vector<std::uint8_t> wire;
};

// Reads an upstream server's reply to the query sent with id for q.
AnswerVerdict parse_answer(std::span<const std::uint8_t> wire, std::uint16_t id, const Question &q, Answer &out);

// Where the TTL of every record of a stored answer is, and its value there.
struct TtlField {
    std::uint16_t offset = 0;
    std::uint32_t ttl = 0;
};
// Empty when the bytes are not a readable message; the walk is bounded by
// the bytes themselves.
std::vector<TtlField> ttl_fields(std::span<const std::uint8_t> wire);

// Writes into out the answer for q made from a stored answer whose records
// have aged `age` seconds: q's id, RD and question case; TTLs counted down;
// an OPT record if q had one. Over UDP an answer larger than the client
// takes is cut to its header and question with TC set, so that the client
// asks again over TCP. Returns the size written; 0 if out is too small or
// stored is not a message. No allocation.
std::size_t finish_reply(const Query &q, std::span<const std::uint8_t> stored, std::span<const TtlField> ttls,
                         std::uint32_t age, bool over_tcp, std::span<std::uint8_t> out);

// The answer to q of one record of the given type owned by its name, made
// straight into out (as finish_reply would complete make_answer's): no
// allocation, for the answers of the block lists. 0 if out is too small.
std::size_t reply_with_record(const Query &q, std::uint16_t type, std::span<const std::uint8_t> rdata,
                              std::uint32_t ttl, bool over_tcp, std::span<std::uint8_t> out);

// "Example.COM" -> lower-case wire form; empty if the name is not a valid
// host name for DNS (a label over 63, a name over 255, an empty label).
std::string name_to_wire(std::string_view dotted);

}  // namespace kel::dns
