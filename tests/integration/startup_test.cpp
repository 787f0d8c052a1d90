// Start-up of the daemon: its files, its settings, its exit codes.
#include "harness.h"

#include "config_keys.h"

#include <signal.h>

#include <algorithm>
#include <cctype>

namespace e2e {
namespace {

class Startup : public ProxyTest {
protected:
    void expect_clean_exit(const std::optional<int> &status, int code) {
        EXPECT_TRUE(exited_with(status, code)) << describe_status(status) << "\noutput:\n" << daemon().output();
        EXPECT_EQ(sanitizer_findings(daemon().err()), "");
    }

    // Rewrites the line of `key` in an INI text.
    static std::string with_value(std::string ini, const std::string &key, const std::string &value) {
        auto at = ini.find("\n" + key + "=");
        if (at == std::string::npos) {
            ADD_FAILURE() << key << " not found in:\n" << ini;
            return ini;
        }
        auto end = ini.find('\n', at + 1);
        ini.replace(at + 1, end - at - 1, key + "=" + value);
        return ini;
    }
};

TEST_F(Startup, DisabledProxySaysSoAndExitsZero) {
    config_.http_enabled = "false";
    auto status = run_to_exit();
    expect_clean_exit(status, 0);
    std::string output = daemon().output();
    std::transform(output.begin(), output.end(), output.begin(), [](unsigned char c) { return std::tolower(c); });
    EXPECT_NE(output.find("disabled"), std::string::npos) << output;
}

TEST_F(Startup, EnablingValuesAreReadByTheirFirstLetter) {
    for (const char *value : {"1", "on"}) {
        config_.http_enabled = value;
        expect_clean_exit(run_to_exit(), 0);
    }
    config_.http_enabled = "Yes";
    ASSERT_TRUE(start());
}

TEST_F(Startup, MissingImageFailsStartUp) {
    fs::remove(folder() / "valdrin.sys");
    expect_clean_exit(run_to_exit(), 1);
}

TEST_F(Startup, EmptyImageFailsStartUp) {
    image_ = "";
    expect_clean_exit(run_to_exit(), 1);
}

TEST_F(Startup, MissingAdHostsFailsWhenRemovalIsEnabled) {
    fs::remove(folder() / "adhosts");
    expect_clean_exit(run_to_exit(), 1);
    EXPECT_NE(daemon().out().find("Unable to open adhosts file"), std::string::npos) << daemon().output();
}

TEST_F(Startup, MissingAdHostsIsFineWhenRemovalIsDisabled) {
    fs::remove(folder() / "adhosts");
    config_.ad_hosts_enabled = "no";
    ASSERT_TRUE(start());
}

TEST_F(Startup, TakenPortMakesTheDaemonExitOneAndSayWhy) {
    Fd blocker = listen_tcp("127.0.0.1");
    config_.http_port = std::to_string(local_port(blocker));
    expect_clean_exit(run_to_exit(), 1);
    EXPECT_NE(daemon().output().find("HTTP/FTP server exits (-2)"), std::string::npos) << daemon().output();
    EXPECT_NE(daemon().output().find("Address already in use"), std::string::npos) << daemon().output();
}

TEST_F(Startup, RefusesPortValuesOutsideTheRange) {
    for (const char *value : {"abc", "70000", "-1", "65536"}) {
        config_.http_port = value;
        expect_clean_exit(run_to_exit(), 1);
        EXPECT_NE(daemon().output().find(value), std::string::npos) << value << " not named:\n" << daemon().output();
    }
}

TEST_F(Startup, PortTakesTheLeadingDigits) {
    config_.http_port = std::to_string(port()) + "abc";
    ASSERT_TRUE(start());
}

TEST_F(Startup, SecureFlagIsAnnounced) {
    config_.http_secure = "Yes";
    ASSERT_TRUE(start());
    stop_and_check();
    EXPECT_NE(daemon().out().find("HTTPSecure Enabled"), std::string::npos) << daemon().output();
}

TEST_F(Startup, FirstRunCopiesTheFactoryConfigurationAndLaterRunsKeepIt) {
    // The factory file, on a port the system picks so the test can run anywhere.
    const std::string factory = with_value(read_file(folder() / "valdrin.conf.default"), "HTTPPort", "0");
    write_file(folder() / "valdrin.conf.default", factory);
    ASSERT_FALSE(fs::exists(folder() / "valdrin.conf"));

    Daemon first(folder(), scratch());
    ASSERT_TRUE(first.launch());
    ASSERT_TRUE(first.wait_ports()) << first.output();
    EXPECT_EQ(read_file(folder() / "valdrin.conf"), factory);
    EXPECT_EQ(first.out().find("HTTPSecure Enabled"), std::string::npos);
    EXPECT_TRUE(exited_with(first.terminate(), 0)) << first.err();

    const std::string edited = with_value(factory, "HTTPSecure", "true");
    write_file(folder() / "valdrin.conf", edited);
    Daemon second(folder(), scratch());
    ASSERT_TRUE(second.launch());
    EXPECT_TRUE(second.wait_ports()) << second.output();
    EXPECT_NE(second.out().find("HTTPSecure Enabled"), std::string::npos) << "the edited file is the one read";
    EXPECT_EQ(read_file(folder() / "valdrin.conf"), edited);
    EXPECT_TRUE(exited_with(second.terminate(), 0)) << second.err();
    EXPECT_EQ(sanitizer_findings(first.err() + second.err()), "");
}

TEST_F(Startup, ConfigOptionNamesAnotherFile) {
    const fs::path other = scratch() / "elsewhere.conf";
    write_file(other, config_.render());
    config_.http_port = "none";  // valdrin.conf would refuse to start
    ASSERT_TRUE(launch({"--config", other.string()}));
    EXPECT_TRUE(daemon().wait_ports()) << daemon().output();
}

TEST_F(Startup, PidFileIsWrittenAndRemovedOnTerm) {
    const fs::path pidfile = scratch() / "valdrin.pid";
    ASSERT_TRUE(start({"--pidfile", pidfile.string()}));
    const std::string pid = std::to_string(daemon().pid());
    ASSERT_TRUE(wait_for_text(pidfile, pid, 5000ms));
    std::string text = read_file(pidfile);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    EXPECT_EQ(text, pid);
    stop_and_check();
    EXPECT_FALSE(fs::exists(pidfile));
}

TEST_F(Startup, InterruptStopsTheDaemonCleanly) {
    ASSERT_TRUE(start());
    ASSERT_EQ(::kill(daemon().pid(), SIGINT), 0);
    auto status = await_exit();
    EXPECT_TRUE(exited_with(status, 0)) << describe_status(status) << "\n" << daemon().output();
    EXPECT_EQ(sanitizer_findings(daemon().err()), "");
}

TEST_F(Startup, HelpNamesTheOptions) {
    auto status = run_to_exit({"--help"});
    EXPECT_TRUE(exited_with(status, 0)) << describe_status(status);
    const std::string output = daemon().output();
    EXPECT_NE(output.find("--config"), std::string::npos) << output;
    EXPECT_NE(output.find("--pidfile"), std::string::npos) << output;
    EXPECT_NE(output.find("--check-config"), std::string::npos) << output;
    EXPECT_NE(output.find("--ports-file"), std::string::npos) << output;
    // Every key the daemon reads, with its section and default.
    for (const valdrin::keys::Key &key : valdrin::keys::kKeys) {
        std::string line = "[" + std::string(key.section) + "] " + std::string(key.name);
        if (key.family_size > 0) line += "0 .. ";
        if (key.family_size == 0 && !key.fallback.empty()) line += " (default " + std::string(key.fallback) + ")";
        EXPECT_NE(output.find(line), std::string::npos) << line << "\nnot in:\n" << output;
    }
}

TEST_F(Startup, LogsGoToTheConfiguredFiles) {
    config_.log_file = "logs-here.txt";
    ASSERT_TRUE(start());
    Reply reply = ask("DELETE http://127.0.0.1/ HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(IsErrorPage(reply, 405, "Method Not Allowed", kMethodNotAllowed));
    EXPECT_TRUE(log_contains("Unsupported method DELETE"));
}

// --check-config reads the file as start-up would and says what it finds,
// without starting anything.
TEST_F(Startup, CheckConfigPassesAGoodFileAndStartsNothing) {
    ASSERT_TRUE(launch({"--check-config"}));
    expect_clean_exit(await_exit(), 0);
    EXPECT_NE(daemon().out().find("the configuration file " + (folder() / "valdrin.conf").string() + " is valid"),
              std::string::npos)
        << daemon().output();
    EXPECT_FALSE(fs::exists(daemon().ports_file())) << "nothing listened";
}

TEST_F(Startup, CheckConfigNamesEveryProblemWithItsLineAndFails) {
    const fs::path file = scratch() / "broken.conf";
    write_file(file,
               "[Main]\n"                             // 1
               "AccessLog=\n"                         // 2
               "[HTTP]\n"                             // 3
               "HTTPEnabled=true\n"                   // 4
               "HTTPPort=99999\n"                     // 5
               "HTTPMaxClients=many\n"                // 6
               "AdHostsEnabled=true\n"                // 7
               "AdListFile0=/no/such/list.txt\n");    // 8
    ASSERT_TRUE(launch({"--check-config", "--config", file.string()}));
    expect_clean_exit(await_exit(), 1);
    const std::string err = daemon().err();
    for (const std::string &expected :
         {file.string() + ":5: invalid HTTPPort '99999' in section HTTP",
          file.string() + ":6: invalid HTTPMaxClients 'many' in section HTTP",
          file.string() + ":8: AdListFile0 '/no/such/list.txt' in section HTTP cannot be read",
          "valdrin_proxy: 3 problems in " + file.string() + ": the proxy would refuse it"})
        EXPECT_NE(err.find(expected), std::string::npos) << expected << "\nnot in:\n" << err;
}

TEST_F(Startup, CheckConfigOfAMissingFileFails) {
    ASSERT_TRUE(launch({"--check-config", "--config", (scratch() / "absent.conf").string()}));
    expect_clean_exit(await_exit(), 1);
    EXPECT_NE(daemon().err().find("absent.conf not found"), std::string::npos) << daemon().err();
}

TEST_F(Startup, CheckConfigWithoutAConfigurationCreatesNone) {
    // Without --config and without valdrin.conf there is nothing to check:
    // the factory file is not copied in.
    ASSERT_FALSE(fs::exists(folder() / "valdrin.conf"));
    Daemon bare(folder(), scratch());
    ASSERT_TRUE(bare.launch({"--check-config"}));
    EXPECT_TRUE(exited_with(bare.wait_exit(), 1)) << bare.output();
    EXPECT_NE(bare.err().find("valdrin.conf not found"), std::string::npos) << bare.err();
    EXPECT_FALSE(fs::exists(folder() / "valdrin.conf"));
}

TEST_F(Startup, PortZeroListensWhereTheSystemSaysAndTheListenersNameIt) {
    config_.http_port = "0";
    ASSERT_TRUE(start());
    EXPECT_NE(port(), 0);
    EXPECT_EQ(read_file(daemon().ports_file()), "http [::]:" + std::to_string(port()) + "\n");
    EXPECT_NE(daemon().out().find("listening on [::]:" + std::to_string(port())), std::string::npos)
        << daemon().out();
    EXPECT_TRUE(connect_tcp("127.0.0.1", port()).valid());
    stop_and_check();
    EXPECT_FALSE(fs::exists(daemon().ports_file())) << "removed on exit";
}

}  // namespace
}  // namespace e2e
