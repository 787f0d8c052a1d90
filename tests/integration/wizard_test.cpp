// The real wizard under a virtual X display, on a ready-to-run folder whose
// daemon the activity component started, as the tray agent does: Apply puts
// the new settings in force in the running daemon.
#include "harness.h"

#include <dlfcn.h>
#include <cstdlib>
#include <stdlib.h>
#include <sys/stat.h>

namespace e2e {
namespace {

using Entry = int16_t (*)(int32_t);

class Component {
public:
    explicit Component(const fs::path &folder)
        : handle_(::dlopen((folder / "libvaldrin_activity.so").c_str(), RTLD_NOW | RTLD_LOCAL)) {}
    ~Component() {
        if (handle_ != nullptr) ::dlclose(handle_);
    }
    bool loaded() const { return handle_ != nullptr; }
    int16_t call(const char *entry) const {
        auto f = reinterpret_cast<Entry>(::dlsym(handle_, entry));
        return f != nullptr ? f(0) : int16_t{-1};
    }

private:
    void *handle_;
};

bool have(const char *program) {
    return exited_with(run_command({"/bin/sh", "-c", std::string("command -v ") + program}, "/").status, 0);
}

TEST(Wizard, ApplyInTheRealWizardPutsItsSettingsInForceInTheRunningDaemon) {
#if defined(__SANITIZE_THREAD__)
    // The wizard built with it runs Qt's own X and pool threads, which are
    // not instrumented, and their reports would be the only ones.
    GTEST_SKIP() << "ThreadSanitizer cannot see the synchronisation inside Qt's threads";
#endif
    if (!fs::exists(dist_dir() / "valdrin_config") || !fs::exists(dist_dir() / "libvaldrin_activity.so"))
        GTEST_SKIP() << "built without the desktop programs";
    if (!have("xvfb-run") || !have("xdotool")) GTEST_SKIP() << "needs xvfb-run and xdotool";
    TempDir dir;
    const fs::path folder = dir.path() / "valdrin";
    fs::copy(dist_dir(), folder, fs::copy_options::recursive);
    for (const char *name : {"valdrin.conf", "valdrin.log", "valdrin.err", "access.log"}) fs::remove(folder / name);
    const fs::path run = dir.path() / "run";
    fs::create_directory(run);
    fs::permissions(run, fs::perms::owner_all, fs::perm_options::replace);
    ASSERT_EQ(::setenv("XDG_RUNTIME_DIR", run.c_str(), 1), 0);
    ASSERT_EQ(::setenv("XDG_CONFIG_HOME", (dir.path() / "config").c_str(), 1), 0);

    Origin origin("HTTP/1.1 200 OK\r\nContent-Length: 6\r\nConnection: close\r\n\r\nserved");
    const uint16_t port = free_port();
    write_file(folder / "valdrin.conf", "[Main]\nLogFile=valdrin.log\nErrFile=valdrin.err\nVerbose=false\n"
                                        "[HTTP]\nHTTPEnabled=true\nHTTPPort=" + std::to_string(port) +
                                            "\nAdHostsEnabled=false\n");
    Component component(folder);
    ASSERT_TRUE(component.loaded()) << ::dlerror();
    ASSERT_EQ(component.call("activity_start"), 1) << read_file(run / "valdrin_proxy.log");
    struct Stop {
        const Component &c;
        ~Stop() { c.call("activity_stop"); }
    } stop{component};

    const std::string get = "GET http://127.0.0.1:" + std::to_string(origin.port()) +
                            "/page HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    auto ask_from = [&](const char *from) {
        Fd fd = connect_tcp("127.0.0.1", port, from);
        return fd.valid() ? talk(fd, get).bytes : std::string("(no connection)");
    };
    ASSERT_EQ(ask_from("127.0.0.2").rfind("HTTP/1.1 403", 0), 0u) << "refused before the wizard allows it";

    // libxkbcommon, which the wizard's X connection loads, copies counted
    // names with strndup, reading exactly their length; the sanitizers'
    // strict string checks take that for an overflow. Not ours to check.
    if (const char *asan = std::getenv("ASAN_OPTIONS"))
        ASSERT_EQ(::setenv("ASAN_OPTIONS", (std::string(asan) + ":strict_string_checks=0").c_str(), 1), 0);
    const auto drive =
        run_command({"/usr/bin/xvfb-run", "-a", "-s", "-screen 0 1024x768x24", "/bin/bash",
                     std::string(VALDRIN_SOURCE_DIR) + "/tests/integration/drive_wizard.sh",
                     (folder / "valdrin_config").string(),
                     "127.0.0.2", "wizard-access.log"},
                    dir.path(), 180'000ms);
    ASSERT_TRUE(exited_with(drive.status, 0)) << describe_status(drive.status) << "\n" << drive.out << drive.err;
    EXPECT_EQ(drive.out, "Configuration saved\n") << drive.err;

    const std::string conf = read_file(folder / "valdrin.conf");
    EXPECT_NE(conf.find("AllowedHost0=127.0.0.2\n"), std::string::npos) << conf;
    EXPECT_NE(conf.find("AccessLog=wizard-access.log\n"), std::string::npos) << conf;
    // The wizard waited for the daemon's verdict, so the reload is done.
    EXPECT_NE(read_file(run / "valdrin_proxy.log").find("configuration reloaded from"), std::string::npos)
        << read_file(run / "valdrin_proxy.log");
    const std::string reply = ask_from("127.0.0.2");
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
    EXPECT_TRUE(reply.ends_with("\r\n\r\nserved")) << reply;
    EXPECT_TRUE(wait_for_text(folder / "wizard-access.log", "127.0.0.2 ", 10'000ms))
        << read_file(folder / "wizard-access.log");
}

}  // namespace
}  // namespace e2e
