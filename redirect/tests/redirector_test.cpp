// The redirector's listeners follow the snapshot: each binding listens and
// relays, a reload opens new ones and closes removed ones, and what was
// relayed before goes on.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "kelnet.h"
#include "kelplat/inet.h"
#include "kelplat/net.h"
#include "redirector.h"
#include "service.h"

namespace kel::redirect {
namespace {

// An echo server on loopback, one thread per connection.
class Echo {
public:
    Echo() {
        listener_ = net::listen_on(net::ipv4_address(net::addr_from_octets(127, 0, 0, 1)), 0);
        port_ = net::local_port(listener_);
        thread_ = std::thread([this] {
            for (;;) {
                const uint32_t c = net::accept_ip(listener_, nullptr, nullptr);
                if (c == net::kInvalidSocket) return;
                std::thread([c] {
                    char buf[256];
                    for (long n; (n = net::recv(c, buf, sizeof buf)) > 0;) net::send(c, buf, static_cast<size_t>(n));
                    net::close(c);
                }).detach();
            }
        });
    }
    ~Echo() {
        net::shutdown_both(listener_);
        thread_.join();
        net::close(listener_);
    }
    uint16_t port() const { return port_; }

private:
    uint32_t listener_;
    uint16_t port_;
    std::thread thread_;
};

// A port that is free now, for a binding's listened port.
uint16_t free_port() {
    const uint32_t s = net::listen_on(net::ipv4_address(net::addr_from_octets(127, 0, 0, 1)), 0);
    const uint16_t port = net::local_port(s);
    net::close(s);
    return port;
}

uint32_t connect_to(uint16_t port) {
    return kelnet_connecter(net::addr_from_octets(127, 0, 0, 1), net::host_to_net16(port));
}

std::string round_trip(uint32_t sd, const std::string &text) {
    if (kelnet_envoie(sd, text.data(), static_cast<int32_t>(text.size())) != 0) return "";
    std::string got(text.size(), '\0');
    size_t have = 0;
    while (have < got.size()) {
        const long n = net::recv(sd, got.data() + have, got.size() - have);
        if (n <= 0) return got.substr(0, have);
        have += static_cast<size_t>(n);
    }
    return got;
}

std::shared_ptr<server::Config> config_with(std::vector<server::Redirection> bindings, bool enabled = true) {
    auto c = std::make_shared<server::Config>();
    c->rdr.enabled = enabled;
    c->rdr.listen = {"127.0.0.1"};
    c->rdr.bindings = std::move(bindings);
    c->allowed = server::build_allow_list({});
    return c;
}

// Makes the snapshot the one connections take, and the listeners follow it.
bool follow(const std::shared_ptr<server::Config> &c, std::string *why) {
    server::publish_config(c);
    return reconcile(*c, why);
}

class Redirector : public ::testing::Test {
protected:
    void SetUp() override {
        testing::internal::CaptureStdout();
        kelnet_fixe_delais(10, 10, 10);
    }
    void TearDown() override {
        stop_all();
        testing::internal::GetCapturedStdout();
        kelnet_fixe_delais(0, 0, 0);
    }
    Echo echo_;
    std::string why_;
};

TEST_F(Redirector, EachBindingRelaysToItsDestination) {
    const uint16_t a = free_port(), b = free_port();
    ASSERT_TRUE(follow(config_with({{a, echo_.port(), "127.0.0.1", "RDRBinding0"},
                                   {b, echo_.port(), "localhost", "RDRBinding1"}}),
                      &why_))
        << why_;
    EXPECT_EQ(listening_ports(), (std::vector<uint16_t>{std::min(a, b), std::max(a, b)}));
    for (uint16_t port : {a, b}) {
        const uint32_t c = connect_to(port);
        ASSERT_NE(c, KELNET_INVALIDE);
        EXPECT_EQ(round_trip(c, "hello " + std::to_string(port)), "hello " + std::to_string(port));
        kelnet_fermer(c);
    }
    EXPECT_NE(server::listening_lines().find("rdr 127.0.0.1:" + std::to_string(a)), std::string::npos);
}

TEST_F(Redirector, AReloadClosesRemovedBindingsAndLeavesTheirConnections) {
    const uint16_t a = free_port(), b = free_port();
    ASSERT_TRUE(follow(config_with({{a, echo_.port(), "127.0.0.1", "RDRBinding0"},
                                   {b, echo_.port(), "127.0.0.1", "RDRBinding1"}}),
                      &why_));
    const uint32_t kept = connect_to(a);
    ASSERT_NE(kept, KELNET_INVALIDE);
    ASSERT_EQ(round_trip(kept, "before"), "before");
    // Binding a goes; b stays.
    ASSERT_TRUE(follow(config_with({{b, echo_.port(), "127.0.0.1", "RDRBinding0"}}), &why_)) << why_;
    EXPECT_EQ(listening_ports(), std::vector<uint16_t>{b});
    EXPECT_EQ(connect_to(a), KELNET_INVALIDE) << "the removed binding's port still accepts";
    EXPECT_EQ(round_trip(kept, "after"), "after") << "a relayed connection ended with its binding";
    kelnet_fermer(kept);
    // A new binding opens.
    const uint16_t c = free_port();
    ASSERT_TRUE(follow(config_with({{b, echo_.port(), "127.0.0.1", "RDRBinding0"},
                                   {c, echo_.port(), "127.0.0.1", "RDRBinding1"}}),
                      &why_));
    const uint32_t fresh = connect_to(c);
    ASSERT_NE(fresh, KELNET_INVALIDE);
    EXPECT_EQ(round_trip(fresh, "new"), "new");
    kelnet_fermer(fresh);
}

TEST_F(Redirector, TurningTheRedirectorOffClosesEveryListener) {
    const uint16_t a = free_port();
    ASSERT_TRUE(follow(config_with({{a, echo_.port(), "127.0.0.1", "RDRBinding0"}}), &why_));
    ASSERT_TRUE(follow(config_with({{a, echo_.port(), "127.0.0.1", "RDRBinding0"}}, /*enabled=*/false), &why_));
    EXPECT_TRUE(listening_ports().empty());
    EXPECT_EQ(connect_to(a), KELNET_INVALIDE);
    EXPECT_EQ(server::listening_lines().find("rdr "), std::string::npos);
}

TEST_F(Redirector, APortTakenElsewhereIsNamedAndTheOthersListen) {
    const uint32_t taken = net::listen_on(net::ipv4_address(net::addr_from_octets(127, 0, 0, 1)), 0);
    const uint16_t busy = net::local_port(taken);
    const uint16_t free = free_port();
    EXPECT_FALSE(follow(config_with({{busy, echo_.port(), "127.0.0.1", "RDRBinding0"},
                                    {free, echo_.port(), "127.0.0.1", "RDRBinding1"}}),
                       &why_));
    EXPECT_NE(why_.find("RDRBinding0 in section RDR cannot listen"), std::string::npos) << why_;
    EXPECT_NE(why_.find(":" + std::to_string(busy)), std::string::npos) << why_;
    EXPECT_EQ(listening_ports(), std::vector<uint16_t>{free});
    net::close(taken);
}

TEST_F(Redirector, ADestinationThatCannotBeReachedClosesTheClient) {
    const uint16_t a = free_port();
    const uint16_t nobody = free_port();
    ASSERT_TRUE(follow(config_with({{a, nobody, "127.0.0.1", "RDRBinding0"}}), &why_));
    const uint32_t c = connect_to(a);
    ASSERT_NE(c, KELNET_INVALIDE);
    char byte = 0;
    EXPECT_LE(net::recv(c, &byte, 1), 0) << "the client was not closed";
    kelnet_fermer(c);
}

}  // namespace
}  // namespace kel::redirect
