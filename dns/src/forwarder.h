// Asks the configured name servers on behalf of the proxy's clients, from
// one thread. Each upstream query goes out from a socket of its own, bound
// to a port the system picks at random, with a random id (RFC 5452); an
// answer counts only when it comes from the server asked, with that id and
// that question. A server that stays silent past the timeout is skipped
// for the next one and asked last for a while after; a truncated answer is
// asked again over TCP; questions asked again while one is on its way wait
// for that one instead of going out twice.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kelplat/inet.h"
#include "kelplat/poller.h"
#include "message.h"
#include "stats.h"

namespace kel::dns {

struct Server {
    net::IpAddress address;
    std::uint16_t port = 53;
    bool operator==(const Server &) const = default;
};
// "192.0.2.1:53", "[2001:db8::1]:53".
std::string server_text(const Server &s);

class Forwarder {
public:
    struct Options {
        int timeout_ms = 1000;      // a server's time to answer over UDP before the next is asked
        int tcp_timeout_ms = 3000;  // the time for a whole exchange over TCP
        int slow_for_s = 60;        // how long a silent server is asked last
        std::size_t max_in_flight = 4096;  // questions on their way at once
    };
    // Called once for each resolve, on the forwarder's thread: the answer,
    // or null when no server gave one (the client gets SERVFAIL).
    using Done = std::function<void(const Answer *answer)>;

    struct Counts {
        std::uint64_t sent = 0;         // queries sent, UDP and TCP
        std::uint64_t answered = 0;     // questions answered by a server
        std::uint64_t failed = 0;       // questions no server answered
        std::uint64_t timeouts = 0;     // servers that let a query time out
        std::uint64_t tcp_retries = 0;  // truncated answers asked again over TCP
        std::uint64_t shared = 0;       // resolves that joined a question on its way
        std::uint64_t ignored = 0;      // datagrams that were not the answer waited for
    };

    // One server's share; kept across set_servers for those still set.
    struct ServerCounts {
        Server server;
        std::uint64_t sent = 0;      // queries sent to it, UDP and TCP
        std::uint64_t answered = 0;  // answers that ended a question
        std::uint64_t failures = 0;  // SERVFAIL, REFUSED, NOTIMP, unreadable, or a failed TCP exchange
        std::uint64_t timeouts = 0;
        std::uint64_t latency_us = 0;  // summed over the answered
        // Answered, by bucket of the status page's histogram (not cumulative).
        std::uint64_t latency[server::kDnsLatencyBounds + 1] = {};
    };

    Forwarder();
    explicit Forwarder(Options options);
    // Every question still on its way ends with null.
    ~Forwarder();
    Forwarder(const Forwarder &) = delete;
    Forwarder &operator=(const Forwarder &) = delete;

    // The servers asked, in order; questions already on their way keep theirs.
    void set_servers(std::vector<Server> servers);
    std::vector<Server> servers() const;

    // Asks for q, or joins the question of the same key on its way. False,
    // done not called, when too many questions are on their way or no
    // server is set.
    bool resolve(const Query &q, const std::string &key, Done done);

    Counts counts() const;
    // The servers set now, in their order.
    std::vector<ServerCounts> server_counts() const;
    std::size_t in_flight() const;

private:
    using Clock = std::chrono::steady_clock;
    struct Ask {
        Query query;
        std::string key;
        std::vector<Done> waiting;
        std::vector<Server> order;  // fast servers first
        std::size_t next = 0;       // the next one to ask
        Server server;              // the one asked now
        net::Socket sd = net::kInvalidSocket;
        std::uint16_t id = 0;
        Clock::time_point deadline;
        Clock::time_point sent_at;
        bool over_tcp = false;
        std::unique_ptr<Answer> last;  // a SERVFAIL or REFUSED, given if no server does better
    };
    struct TcpResult {
        Ask *ask;
        std::thread::id thread;
        std::vector<std::uint8_t> wire;  // empty: the exchange failed
    };

    void run();
    void start(Ask *ask);          // asks the next server, or ends the question
    void on_readable(Ask *ask);
    void on_answer(Ask *ask, Answer answer);
    void on_tcp(TcpResult result);
    void ask_over_tcp(Ask *ask);
    void finish(Ask *ask, const Answer *answer);
    void close_socket(Ask *ask);
    void mark_slow(const Server &s);
    std::vector<Server> order_now();  // holding mu_
    ServerCounts &counts_of(const Server &s);  // holding mu_
    void note_failure(const Server &s);
    void wake();

    const Options options_;
    net::Poller poller_;
    net::Socket wake_[2] = {net::kInvalidSocket, net::kInvalidSocket};

    mutable std::mutex mu_;
    std::vector<Server> servers_;
    std::vector<std::pair<Server, Clock::time_point>> slow_;  // until when
    std::map<std::string, std::unique_ptr<Ask>, std::less<>> asks_;
    std::vector<Ask *> starting_;
    std::vector<TcpResult> tcp_done_;
    std::vector<std::thread> tcp_threads_;
    Counts counts_;
    std::vector<ServerCounts> per_server_;
    bool stopping_ = false;

    // The forwarder thread's own: the socket of each question asked now.
    std::map<net::Socket, Ask *> by_socket_;
    std::thread thread_;
};

}  // namespace kel::dns
