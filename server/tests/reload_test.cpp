// A reload builds the new allow-list, ad-host table, image and limits aside
// and swaps them in at once: all of them or, on any bad value or file, none.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kelnet.h"
#include "kelplat/net.h"
#include "test_support.h"
#include "valdrin_http.h"
#include "valdrin_internal.h"

namespace kel::server::test {
namespace {

using namespace std::chrono_literals;

uint32_t ip(unsigned a, unsigned b, unsigned c, unsigned d) { return net::addr_from_octets(a, b, c, d); }

bool allowed(unsigned a, unsigned b, unsigned c, unsigned d) { return valdrin_ip_mask_valide(ip(a, b, c, d)) == 1; }
bool listed(const char *host) { return valdrin_host_mask_contient(host) == 1; }

std::string image_text() {
    auto image = current_image();
    if (image == nullptr) return "";
    return std::string(reinterpret_cast<const char *>(image->bytes), static_cast<size_t>(image->length));
}

// Two complete configurations; each names its own client network, ad host,
// image and cap, and both list shared.test.
struct Generation {
    std::string allowed_host;  // AllowedHost0
    std::string ad_host;
    std::string image;
    std::string max_clients;
};
const Generation kFirst{"10.*", "first.test", std::string(100, 'A'), "111"};
const Generation kSecond{"192.168.1.*", "second.test", std::string(300, 'B'), "222"};

std::string ini_of(const Generation &g, const std::string &extra_http = "") {
    // The first of repeated keys wins: the extra ones go first.
    return "[Main]\nAllowedHost0=" + g.allowed_host + "\n[HTTP]\n" + extra_http +
           "HTTPEnabled=true\nHTTPPort=3128\nAdHostsEnabled=true\nHTTPMaxClients=" + g.max_clients + "\n";
}

class Reload : public ::testing::Test {
protected:
    void SetUp() override {
        folder_.enter();
        g_http_port = 3128;
        reset_ip_mask_for_tests();
        reset_ad_hosts_for_tests();
        write(kFirst);
        ASSERT_EQ(quiet_reload(), 0);
    }
    void TearDown() override {
        reset_ip_mask_for_tests();
        reset_ad_hosts_for_tests();
        publish_config(nullptr);
        AccessLog::instance().configure("");
        kelnet_fixe_delais(0, 0, 0);
        kelnet_fixe_max_clients(0, nullptr);
    }

    void write(const Generation &g, const std::string &extra_http = "") {
        use_configuration(folder_, ini_of(g, extra_http));
        // Hosts both generations list, the last of them read last: a
        // table seen half-built would miss it.
        std::string hosts = "shared.test\r\n";
        for (int i = 0; i < 300; ++i) hosts += "host" + std::to_string(i) + ".shared.test\n";
        folder_.write("adhosts", hosts + g.ad_host + "\n");
        folder_.write("valdrin.sys", g.image);
    }

    // Reloads with the output captured into out_ and err_.
    int32_t quiet_reload() {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int32_t r = reload_configuration();
        err_ = ::testing::internal::GetCapturedStderr();
        out_ = ::testing::internal::GetCapturedStdout();
        return r;
    }

    // The running configuration is exactly this generation.
    ::testing::AssertionResult Runs(const Generation &g) {
        const bool first = &g == &kFirst;
        const bool ok = allowed(127, 0, 0, 1) && allowed(10, 1, 2, 3) == first &&
                        allowed(192, 168, 1, 9) == !first && listed("shared.test") &&
                        listed(g.ad_host.c_str()) && !listed((first ? kSecond : kFirst).ad_host.c_str()) &&
                        image_text() == g.image && g_http_max_clients == std::stoi(g.max_clients);
        if (ok) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "10.1.2.3 " << allowed(10, 1, 2, 3) << ", 192.168.1.9 " << allowed(192, 168, 1, 9) << ", "
               << g.ad_host << " " << listed(g.ad_host.c_str()) << ", image of " << image_text().size()
               << " bytes, HTTPMaxClients " << g_http_max_clients;
    }

    TempFolder folder_;
    std::string out_, err_;
};

TEST_F(Reload, SwapsTheAllowListAdTableImageAndLimitsTogether) {
    EXPECT_TRUE(Runs(kFirst));
    EXPECT_NE(out_.find("302 ad-domains loaded."), std::string::npos) << out_;
    write(kSecond);
    EXPECT_EQ(quiet_reload(), 0) << err_;
    EXPECT_TRUE(Runs(kSecond));
    write(kFirst);
    EXPECT_EQ(quiet_reload(), 0) << err_;
    EXPECT_TRUE(Runs(kFirst));
}

TEST_F(Reload, TurningAdHostsOffEmptiesTheTable) {
    use_configuration(folder_, "[HTTP]\nHTTPEnabled=true\nAdHostsEnabled=false\n");
    EXPECT_EQ(quiet_reload(), 0) << err_;
    EXPECT_FALSE(listed("shared.test"));
    EXPECT_TRUE(allowed(127, 0, 0, 1));
    EXPECT_FALSE(allowed(10, 1, 2, 3));
}

TEST_F(Reload, RefusedConfigurationLeavesTheRunningOneWhole) {
    struct Fault {
        const char *what;
        std::function<void()> make;
        const char *named;  // in the diagnostic or start-up lines
    };
    const std::vector<Fault> faults = {
        {"bad limit", [&] { write(kSecond, "HTTPIdleTimeout=soon\n"); }, "HTTPIdleTimeout 'soon'"},
        {"limit out of range", [&] { write(kSecond, "HTTPConnectTimeout=2000001\n"); }, "HTTPConnectTimeout"},
        {"bad port", [&] { write(kSecond, "HTTPPort=70000\n"); }, "HTTPPort '70000'"},
        {"no adhosts", [&] {
             write(kSecond);
             fs::remove(folder_.path() / "adhosts");
         }, "Unable to open adhosts file"},
        {"empty image", [&] {
             write(kSecond);
             folder_.write("valdrin.sys", "");
         }, "valdrin.sys"},
        {"no image", [&] {
             write(kSecond);
             fs::remove(folder_.path() / "valdrin.sys");
         }, "valdrin.sys"},
    };
    for (const Fault &fault : faults) {
        fault.make();
        EXPECT_EQ(quiet_reload(), -1) << fault.what;
        EXPECT_NE((out_ + err_).find(fault.named), std::string::npos) << fault.what << ": " << out_ << err_;
        EXPECT_TRUE(Runs(kFirst)) << fault.what;
    }
    // Mended, the same files load.
    write(kSecond);
    EXPECT_EQ(quiet_reload(), 0) << err_;
    EXPECT_TRUE(Runs(kSecond));
}

TEST_F(Reload, PortOrEnabledChangeIsReportedAsNeedingARestart) {
    write(kSecond, "HTTPPort=8080\n");
    EXPECT_EQ(quiet_reload(), 1);
    EXPECT_NE(out_.find("HTTPPort is 8080 in section HTTP now: the proxy goes on listening on 3128 until it is "
                        "restarted"),
              std::string::npos)
        << out_;
    EXPECT_TRUE(Runs(kSecond)) << "the rest applies at once";
    EXPECT_EQ(g_http_port, 3128);

    use_configuration(folder_, "[HTTP]\nHTTPEnabled=false\nAdHostsEnabled=true\n");
    EXPECT_EQ(quiet_reload(), 1);
    EXPECT_NE(out_.find("HTTPEnabled is no longer true"), std::string::npos) << out_;
}

TEST_F(Reload, ImageHeldByASenderOutlivesTheSwap) {
    auto held = current_image();
    ASSERT_NE(held, nullptr);
    write(kSecond);
    ASSERT_EQ(quiet_reload(), 0);
    EXPECT_EQ(image_text(), kSecond.image);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(held->bytes), static_cast<size_t>(held->length)),
              kFirst.image);
}

TEST_F(Reload, ImageFallsBackToTheDataFolder) {
    TempFolder data;
    data.write("valdrin.sys", "from the data folder");
    ASSERT_EQ(valdrin_http_fixe_dossiers(nullptr, data.path().c_str()), 0);
    write(kSecond);
    EXPECT_EQ(replacement_image_path(), "valdrin.sys") << "the configuration's own folder comes first";
    fs::remove(folder_.path() / "valdrin.sys");
    EXPECT_EQ(replacement_image_path(), (data.path() / "valdrin.sys").string());
    EXPECT_EQ(quiet_reload(), 0) << err_;
    EXPECT_EQ(image_text(), "from the data folder");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(valdrin_http_fixe_dossiers("", nullptr), -1);
    EXPECT_EQ(valdrin_http_fixe_dossiers(nullptr, std::string(1024, 'x').c_str()), -1);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("folder name empty or longer than 1023 bytes"),
              std::string::npos);
    reset_folders_for_tests();
}

// Look-ups on many threads while reloads alternate between the two
// generations: each answer is one generation's, and what both generations
// share never flickers out. Run it under ThreadSanitizer too.
TEST_F(Reload, LookUpsDuringReloadsSeeOneGenerationOrTheOther) {
    std::atomic<bool> stop{false};
    std::atomic<long> checks{0};
    std::atomic<long> faults{0};
    std::string first_fault;
    std::mutex fault_mutex;
    auto fault = [&](const std::string &what) {
        if (faults++ == 0) {
            std::lock_guard<std::mutex> hold(fault_mutex);
            first_fault = what;
        }
    };
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                if (!allowed(127, 0, 0, 1)) fault("127.0.0.1 refused");
                if (!listed("shared.test")) fault("shared.test not listed");
                if (!listed("host299.shared.test")) fault("host299.shared.test not listed");
                const std::string image = image_text();
                if (image != kFirst.image && image != kSecond.image) fault("image of " + std::to_string(image.size()));
                const int32_t cap = setting(g_http_max_clients);
                if (cap != 111 && cap != 222) fault("HTTPMaxClients " + std::to_string(cap));
                // What a connection takes: one snapshot, all of one generation.
                const auto config = current_config();
                const bool first = allows(config->allowed, net::ipv4_address(ip(10, 1, 2, 3)));
                const Generation &g = first ? kFirst : kSecond;
                const bool whole =
                    allows(config->allowed, net::ipv4_address(ip(192, 168, 1, 9))) == !first &&
                    config->http.limits.max_clients == std::stoi(g.max_clients) && config->blocked->blocks(g.ad_host) &&
                    !config->blocked->blocks((first ? kSecond : kFirst).ad_host) &&
                    std::string(reinterpret_cast<const char *>(config->image->bytes),
                                static_cast<size_t>(config->image->length)) == g.image;
                if (!whole) fault("a snapshot mixes two generations");
                ++checks;
            }
        });
    }
    // A count, not a time: a busy machine only makes it slower.
    constexpr int kReloads = 60;
    for (int reloads = 0; reloads < kReloads; ++reloads) {
        write(reloads % 2 == 0 ? kSecond : kFirst);
        ASSERT_EQ(quiet_reload(), 0) << err_;
    }
    // The readers have looked at least once before they stop.
    for (int i = 0; i < 100000 && checks.load() < 4; ++i) std::this_thread::yield();
    stop = true;
    for (auto &r : readers) r.join();
    EXPECT_EQ(faults.load(), 0) << first_fault;
    EXPECT_GE(checks.load(), 4);
}

}  // namespace
}  // namespace kel::server::test
