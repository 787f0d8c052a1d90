// The activity component, loaded by name from a temporary copy of its
// folder, against a stand-in daemon and, when it is built, the real one.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "autostart.h"
#include "reload_verdict.h"
#include "valdrin_activity.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using Entry = int16_t (*)(int32_t);

std::string slurp(const fs::path &p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// True while any thread of the process has not ended.
bool process_exists(int pid) {
    const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code ec;
    for (const auto &t : fs::directory_iterator(tasks, ec)) {
        std::ifstream in(t.path() / "stat");
        std::string stat;
        if (!std::getline(in, stat)) continue;
        auto close = stat.rfind(')');
        if (close != std::string::npos && stat.at(close + 2) != 'Z' && stat.at(close + 2) != 'X') return true;
    }
    return false;
}

// Connects to 127.0.0.1:port; true when something accepts.
bool accepts(int port) {
    int sd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(sd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    ::close(sd);
    return ok;
}

int free_port() {
    int sd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(sd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    ::getsockname(sd, reinterpret_cast<sockaddr *>(&addr), &len);
    ::close(sd);
    return ntohs(addr.sin_port);
}

class Activity : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/valdrin-activity-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        dist_ = root_ / "dist";
        run_ = root_ / "run";
        home_ = root_ / "home";
        fs::create_directories(dist_);
        fs::create_directories(run_);
        fs::create_directories(home_);
        fs::permissions(run_, fs::perms::owner_all);
        fs::copy_file(FAKE_PROXY, dist_ / "valdrin_proxy");
        std::ofstream(dist_ / "valdrin.conf") << "[HTTP]\nHTTPEnabled=true\n";
        ::setenv("XDG_RUNTIME_DIR", run_.c_str(), 1);
        ::setenv("HOME", home_.c_str(), 1);
        ::unsetenv("XDG_CONFIG_HOME");
        ::unsetenv("FAKE_PROXY_MODE");
    }

    void TearDown() override {
        if (stop_) stop_(1);
        // A daemon the component failed to stop is ours to end, by its pid.
        if (auto pid = daemon_pid(); pid > 0 && process_exists(pid)) ::kill(pid, SIGKILL);
        if (lib_) ::dlclose(lib_);
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    // Loads the component by name from `folder`, as the agent does.
    void load(const fs::path &folder) {
        if (!fs::exists(folder / "libvaldrin_activity.so"))
            fs::copy_file(ACTIVITY_LIB, folder / "libvaldrin_activity.so");
        lib_ = ::dlopen((folder / "libvaldrin_activity.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib_, nullptr) << ::dlerror();
        poll_ = reinterpret_cast<Entry>(::dlsym(lib_, "activity_poll"));
        start_ = reinterpret_cast<Entry>(::dlsym(lib_, "activity_start"));
        stop_ = reinterpret_cast<Entry>(::dlsym(lib_, "activity_stop"));
        auto_ = reinterpret_cast<Entry>(::dlsym(lib_, "activity_auto"));
        noauto_ = reinterpret_cast<Entry>(::dlsym(lib_, "activity_noauto"));
        reload_ = reinterpret_cast<Entry>(::dlsym(lib_, "activity_reload"));
        ASSERT_TRUE(poll_ && start_ && stop_ && auto_ && noauto_ && reload_);
    }

    int daemon_pid() const {
        std::ifstream in(run_ / "valdrin_proxy.pid");
        int pid = 0;
        in >> pid;
        return pid;
    }

    fs::path root_, dist_, run_, home_;
    void *lib_ = nullptr;
    Entry poll_ = nullptr, start_ = nullptr, stop_ = nullptr, auto_ = nullptr, noauto_ = nullptr,
          reload_ = nullptr;
};

TEST_F(Activity, StartRunsTheProxyDetachedAndStopEndsIt) {
    load(dist_);
    EXPECT_EQ(poll_(0), 0);
    ASSERT_EQ(start_(1), 1);
    EXPECT_EQ(poll_(0) & VALDRIN_ACTIVITY_RUNNING, VALDRIN_ACTIVITY_RUNNING);
    const int pid = daemon_pid();
    ASSERT_GT(pid, 1);
    // A session of its own, and not our child: it outlives the agent.
    EXPECT_NE(::getsid(pid), ::getsid(0));
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(slurp(run_ / "valdrin_proxy.pid.args"),
              (dist_ / "valdrin_proxy").string() + "\n--config\n" + (dist_ / "valdrin.conf").string() +
                  "\n--pidfile\n" + (run_ / "valdrin_proxy.pid").string() + "\n--ports-file\n" +
                  (run_ / "valdrin_proxy.ports").string() + "\n");
    // Start returns once the daemon says where it listens.
    EXPECT_EQ(slurp(run_ / "valdrin_proxy.ports").rfind("http 127.0.0.1:", 0), 0u) << slurp(run_ / "valdrin_proxy.ports");

    EXPECT_EQ(stop_(1), 1);
    EXPECT_FALSE(process_exists(pid));
    EXPECT_FALSE(fs::exists(run_ / "valdrin_proxy.pid"));
    EXPECT_FALSE(fs::exists(run_ / "valdrin_proxy.ports"));
    EXPECT_EQ(poll_(0) & VALDRIN_ACTIVITY_RUNNING, 0);
}

TEST_F(Activity, StartTwiceKeepsOneDaemon) {
    load(dist_);
    ASSERT_EQ(start_(1), 1);
    const int first = daemon_pid();
    EXPECT_EQ(start_(1), 1);
    EXPECT_EQ(daemon_pid(), first);
    EXPECT_TRUE(process_exists(first));
}

TEST_F(Activity, PollCountsOnlyAListeningProxyAsRunning) {
    ::setenv("FAKE_PROXY_MODE", "nolisten", 1);
    load(dist_);
    EXPECT_EQ(start_(1), 1);  // alive, so left to later polls
    const int pid = daemon_pid();
    ASSERT_TRUE(process_exists(pid));
    EXPECT_EQ(poll_(0) & VALDRIN_ACTIVITY_RUNNING, 0);
    EXPECT_EQ(stop_(1), 1);
    EXPECT_FALSE(process_exists(pid));
}

TEST_F(Activity, StartReportsAProxyThatEndsAtOnce) {
    ::setenv("FAKE_PROXY_MODE", "fail", 1);
    load(dist_);
    EXPECT_EQ(start_(1), 0);
    EXPECT_EQ(poll_(0), 0);
}

TEST_F(Activity, StartFailsWhenTheProxyIsMissing) {
    fs::remove(dist_ / "valdrin_proxy");
    load(dist_);
    EXPECT_EQ(start_(1), 0);
    EXPECT_EQ(poll_(0), 0);
}

TEST_F(Activity, StopLeavesAProcessThatIsNotOurProxyAlone) {
    load(dist_);
    const pid_t other = ::fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        ::pause();
        ::_exit(0);
    }
    std::ofstream(run_ / "valdrin_proxy.pid") << other << "\n";
    EXPECT_EQ(poll_(0) & VALDRIN_ACTIVITY_RUNNING, 0);
    EXPECT_EQ(stop_(1), 1);
    EXPECT_EQ(::waitpid(other, nullptr, WNOHANG), 0) << "a foreign process was signalled";
    ::kill(other, SIGKILL);
    ::waitpid(other, nullptr, 0);
    fs::remove(run_ / "valdrin_proxy.pid");
}

TEST_F(Activity, StartReplacesAStalePidFile) {
    load(dist_);
    std::ofstream(run_ / "valdrin_proxy.pid") << "999999999\n";
    ASSERT_EQ(start_(1), 1);
    EXPECT_NE(daemon_pid(), 999999999);
    EXPECT_EQ(poll_(0) & VALDRIN_ACTIVITY_RUNNING, VALDRIN_ACTIVITY_RUNNING);
}

TEST_F(Activity, AutoAndNoautoCreateAndRemoveTheAutostartEntry) {
    load(dist_);
    const fs::path entry = home_ / ".config/autostart/valdrin-proxy.desktop";
    ASSERT_EQ(auto_(1), 1);
    ASSERT_TRUE(fs::exists(entry));
    const std::string text = slurp(entry);
    EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos);
    EXPECT_NE(text.find("\nExec=" + (dist_ / "valdrin_proxy").string() + " --config " +
                        (dist_ / "valdrin.conf").string() + " --pidfile " + (run_ / "valdrin_proxy.pid").string() +
                        " --ports-file " + (run_ / "valdrin_proxy.ports").string() + "\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(poll_(0), VALDRIN_ACTIVITY_AUTOSTART);

    EXPECT_EQ(noauto_(1), 1);
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_EQ(poll_(0), 0);
    EXPECT_EQ(noauto_(1), 1) << "removing a missing entry is no failure";
}

TEST_F(Activity, AutostartHonoursXdgConfigHome) {
    ::setenv("XDG_CONFIG_HOME", (root_ / "cfg").c_str(), 1);
    load(dist_);
    ASSERT_EQ(auto_(1), 1);
    EXPECT_TRUE(fs::exists(root_ / "cfg/autostart/valdrin-proxy.desktop"));
    EXPECT_FALSE(fs::exists(home_ / ".config"));
    EXPECT_EQ(poll_(0), VALDRIN_ACTIVITY_AUTOSTART);
}

TEST_F(Activity, StartReplacesAStalePortsFile) {
    load(dist_);
    std::ofstream(run_ / "valdrin_proxy.ports") << "http 127.0.0.1:1\n";
    ASSERT_EQ(start_(1), 1);
    EXPECT_NE(slurp(run_ / "valdrin_proxy.ports"), "http 127.0.0.1:1\n");
}

TEST_F(Activity, ReloadAnswersWithTheDaemonsVerdict) {
    load(dist_);
    ASSERT_EQ(start_(1), 1);
    const int pid = daemon_pid();
    auto next_verdict = [&](const char *mode) {
        std::ofstream(run_ / "valdrin_proxy.pid.reload", std::ios::trunc) << mode << "\n";
        return reload_(1);
    };
    EXPECT_EQ(next_verdict("ok"), 1) << slurp(run_ / "valdrin_proxy.log");
    EXPECT_EQ(next_verdict("restart"), 2) << slurp(run_ / "valdrin_proxy.log");
    EXPECT_EQ(next_verdict("refuse"), 3) << slurp(run_ / "valdrin_proxy.log");
    // Only what the daemon wrote after this signal counts, not the refusal above.
    EXPECT_EQ(next_verdict("ok"), 1) << slurp(run_ / "valdrin_proxy.log");
    EXPECT_EQ(daemon_pid(), pid);
    EXPECT_TRUE(process_exists(pid));
}

TEST_F(Activity, ReloadWithoutADaemonOfOursIsZeroAndSignalsNobody) {
    load(dist_);
    EXPECT_EQ(reload_(1), 0);
    // SIGHUP would end this child: its survival shows that none was sent.
    const pid_t other = ::fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        ::pause();
        ::_exit(0);
    }
    std::ofstream(run_ / "valdrin_proxy.pid") << other << "\n";
    EXPECT_EQ(reload_(1), 0);
    EXPECT_EQ(::waitpid(other, nullptr, WNOHANG), 0) << "a foreign process was signalled";
    ::kill(other, SIGKILL);
    ::waitpid(other, nullptr, 0);
    fs::remove(run_ / "valdrin_proxy.pid");
}

TEST_F(Activity, ReloadOfADaemonThatEndsWithoutAVerdictIsZero) {
    load(dist_);
    ASSERT_EQ(start_(1), 1);
    const int pid = daemon_pid();
    std::ofstream(run_ / "valdrin_proxy.pid.reload") << "exit\n";
    EXPECT_EQ(reload_(1), 0);
    EXPECT_FALSE(process_exists(pid));
}

TEST_F(Activity, ReloadGivesUpWhenNoVerdictComesInTime) {
    load(dist_);
    ASSERT_EQ(start_(1), 1);
    const int pid = daemon_pid();
    std::ofstream(run_ / "valdrin_proxy.pid.reload") << "silent\n";
    // Bounded by the component's own wait (10 s).
    EXPECT_EQ(reload_(1), 0);
    EXPECT_TRUE(process_exists(pid));
    EXPECT_NE(slurp(run_ / "valdrin_proxy.log").find("reloading is not what this one does"), std::string::npos);
}

TEST(ReloadVerdictLines, TellsTheThreeVerdictsApart) {
    using kel::activity::find_reload_verdict;
    using kel::activity::ReloadVerdict;
    EXPECT_EQ(find_reload_verdict("valdrin_proxy: configuration reloaded from /srv/valdrin.conf\n"),
              ReloadVerdict::Reloaded);
    EXPECT_EQ(find_reload_verdict("valdrin_proxy: configuration reloaded from /srv/valdrin.conf (a restart is "
                                  "needed for the change of HTTPPort or HTTPEnabled)\n"),
              ReloadVerdict::RestartNeeded);
    EXPECT_EQ(find_reload_verdict("valdrin_proxy: configuration reloaded from /srv/valdrin.conf (a restart is "
                                  "needed for a change said above)\n"),
              ReloadVerdict::RestartNeeded);
    EXPECT_EQ(find_reload_verdict("/srv/valdrin.conf:4: SocksPort: \"x\" is not a port\n"
                                  "valdrin_proxy: reload of /srv/valdrin.conf failed (see the line above); the "
                                  "running configuration is kept\n"),
              ReloadVerdict::Refused);
}

TEST(ReloadVerdictLines, ReadsOnlyCompleteLinesAndTheFirstVerdict) {
    using kel::activity::find_reload_verdict;
    using kel::activity::ReloadVerdict;
    const std::string restart =
        "valdrin_proxy: configuration reloaded from /a (a restart is needed for a change said above)\n";
    // Cut anywhere before its end, the line is not read yet: never a plain
    // "reloaded" from the first half of a "restart needed".
    for (size_t cut = 0; cut + 1 < restart.size(); ++cut)
        EXPECT_EQ(find_reload_verdict(restart.substr(0, cut)), ReloadVerdict::None) << "cut " << cut;
    EXPECT_EQ(find_reload_verdict(restart), ReloadVerdict::RestartNeeded);
    EXPECT_EQ(find_reload_verdict("noise\r\n" + restart + "valdrin_proxy: configuration reloaded from /a\n"),
              ReloadVerdict::RestartNeeded);
    EXPECT_EQ(find_reload_verdict("valdrin_proxy: configuration reloaded from /a\r\n"), ReloadVerdict::Reloaded);
}

TEST(ReloadVerdictLines, IgnoresLookalikes) {
    using kel::activity::find_reload_verdict;
    using kel::activity::ReloadVerdict;
    EXPECT_EQ(find_reload_verdict(""), ReloadVerdict::None);
    EXPECT_EQ(find_reload_verdict("valdrin_proxy: HTTP proxy listening on [::]:3128, configuration /a\n"),
              ReloadVerdict::None);
    EXPECT_EQ(find_reload_verdict(" valdrin_proxy: configuration reloaded from /a\n"), ReloadVerdict::None);
    EXPECT_EQ(find_reload_verdict("valdrin_proxy: reload of /a failed\n"), ReloadVerdict::None);
    // A path holding the note's words is no note.
    EXPECT_EQ(find_reload_verdict("valdrin_proxy: configuration reloaded from /srv/x (a restart is needed for y)/a.conf\n"),
              ReloadVerdict::Reloaded);
}

TEST(DesktopExec, QuotesOnlyArgumentsThatNeedIt) {
    using kel::activity::desktop_exec_arg;
    EXPECT_EQ(desktop_exec_arg("/opt/valdrin/valdrin_proxy"), "/opt/valdrin/valdrin_proxy");
    EXPECT_EQ(desktop_exec_arg("/home/ann/My Proxy/valdrin.conf"), "\"/home/ann/My Proxy/valdrin.conf\"");
    EXPECT_EQ(desktop_exec_arg(""), "\"\"");
}

TEST(DesktopExec, EscapesShellAndFieldCodeCharacters) {
    using kel::activity::desktop_exec_arg;
    // $ takes a backslash inside quotes, which the string value then doubles.
    EXPECT_EQ(desktop_exec_arg("/srv/$x"), "\"/srv/\\\\$x\"");
    EXPECT_EQ(desktop_exec_arg("/srv/a\"b"), "\"/srv/a\\\\\"b\"");
    EXPECT_EQ(desktop_exec_arg("/srv/100%"), "/srv/100%%");
    EXPECT_EQ(desktop_exec_arg("/srv/a\nb"), "\"/srv/a\\nb\"");
}

// A private copy of the ready-to-run folder that holds the real daemon.
class RealProxy : public Activity {
protected:
    void SetUp() override {
        Activity::SetUp();
        const std::string real = REAL_PROXY;
        if (real.empty() || !fs::exists(real)) GTEST_SKIP() << "valdrin_proxy is not built";
        copy_ = root_ / "realdist";
        fs::create_directories(copy_);
        for (const auto &e : fs::directory_iterator(fs::path(real).parent_path()))
            if (e.is_regular_file()) fs::copy_file(e.path(), copy_ / e.path().filename());
        port_ = free_port();
        configure("");
    }

    // The HTTP proxy alone, on the free port, with `extra` lines after.
    void configure(const std::string &extra) {
        std::ofstream(copy_ / "valdrin.conf", std::ios::trunc)
            << "[Main]\n[HTTP]\nHTTPEnabled=true\nHTTPPort=" << port_ << "\nAdHostsEnabled=false\n" << extra;
    }

    fs::path copy_;
    int port_ = 0;
};

TEST_F(RealProxy, StartsPollsAndStopsIt) {
    const fs::path &copy = copy_;
    const int port = port_;
    load(copy);

    EXPECT_EQ(poll_(0) & VALDRIN_ACTIVITY_RUNNING, 0);
    ASSERT_EQ(start_(1), 1) << slurp(run_ / "valdrin_proxy.log");
    EXPECT_EQ(poll_(0) & VALDRIN_ACTIVITY_RUNNING, VALDRIN_ACTIVITY_RUNNING) << slurp(run_ / "valdrin_proxy.log");
    const int pid = daemon_pid();
    EXPECT_TRUE(accepts(port));

    EXPECT_EQ(slurp(run_ / "valdrin_proxy.ports"), "http [::]:" + std::to_string(port) + "\n");

    EXPECT_EQ(stop_(1), 1);
    EXPECT_FALSE(process_exists(pid));
    EXPECT_EQ(poll_(0) & VALDRIN_ACTIVITY_RUNNING, 0);
    EXPECT_FALSE(accepts(port));
    EXPECT_FALSE(fs::exists(run_ / "valdrin_proxy.ports"));
}

TEST_F(RealProxy, ReloadTellsTakenRefusedAndWaitingForARestart) {
    load(copy_);
    ASSERT_EQ(start_(1), 1) << slurp(run_ / "valdrin_proxy.log");
    const int pid = daemon_pid();
    EXPECT_EQ(reload_(1), 1) << slurp(run_ / "valdrin_proxy.log");
    configure("HTTPMaxClients=many\n");
    EXPECT_EQ(reload_(1), 3) << slurp(run_ / "valdrin_proxy.log");
    configure("HTTPMaxClients=100\n");
    EXPECT_EQ(reload_(1), 1) << slurp(run_ / "valdrin_proxy.log");
    port_ = free_port();
    configure("");
    EXPECT_EQ(reload_(1), 2) << slurp(run_ / "valdrin_proxy.log");
    EXPECT_EQ(daemon_pid(), pid);
    EXPECT_EQ(poll_(0) & VALDRIN_ACTIVITY_RUNNING, VALDRIN_ACTIVITY_RUNNING);
}

}  // namespace
