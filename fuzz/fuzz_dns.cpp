// The DNS message layer (dns/src/message.h) on bytes from a client or an
// upstream server. Checks: the quick query reader and ldns's agree; a
// query read as Ok has a question of at most
// 255 bytes whose key is its lower-cased wire form; every reply the layer
// makes from it reads back as a DNS message; the same bytes read as an
// answer to their own question give a stored form whose TTL fields lie
// inside it, and a finished reply never exceeds what the client takes.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ldns_cxx.h"
#include "message.h"

namespace {

namespace dns = kel::dns;
using Bytes = std::vector<std::uint8_t>;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

bool readable(std::span<const std::uint8_t> wire) {
    ldns_pkt *p = nullptr;
    const bool ok = ldns_wire2pkt(&p, wire.data(), wire.size()) == LDNS_STATUS_OK;
    ldns_pkt_free(p);
    return ok;
}

void check_finished(const dns::Query &q, std::span<const std::uint8_t> stored, bool over_tcp, std::uint32_t age) {
    const std::vector<dns::TtlField> ttls = dns::ttl_fields(stored);
    for (const dns::TtlField &f : ttls) check(f.offset + 4u <= stored.size());
    Bytes out(dns::kMaxMessage);
    const std::size_t n = dns::finish_reply(q, stored, ttls, age, over_tcp, out);
    std::size_t limit = dns::kMaxMessage;
    if (!over_tcp) limit = q.edns ? std::min<std::size_t>(q.payload, dns::kOwnPayload) : dns::kClassicPayload;
    check(n <= limit);
    if (n) {
        check(out[0] == (q.id >> 8) && out[1] == (q.id & 0xff));
        check(readable(std::span(out.data(), n)));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::span<const std::uint8_t> in(data, size);
    for (const dns::TtlField &f : dns::ttl_fields(in)) check(f.offset + 4u <= size);

    // As a client's query, read both ways.
    const dns::ParsedQuery pq = dns::parse_query(in);
    const dns::ParsedQuery slow = dns::parse_query_with_ldns(in);
    check(pq.verdict == slow.verdict);
    if (pq.verdict == dns::QueryVerdict::Ok) {
        const dns::Query &a = pq.query, &b = slow.query;
        check(a.id == b.id && a.rd == b.rd && a.cd == b.cd && a.edns == b.edns && a.do_bit == b.do_bit &&
              a.payload == b.payload && a.question.wire == b.question.wire && a.question.name == b.question.name &&
              a.question.type == b.question.type && a.question.klass == b.question.klass);
    }
    if (pq.verdict != dns::QueryVerdict::Drop) check(readable(dns::make_header_reply(pq, dns::kFormErr)));
    if (pq.verdict == dns::QueryVerdict::Ok) {
        const dns::Question &question = pq.query.question;
        check(!question.wire.empty() && question.wire.size() <= 255 && question.key.size() == question.wire.size());
        for (std::size_t i = 0; i < question.key.size(); ++i)
            check(question.key[i] == (question.wire[i] >= 'A' && question.wire[i] <= 'Z' ? question.wire[i] + 32
                                                                                          : question.wire[i]));
        check(readable(dns::make_upstream_query(pq.query, 1)));
        const dns::Record a{dns::kTypeA, 60, {0, 0, 0, 0}};
        const Bytes own = dns::make_answer(pq.query, dns::kNoError, std::span(&a, 1));
        check(readable(own));
        check_finished(pq.query, own, false, 30);
        check_finished(pq.query, dns::make_answer(pq.query, dns::kNxDomain, {}, 60), false, 0);
    }

    // As an upstream server's answer to its own question.
    if (size >= dns::kHeaderSize && (data[2] & 0x80)) {
        Bytes asked(data, data + size);
        asked[2] &= 0x7f;
        const dns::ParsedQuery own = dns::parse_query(asked);
        if (own.verdict == dns::QueryVerdict::Ok) {
            dns::Answer answer;
            if (dns::parse_answer(in, own.query.id, own.query.question, answer) == dns::AnswerVerdict::Ok &&
                !answer.wire.empty()) {
                check(readable(answer.wire));
                check(answer.ttl <= 86400);
                check_finished(own.query, answer.wire, false, 1);
                check_finished(own.query, answer.wire, true, 0);
            }
        }
    }
    return 0;
}
