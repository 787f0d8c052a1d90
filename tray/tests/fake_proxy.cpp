// Stand-in for valdrin_proxy in the activity component's tests.
//   valdrin_proxy [--config PATH] --pidfile PATH [--ports-file PATH]
// Writes its command line to PATH.args, listens on 127.0.0.1 (a kernel-chosen
// port), then writes the pid file and the ports file ("http 127.0.0.1:<port>");
// on SIGTERM removes both and exits 0.
// FAKE_PROXY_MODE=nolisten runs without listening; =fail exits 1 at once.
// On SIGHUP it answers as the daemon does, with the verdict named by the
// first word of PATH.reload (read at each signal; no file: ok):
//   ok       "configuration reloaded from <config>"
//   restart  the same, with the note that a restart is needed
//   refuse   a problem line, then "reload of <config> failed ..." on stderr
//   silent   an unrelated line and no verdict
//   exit     ends at once, without a verdict
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

std::string reload_mode(const std::string &pid_file) {
    std::ifstream in(pid_file + ".reload");
    std::string mode;
    if (!(in >> mode)) return "ok";
    return mode;
}

// Returns false when the fake is to end.
bool answer_reload(const std::string &mode, const std::string &config) {
    if (mode == "exit") return false;
    if (mode == "restart") {
        std::printf("valdrin_proxy: configuration reloaded from %s (a restart is needed for the change of HTTPPort "
                    "or HTTPEnabled)\n",
                    config.c_str());
    } else if (mode == "refuse") {
        std::fprintf(stderr, "%s:3: HTTPPort: \"x\" is not a port number\n", config.c_str());
        std::fprintf(stderr,
                     "valdrin_proxy: reload of %s failed (see the line above); the running configuration is kept\n",
                     config.c_str());
    } else if (mode == "silent") {
        std::printf("valdrin_proxy: reloading is not what this one does\n");
    } else {
        std::printf("valdrin_proxy: configuration reloaded from %s\n", config.c_str());
    }
    std::fflush(stdout);
    std::fflush(stderr);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    std::string pid_file, ports_file, config = "valdrin.conf";
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--pidfile") == 0) pid_file = argv[i + 1];
        if (std::strcmp(argv[i], "--ports-file") == 0) ports_file = argv[i + 1];
        if (std::strcmp(argv[i], "--config") == 0) config = argv[i + 1];
    }
    const char *mode_env = std::getenv("FAKE_PROXY_MODE");
    const std::string mode = mode_env ? mode_env : "";
    if (pid_file.empty() || mode == "fail") return 1;
    {
        std::ofstream args(pid_file + ".args");
        for (int i = 0; i < argc; ++i) args << argv[i] << '\n';
    }
    sigset_t wanted;
    sigemptyset(&wanted);
    sigaddset(&wanted, SIGTERM);
    sigaddset(&wanted, SIGHUP);
    sigprocmask(SIG_BLOCK, &wanted, nullptr);

    int sd = -1;
    int port = 0;
    if (mode != "nolisten") {
        sd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (sd < 0 || bind(sd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(sd, 4) != 0 ||
            getsockname(sd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
            return 1;
        port = ntohs(addr.sin_port);
    }
    {
        std::ofstream pid(pid_file);
        pid << getpid() << '\n';
    }
    if (!ports_file.empty() && sd >= 0) std::ofstream(ports_file) << "http 127.0.0.1:" << port << '\n';
    std::printf("listening\n");
    std::fflush(stdout);
    for (;;) {
        int sig = 0;
        if (sigwait(&wanted, &sig) != 0) continue;
        if (sig == SIGTERM) break;
        if (!answer_reload(reload_mode(pid_file), config)) break;
    }
    unlink(pid_file.c_str());
    if (!ports_file.empty()) unlink(ports_file.c_str());
    if (sd >= 0) close(sd);
    return 0;
}
