// Stand-in for valdrin_proxy in the activity component's tests.
//   valdrin_proxy [--config PATH] --pidfile PATH
// Writes its command line to PATH.args, listens on 127.0.0.1 (a kernel-chosen
// port), then writes the pid file; on SIGTERM removes it and exits 0.
// FAKE_PROXY_MODE=nolisten runs without listening; =fail exits 1 at once.
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

int main(int argc, char **argv) {
    std::string pid_file;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--pidfile") == 0) pid_file = argv[i + 1];
    const char *mode_env = std::getenv("FAKE_PROXY_MODE");
    const std::string mode = mode_env ? mode_env : "";
    if (pid_file.empty() || mode == "fail") return 1;
    {
        std::ofstream args(pid_file + ".args");
        for (int i = 0; i < argc; ++i) args << argv[i] << '\n';
    }
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, nullptr);

    int sd = -1;
    if (mode != "nolisten") {
        sd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (sd < 0 || bind(sd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(sd, 4) != 0) return 1;
    }
    {
        std::ofstream pid(pid_file);
        pid << getpid() << '\n';
    }
    std::printf("listening\n");
    std::fflush(stdout);
    int sig = 0;
    sigwait(&term, &sig);
    unlink(pid_file.c_str());
    if (sd >= 0) close(sd);
    return 0;
}
