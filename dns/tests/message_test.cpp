// The message layer against messages that ldns itself builds and reads
// back, and against hand-made hostile bytes.
#include "message.h"

#include "ldns_cxx.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace kel::dns {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct PacketFree {
    void operator()(ldns_pkt *p) const { ldns_pkt_free(p); }
};
using Packet = std::unique_ptr<ldns_pkt, PacketFree>;

Bytes wire_of(const ldns_pkt *p) {
    std::uint8_t *raw = nullptr;
    std::size_t size = 0;
    EXPECT_EQ(ldns_pkt2wire(&raw, p, &size), LDNS_STATUS_OK);
    Bytes out(raw, raw + size);
    std::free(raw);
    return out;
}

Packet read(const Bytes &wire) {
    ldns_pkt *p = nullptr;
    EXPECT_EQ(ldns_wire2pkt(&p, wire.data(), wire.size()), LDNS_STATUS_OK);
    return Packet(p);
}

Packet query_packet(const char *name, ldns_rr_type type, std::uint16_t id = 0x1234) {
    Packet p(ldns_pkt_query_new(ldns_dname_new_frm_str(name), type, LDNS_RR_CLASS_IN, LDNS_RD));
    ldns_pkt_set_id(p.get(), id);
    return p;
}

Query parsed(const Bytes &wire) {
    const ParsedQuery pq = parse_query(wire);
    EXPECT_EQ(pq.verdict, QueryVerdict::Ok);
    return pq.query;
}

void push(ldns_pkt *p, ldns_pkt_section section, const char *text) {
    ldns_rr *rr = nullptr;
    ASSERT_EQ(ldns_rr_new_frm_str(&rr, text, 0, nullptr, nullptr), LDNS_STATUS_OK) << text;
    ldns_pkt_push_rr(p, section, rr);
}

// An upstream answer to the query made for q with the given id.
Packet answer_to(const Query &q, std::uint16_t id, ldns_pkt_rcode rcode = LDNS_RCODE_NOERROR) {
    Packet p = read(make_upstream_query(q, id));
    ldns_pkt_set_qr(p.get(), true);
    ldns_pkt_set_ra(p.get(), true);
    ldns_pkt_set_rcode(p.get(), rcode);
    return p;
}

TEST(QueryParsing, ReadsTheQuestionAndKeepsTheClientsCaseApartFromTheKey) {
    Packet p = query_packet("WwW.Example.COM.", LDNS_RR_TYPE_AAAA, 0xbeef);
    const Query q = parsed(wire_of(p.get()));
    EXPECT_EQ(q.id, 0xbeef);
    EXPECT_TRUE(q.rd);
    EXPECT_FALSE(q.edns);
    EXPECT_EQ(q.payload, kClassicPayload);
    EXPECT_EQ(q.question.name, "www.example.com");
    EXPECT_EQ(q.question.key, std::string("\3www\7example\3com\0", 17));
    EXPECT_EQ(q.question.wire, std::string("\3WwW\7Example\3COM\0", 17));
    EXPECT_EQ(q.question.type, kTypeAAAA);
    EXPECT_EQ(q.question.klass, kClassIN);
}

TEST(QueryParsing, TakesTheClientsPayloadAndDoBitAndNeverLessThanTheClassicSize) {
    Packet p = query_packet("example.com.", LDNS_RR_TYPE_A);
    ldns_pkt_set_edns_udp_size(p.get(), 4096);
    ldns_pkt_set_edns_do(p.get(), true);
    Query q = parsed(wire_of(p.get()));
    EXPECT_TRUE(q.edns);
    EXPECT_TRUE(q.do_bit);
    EXPECT_EQ(q.payload, 4096);
    ldns_pkt_set_edns_udp_size(p.get(), 100);
    ldns_pkt_set_edns_do(p.get(), false);
    q = parsed(wire_of(p.get()));
    EXPECT_TRUE(q.edns);
    EXPECT_FALSE(q.do_bit);
    EXPECT_EQ(q.payload, kClassicPayload);
}

TEST(QueryParsing, AnotherEdnsVersionIsBadVersAndAnotherOpcodeNotImp) {
    Packet p = query_packet("example.com.", LDNS_RR_TYPE_A);
    ldns_pkt_set_edns_udp_size(p.get(), 1232);
    ldns_pkt_set_edns_version(p.get(), 1);
    EXPECT_EQ(parse_query(wire_of(p.get())).verdict, QueryVerdict::BadVers);
    Packet update = query_packet("example.com.", LDNS_RR_TYPE_SOA);
    ldns_pkt_set_opcode(update.get(), LDNS_PACKET_UPDATE);
    EXPECT_EQ(parse_query(wire_of(update.get())).verdict, QueryVerdict::NotImp);
}

TEST(QueryParsing, HostileBytesAreDroppedOrFormErrNeverRead) {
    const Bytes header = {0x12, 0x34, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    auto with = [&](Bytes tail) {
        Bytes w = header;
        w.insert(w.end(), tail.begin(), tail.end());
        return w;
    };
    // Too short to be a header, and a response sent to us: no answer at all.
    EXPECT_EQ(parse_query(Bytes{0x12, 0x34, 0x01}).verdict, QueryVerdict::Drop);
    Bytes response = with({0, 0, 1, 0, 1});
    response[2] |= 0x80;
    EXPECT_EQ(parse_query(response).verdict, QueryVerdict::Drop);

    // A question count that lies, a name that points at itself, a label
    // length with the reserved top bits (a "label" over 63), a name over 255.
    EXPECT_EQ(parse_query(with({})).verdict, QueryVerdict::FormErr);
    EXPECT_EQ(parse_query(with({0xc0, 0x0c, 0, 1, 0, 1})).verdict, QueryVerdict::FormErr);
    EXPECT_EQ(parse_query(with({0x40, 'a', 0, 0, 1, 0, 1})).verdict, QueryVerdict::FormErr);
    Bytes long_name;
    for (int i = 0; i < 5; ++i) {
        long_name.push_back(63);
        long_name.insert(long_name.end(), 63, 'a');
    }
    long_name.insert(long_name.end(), {0, 0, 1, 0, 1});
    EXPECT_EQ(parse_query(with(long_name)).verdict, QueryVerdict::FormErr);
    // A name cut short, and two questions.
    EXPECT_EQ(parse_query(with({7, 'e', 'x', 'a'})).verdict, QueryVerdict::FormErr);
    Bytes two = with({1, 'a', 0, 0, 1, 0, 1, 1, 'b', 0, 0, 1, 0, 1});
    two[5] = 2;
    EXPECT_EQ(parse_query(two).verdict, QueryVerdict::FormErr);
    // The header of a FORMERR still carries the id for the client to match.
    EXPECT_EQ(parse_query(with({})).query.id, 0x1234);
}

TEST(QueryParsing, ALabelHoldingADotIsEscapedSoThatItCannotReadAsTwoLabels) {
    const Bytes w = {0, 1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 7, 'a', 'd', 's', '.', 'c', 'o', 'm', 0, 0, 1, 0, 1};
    EXPECT_EQ(parsed(w).question.name, "ads\\046com");
}

TEST(HeaderReplies, EchoTheIdQuestionAndRdAndAddOptWhenTheQueryHadOne) {
    Packet p = query_packet("example.com.", LDNS_RR_TYPE_A, 77);
    ldns_pkt_set_edns_udp_size(p.get(), 1232);
    ldns_pkt_set_edns_do(p.get(), true);
    const ParsedQuery pq = parse_query(wire_of(p.get()));
    Packet reply = read(make_header_reply(pq, kRefused));
    EXPECT_EQ(ldns_pkt_id(reply.get()), 77);
    EXPECT_TRUE(ldns_pkt_qr(reply.get()));
    EXPECT_TRUE(ldns_pkt_rd(reply.get()));
    EXPECT_EQ(ldns_pkt_get_rcode(reply.get()), LDNS_RCODE_REFUSED);
    EXPECT_EQ(ldns_pkt_qdcount(reply.get()), 1);
    EXPECT_EQ(ldns_pkt_ancount(reply.get()), 0);
    EXPECT_TRUE(ldns_pkt_edns(reply.get()));
    EXPECT_TRUE(ldns_pkt_edns_do(reply.get()));
    EXPECT_EQ(ldns_pkt_edns_udp_size(reply.get()), kOwnPayload);

    // BADVERS is 16: its upper bits travel in the OPT record.
    Packet v1 = query_packet("example.com.", LDNS_RR_TYPE_A);
    ldns_pkt_set_edns_udp_size(v1.get(), 1232);
    ldns_pkt_set_edns_version(v1.get(), 1);
    const Bytes badvers = make_header_reply(parse_query(wire_of(v1.get())), 0, 16);
    Packet bv = read(badvers);
    EXPECT_EQ(ldns_pkt_get_rcode(bv.get()), 0);
    EXPECT_EQ(ldns_pkt_edns_extended_rcode(bv.get()), 1);

    // A FORMERR to bytes without a readable question is a bare header.
    const Bytes junk = {0xab, 0xcd, 0x01, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0};
    const Bytes formerr = make_header_reply(parse_query(junk), kFormErr);
    ASSERT_EQ(formerr.size(), kHeaderSize);
    EXPECT_EQ(formerr[0], 0xab);
    EXPECT_EQ(formerr[3] & 0x0f, kFormErr);
    EXPECT_EQ(formerr[5], 0);
}

TEST(OwnAnswers, CarryTheRecordsAndForANegativeOneAnSoaWhoseMinimumIsItsTtl) {
    const Query q = parsed(wire_of(query_packet("Ads.Example.", LDNS_RR_TYPE_A).get()));
    const Record zero{kTypeA, 60, {0, 0, 0, 0}};
    Packet blocked = read(make_answer(q, kNoError, std::span(&zero, 1)));
    ASSERT_EQ(ldns_pkt_ancount(blocked.get()), 1);
    const ldns_rr *rr = ldns_rr_list_rr(ldns_pkt_answer(blocked.get()), 0);
    EXPECT_EQ(ldns_rr_get_type(rr), LDNS_RR_TYPE_A);
    EXPECT_EQ(ldns_rr_ttl(rr), 60u);
    char *text = ldns_rdf2str(ldns_rr_rdf(rr, 0));
    EXPECT_STREQ(text, "0.0.0.0");
    std::free(text);

    Packet empty = read(make_answer(q, kNoError, {}, 60));
    EXPECT_EQ(ldns_pkt_ancount(empty.get()), 0);
    ASSERT_EQ(ldns_pkt_nscount(empty.get()), 1);
    const ldns_rr *soa = ldns_rr_list_rr(ldns_pkt_authority(empty.get()), 0);
    EXPECT_EQ(ldns_rr_get_type(soa), LDNS_RR_TYPE_SOA);
    ASSERT_EQ(ldns_rr_rd_count(soa), 7u);
    EXPECT_EQ(ldns_rdf2native_int32(ldns_rr_rdf(soa, 6)), 60u);
}

// The block lists' answers are written without ldns; they must be the bytes
// the general path makes, for every shape of query.
TEST(OwnAnswers, AnAnswerOfOneRecordMadeDirectlyIsTheOneTheGeneralPathMakes) {
    for (const bool edns : {false, true})
        for (const bool do_bit : {false, true})
            for (const ldns_rr_type type : {LDNS_RR_TYPE_A, LDNS_RR_TYPE_AAAA}) {
                Packet p = query_packet("Ads.Example.", type);
                ldns_pkt_set_id(p.get(), 0x4321);
                ldns_pkt_set_cd(p.get(), do_bit);
                if (edns) {
                    ldns_pkt_set_edns_udp_size(p.get(), 4096);
                    ldns_pkt_set_edns_do(p.get(), do_bit);
                }
                const Query q = parsed(wire_of(p.get()));
                const Record r{static_cast<std::uint16_t>(type), 60,
                               std::vector<std::uint8_t>(type == LDNS_RR_TYPE_A ? 4 : 16, 0)};
                const Bytes stored = make_answer(q, kNoError, std::span(&r, 1));
                std::uint8_t general[kMaxMessage], direct[kMaxMessage];
                const std::size_t n = finish_reply(q, stored, ttl_fields(stored), 0, false, general);
                ASSERT_GT(n, 0u);
                ASSERT_EQ(reply_with_record(q, r.type, r.rdata, 60, false, direct), n) << edns << do_bit << type;
                EXPECT_EQ(Bytes(direct, direct + n), Bytes(general, general + n)) << edns << do_bit << type;
                // Too little room gives nothing rather than a cut message.
                EXPECT_EQ(reply_with_record(q, r.type, r.rdata, 60, false, std::span(direct, n - 1)), 0u);
            }
}

TEST(UpstreamQueries, AskForRecursionWithOurPayloadAndTheClientsDoAndCdBits) {
    Packet p = query_packet("Example.COM.", LDNS_RR_TYPE_DS);
    ldns_pkt_set_edns_udp_size(p.get(), 4096);
    ldns_pkt_set_edns_do(p.get(), true);
    ldns_pkt_set_cd(p.get(), true);
    const Query q = parsed(wire_of(p.get()));
    Packet up = read(make_upstream_query(q, 4242));
    EXPECT_EQ(ldns_pkt_id(up.get()), 4242);
    EXPECT_TRUE(ldns_pkt_rd(up.get()));
    EXPECT_TRUE(ldns_pkt_cd(up.get()));
    EXPECT_EQ(ldns_pkt_edns_udp_size(up.get()), kOwnPayload);
    EXPECT_TRUE(ldns_pkt_edns_do(up.get()));
    // The client's case goes upstream as it came (0x20 randomisation).
    const ldns_rr *question = ldns_rr_list_rr(ldns_pkt_question(up.get()), 0);
    char *name = ldns_rdf2str(ldns_rr_owner(question));
    EXPECT_STREQ(name, "Example.COM.");
    std::free(name);
}

TEST(UpstreamAnswers, AreMatchedByIdQuestionAndResponseBit) {
    const Query q = parsed(wire_of(query_packet("example.com.", LDNS_RR_TYPE_A).get()));
    Answer a;
    Packet right = answer_to(q, 9);
    push(right.get(), LDNS_SECTION_ANSWER, "example.com. 300 IN A 192.0.2.1");
    EXPECT_EQ(parse_answer(wire_of(right.get()), 9, q.question, a), AnswerVerdict::Ok);
    EXPECT_EQ(parse_answer(wire_of(right.get()), 10, q.question, a), AnswerVerdict::NotOurs);

    const Query other = parsed(wire_of(query_packet("example.org.", LDNS_RR_TYPE_A).get()));
    EXPECT_EQ(parse_answer(wire_of(right.get()), 9, other.question, a), AnswerVerdict::NotOurs);
    const Query aaaa = parsed(wire_of(query_packet("example.com.", LDNS_RR_TYPE_AAAA).get()));
    EXPECT_EQ(parse_answer(wire_of(right.get()), 9, aaaa.question, a), AnswerVerdict::NotOurs);
    // A server may answer in another case than it was asked.
    const Query shouted = parsed(wire_of(query_packet("EXAMPLE.com.", LDNS_RR_TYPE_A).get()));
    EXPECT_EQ(parse_answer(wire_of(right.get()), 9, shouted.question, a), AnswerVerdict::Ok);

    Bytes echo = make_upstream_query(q, 9);  // a query bounced back is no answer
    EXPECT_EQ(parse_answer(echo, 9, q.question, a), AnswerVerdict::NotOurs);
    Bytes cut = wire_of(right.get());
    cut.resize(cut.size() - 3);
    EXPECT_EQ(parse_answer(cut, 9, q.question, a), AnswerVerdict::Broken);
}

TEST(UpstreamAnswers, LiveForTheirSmallestTtlOrTheSoaMinimumAndNeverForAnError) {
    const Query q = parsed(wire_of(query_packet("example.com.", LDNS_RR_TYPE_A).get()));
    Answer a;
    Packet two = answer_to(q, 1);
    push(two.get(), LDNS_SECTION_ANSWER, "example.com. 300 IN A 192.0.2.1");
    push(two.get(), LDNS_SECTION_ANSWER, "example.com. 40 IN A 192.0.2.2");
    ASSERT_EQ(parse_answer(wire_of(two.get()), 1, q.question, a), AnswerVerdict::Ok);
    EXPECT_EQ(a.ttl, 40u);
    EXPECT_EQ(a.rcode, kNoError);

    Packet huge = answer_to(q, 1);
    push(huge.get(), LDNS_SECTION_ANSWER, "example.com. 2000000 IN A 192.0.2.1");
    ASSERT_EQ(parse_answer(wire_of(huge.get()), 1, q.question, a), AnswerVerdict::Ok);
    EXPECT_EQ(a.ttl, 86400u);

    Packet nx = answer_to(q, 1, LDNS_RCODE_NXDOMAIN);
    push(nx.get(), LDNS_SECTION_AUTHORITY, "com. 900 IN SOA a.gtld. nstld. 1 1800 900 604800 120");
    ASSERT_EQ(parse_answer(wire_of(nx.get()), 1, q.question, a), AnswerVerdict::Ok);
    EXPECT_EQ(a.rcode, kNxDomain);
    EXPECT_EQ(a.ttl, 120u);

    Packet nodata = answer_to(q, 1);
    push(nodata.get(), LDNS_SECTION_AUTHORITY, "example.com. 30 IN SOA ns. host. 1 1800 900 604800 3600");
    ASSERT_EQ(parse_answer(wire_of(nodata.get()), 1, q.question, a), AnswerVerdict::Ok);
    EXPECT_EQ(a.ttl, 30u);

    Packet bare_nx = answer_to(q, 1, LDNS_RCODE_NXDOMAIN);
    ASSERT_EQ(parse_answer(wire_of(bare_nx.get()), 1, q.question, a), AnswerVerdict::Ok);
    EXPECT_EQ(a.ttl, 0u);
    Packet servfail = answer_to(q, 1, LDNS_RCODE_SERVFAIL);
    ASSERT_EQ(parse_answer(wire_of(servfail.get()), 1, q.question, a), AnswerVerdict::Ok);
    EXPECT_EQ(a.rcode, kServFail);
    EXPECT_EQ(a.ttl, 0u);
    Packet cut = answer_to(q, 1);
    ldns_pkt_set_tc(cut.get(), true);
    ASSERT_EQ(parse_answer(wire_of(cut.get()), 1, q.question, a), AnswerVerdict::Ok);
    EXPECT_TRUE(a.truncated);
    EXPECT_EQ(a.ttl, 0u);
    EXPECT_TRUE(a.wire.empty());
    // Cut in the middle of a record, as some servers do: still a sign to
    // ask over TCP, as long as the question is ours.
    push(cut.get(), LDNS_SECTION_ANSWER, "example.com. 300 IN A 192.0.2.1");
    Bytes mid = wire_of(cut.get());
    mid.resize(mid.size() - 2);
    ASSERT_EQ(parse_answer(mid, 1, q.question, a), AnswerVerdict::Ok);
    EXPECT_TRUE(a.truncated);
    const Query other = parsed(wire_of(query_packet("example.org.", LDNS_RR_TYPE_A).get()));
    EXPECT_EQ(parse_answer(mid, 1, other.question, a), AnswerVerdict::NotOurs);
}

TEST(UpstreamAnswers, LoseTheirOptRecordAndKeepDnssecRecordsByteForByte) {
    const Query q = parsed(wire_of(query_packet("example.com.", LDNS_RR_TYPE_A).get()));
    Packet up = answer_to(q, 5);
    ldns_pkt_set_edns_do(up.get(), true);
    push(up.get(), LDNS_SECTION_ANSWER, "example.com. 300 IN A 192.0.2.1");
    const char *sig =
        "example.com. 300 IN RRSIG A 13 2 300 20261231000000 20261201000000 12345 example.com. "
        "oJB1W6WNGv+ldvQ3WDG0MQkg5IEhjRip8WTrPYGv07h108dUKGMeDPKijVCHX3DDKdfb+v6oB9wfuh3DTJXUAQ==";
    push(up.get(), LDNS_SECTION_ANSWER, sig);
    Answer a;
    ASSERT_EQ(parse_answer(wire_of(up.get()), 5, q.question, a), AnswerVerdict::Ok);
    Packet stored = read(a.wire);
    EXPECT_FALSE(ldns_pkt_edns(stored.get()));
    EXPECT_EQ(ldns_pkt_arcount(stored.get()), 0);
    EXPECT_EQ(ldns_pkt_id(stored.get()), 0);
    ASSERT_EQ(ldns_pkt_ancount(stored.get()), 2);
    ldns_rr *expected = nullptr;
    ASSERT_EQ(ldns_rr_new_frm_str(&expected, sig, 0, nullptr, nullptr), LDNS_STATUS_OK);
    EXPECT_EQ(ldns_rr_compare(ldns_rr_list_rr(ldns_pkt_answer(stored.get()), 1), expected), 0);
    ldns_rr_free(expected);
}

// One OPT and one TSIG at most, the TSIG last: anything else is not read
// (ldns would lose the memory of a second TSIG). A lone TSIG signs the
// server's message to the proxy and is not passed on.
TEST(UpstreamAnswers, DropTheirTsigAndAreBrokenWithASecondOptOrTsig) {
    const Query q = parsed(wire_of(query_packet("example.com.", LDNS_RR_TYPE_A).get()));
    Packet up = answer_to(q, 5);
    push(up.get(), LDNS_SECTION_ANSWER, "example.com. 300 IN A 192.0.2.1");
    const Bytes base = wire_of(up.get());  // its OPT is the only additional record
    ASSERT_EQ(base[11], 1);
    const Bytes opt = {0, 0, 41, 0x04, 0xd0, 0, 0, 0, 0, 0, 0};
    const Bytes tsig = {0, 0, 250, 0, 255, 0, 0, 0, 0, 0, 0};
    const auto with = [&](std::initializer_list<Bytes> extra) {
        Bytes w = base;
        for (const Bytes &r : extra) w.insert(w.end(), r.begin(), r.end());
        w[11] = static_cast<std::uint8_t>(1 + extra.size());
        return w;
    };
    Answer a;
    ASSERT_EQ(parse_answer(with({tsig}), 5, q.question, a), AnswerVerdict::Ok);
    Packet stored = read(a.wire);
    EXPECT_EQ(ldns_pkt_arcount(stored.get()), 0);
    EXPECT_EQ(ldns_pkt_tsig(stored.get()), nullptr);
    EXPECT_EQ(ldns_pkt_ancount(stored.get()), 1);

    EXPECT_EQ(parse_answer(with({opt}), 5, q.question, a), AnswerVerdict::Broken);
    EXPECT_EQ(parse_answer(with({tsig, tsig}), 5, q.question, a), AnswerVerdict::Broken);
    EXPECT_EQ(parse_answer(with({tsig, opt}), 5, q.question, a), AnswerVerdict::Broken);
}

TEST(QueryParsing, ASecondOptOrTsigOrOneOutsideTheAdditionalSectionIsFormErr) {
    Packet p = query_packet("example.com.", LDNS_RR_TYPE_A);
    ldns_pkt_set_edns_udp_size(p.get(), 1232);
    const Bytes base = wire_of(p.get());
    ASSERT_EQ(base[11], 1);
    const Bytes opt = {0, 0, 41, 0x04, 0xd0, 0, 0, 0, 0, 0, 0};
    const Bytes tsig = {0, 0, 250, 0, 255, 0, 0, 0, 0, 0, 0};
    Bytes two_opts = base;
    two_opts.insert(two_opts.end(), opt.begin(), opt.end());
    two_opts[11] = 2;
    EXPECT_EQ(parse_query(two_opts).verdict, QueryVerdict::FormErr);
    Bytes two_tsigs = base;
    for (int i = 0; i < 2; ++i) two_tsigs.insert(two_tsigs.end(), tsig.begin(), tsig.end());
    two_tsigs[11] = 3;
    EXPECT_EQ(parse_query(two_tsigs).verdict, QueryVerdict::FormErr);
    // The OPT moved into the authority section.
    Bytes misplaced = base;
    misplaced[9] = 1;
    misplaced[11] = 0;
    EXPECT_EQ(parse_query(misplaced).verdict, QueryVerdict::FormErr);
    EXPECT_EQ(parse_query(base).verdict, QueryVerdict::Ok);
}

// A stored answer of n A records for q.
Bytes stored_answer(const Query &q, int n, std::uint32_t ttl = 300) {
    Packet up = answer_to(q, 1);
    for (int i = 0; i < n; ++i) {
        const std::string rr = "example.com. " + std::to_string(ttl + i) + " IN A 192.0.2." + std::to_string(i % 250);
        push(up.get(), LDNS_SECTION_ANSWER, rr.c_str());
    }
    Answer a;
    EXPECT_EQ(parse_answer(wire_of(up.get()), 1, q.question, a), AnswerVerdict::Ok);
    return a.wire;
}

TEST(FinishedReplies, CarryTheClientsIdRdAndCaseAndTtlsCountedDown) {
    const Query first = parsed(wire_of(query_packet("example.com.", LDNS_RR_TYPE_A).get()));
    const Bytes stored = stored_answer(first, 2);
    const std::vector<TtlField> ttls = ttl_fields(stored);
    ASSERT_EQ(ttls.size(), 2u);

    Packet later = query_packet("eXaMpLe.CoM.", LDNS_RR_TYPE_A, 0x4321);
    ldns_pkt_set_rd(later.get(), false);
    const Query q = parsed(wire_of(later.get()));
    Bytes out(kMaxMessage);
    const std::size_t n = finish_reply(q, stored, ttls, 100, false, out);
    ASSERT_GT(n, 0u);
    out.resize(n);
    Packet reply = read(out);
    EXPECT_EQ(ldns_pkt_id(reply.get()), 0x4321);
    EXPECT_FALSE(ldns_pkt_rd(reply.get()));
    EXPECT_FALSE(ldns_pkt_edns(reply.get()));
    char *name = ldns_rdf2str(ldns_rr_owner(ldns_rr_list_rr(ldns_pkt_question(reply.get()), 0)));
    EXPECT_STREQ(name, "eXaMpLe.CoM.");
    std::free(name);
    EXPECT_EQ(ldns_rr_ttl(ldns_rr_list_rr(ldns_pkt_answer(reply.get()), 0)), 200u);
    EXPECT_EQ(ldns_rr_ttl(ldns_rr_list_rr(ldns_pkt_answer(reply.get()), 1)), 201u);
    // Past its TTL a record reads 0, never a wrapped-around number.
    out.assign(kMaxMessage, 0);
    out.resize(finish_reply(q, stored, ttls, 1000, false, out));
    EXPECT_EQ(ldns_rr_ttl(ldns_rr_list_rr(ldns_pkt_answer(read(out).get()), 0)), 0u);
}

TEST(FinishedReplies, AreCutWithTcBeyondWhatTheClientTakesOverUdpButWholeOverTcp) {
    const Query plain = parsed(wire_of(query_packet("example.com.", LDNS_RR_TYPE_A).get()));
    const Bytes stored = stored_answer(plain, 40);  // 40 x 16 bytes: over 512
    ASSERT_GT(stored.size(), 512u);
    ASSERT_LT(stored.size() + kOptSize, 1232u);
    const auto ttls = ttl_fields(stored);
    Bytes out(kMaxMessage);

    std::size_t n = finish_reply(plain, stored, ttls, 0, false, out);
    ASSERT_GT(n, 0u);
    Packet cut = read(Bytes(out.begin(), out.begin() + n));
    EXPECT_TRUE(ldns_pkt_tc(cut.get()));
    EXPECT_EQ(ldns_pkt_ancount(cut.get()), 0);
    EXPECT_EQ(ldns_pkt_qdcount(cut.get()), 1);

    n = finish_reply(plain, stored, ttls, 0, true, out);
    Packet whole = read(Bytes(out.begin(), out.begin() + n));
    EXPECT_FALSE(ldns_pkt_tc(whole.get()));
    EXPECT_EQ(ldns_pkt_ancount(whole.get()), 40);

    // With EDNS the client's size holds, up to our own, and the OPT counts.
    Packet big = query_packet("example.com.", LDNS_RR_TYPE_A);
    ldns_pkt_set_edns_udp_size(big.get(), 4096);
    ldns_pkt_set_edns_do(big.get(), true);
    const Query edns = parsed(wire_of(big.get()));
    n = finish_reply(edns, stored, ttls, 0, false, out);
    ASSERT_EQ(n, stored.size() + kOptSize);
    Packet fits = read(Bytes(out.begin(), out.begin() + n));
    EXPECT_FALSE(ldns_pkt_tc(fits.get()));
    EXPECT_TRUE(ldns_pkt_edns(fits.get()));
    EXPECT_TRUE(ldns_pkt_edns_do(fits.get()));
    EXPECT_EQ(ldns_pkt_ancount(fits.get()), 40);

    const Bytes larger = stored_answer(plain, 90);  // over 1232
    n = finish_reply(edns, larger, ttl_fields(larger), 0, false, out);
    Packet over = read(Bytes(out.begin(), out.begin() + n));
    EXPECT_TRUE(ldns_pkt_tc(over.get()));
    EXPECT_TRUE(ldns_pkt_edns(over.get()));

    // A buffer too small for even the header and question gets nothing.
    Bytes tiny(10);
    EXPECT_EQ(finish_reply(plain, stored, ttls, 0, false, tiny), 0u);
    // Nor does a stored answer to another question.
    const Query longer = parsed(wire_of(query_packet("www.example.com.", LDNS_RR_TYPE_A).get()));
    EXPECT_EQ(finish_reply(longer, Bytes(stored.begin(), stored.begin() + 20), ttls, 0, true, out), 0u);
}

TEST(TtlFields, StopAtBytesThatLieAboutTheirCounts) {
    const Query q = parsed(wire_of(query_packet("example.com.", LDNS_RR_TYPE_A).get()));
    Bytes stored = stored_answer(q, 3);
    EXPECT_EQ(ttl_fields(stored).size(), 3u);
    stored[7] = 200;  // 200 answers claimed
    EXPECT_TRUE(ttl_fields(stored).empty());
    stored[7] = 3;
    stored.resize(stored.size() - 2);
    EXPECT_TRUE(ttl_fields(stored).empty());
    EXPECT_TRUE(ttl_fields(Bytes{1, 2, 3}).empty());
}

TEST(Names, AreLoweredAndCheckedForLabelAndNameLengths) {
    EXPECT_EQ(name_to_wire("Ads.Example.com."), std::string("\3ads\7example\3com\0", 17));
    EXPECT_EQ(name_to_wire(""), std::string(1, '\0'));
    EXPECT_TRUE(name_to_wire("a..b").empty());
    EXPECT_TRUE(name_to_wire("a.b..").empty());
    EXPECT_TRUE(name_to_wire(std::string(64, 'a') + ".com").empty());
    EXPECT_FALSE(name_to_wire(std::string(63, 'a') + ".com").empty());
    std::string long_name;
    for (int i = 0; i < 4; ++i) long_name += std::string(63, 'a') + ".";
    EXPECT_TRUE(name_to_wire(long_name).empty());  // 4 x 64 + 1 bytes
}

}  // namespace
}  // namespace kel::dns
