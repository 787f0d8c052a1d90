// Measures how much stack the deep paths of a connection thread use: each
// path runs on a thread whose stack is a painted block of our own, and the
// bytes the pattern no longer holds are the high-water mark. glibc keeps the
// thread descriptor and the static TLS blocks of every loaded library (the
// libcurl stack included) at the top of a thread's stack, so they count too,
// as they do for a thread started with a stack size.
//
// glibc lets its functions take up to a quarter of a thread's stack with
// alloca before they turn to the heap, so a path measured on a large stack
// can use more than it will on the stack we choose: run both sizes.
//
// Usage: stack_probe [--stack-bytes N] [--ftp-port N] [--dns]
//   --stack-bytes N  size of the painted stack (default 8 MiB)
//   --ftp-port N  also fetch ftp://127.0.0.1:N/ and ftp://localhost:N/ files
//   --dns         also look up a name through the DNS resolver (leaves the
//                 machine; one attempt, one second)
#include <curl/curl.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::size_t g_stack_bytes = 8u << 20;
constexpr std::size_t kGuardBytes = 64u << 10;
constexpr unsigned char kPaint = 0xA5;

struct Path {
    std::string name;
    void (*run)(const std::string &arg);
    std::string arg;
};

struct ThreadArg {
    const Path *path;
};

void *thread_main(void *p) {
    const Path *path = static_cast<ThreadArg *>(p)->path;
    path->run(path->arg);
    return nullptr;
}

// High-water mark of one run of the path, in bytes from the stack's top.
std::size_t measure(const Path &path) {
    // An inaccessible zone below the stack turns an overflow into a crash.
    auto *base = static_cast<unsigned char *>(mmap(nullptr, kGuardBytes + g_stack_bytes,
                                                   PROT_READ | PROT_WRITE,
                                                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0));
    if (base == MAP_FAILED) {
        perror("mmap");
        std::exit(1);
    }
    mprotect(base, kGuardBytes, PROT_NONE);
    unsigned char *stack = base + kGuardBytes;
    std::memset(stack, kPaint, g_stack_bytes);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, stack, g_stack_bytes);
    ThreadArg arg{&path};
    pthread_t id;
    if (int rc = pthread_create(&id, &attr, thread_main, &arg); rc != 0) {
        std::fprintf(stderr, "pthread_create: %s\n", std::strerror(rc));
        std::exit(1);
    }
    pthread_join(id, nullptr);
    pthread_attr_destroy(&attr);
    std::size_t untouched = 0;
    while (untouched < g_stack_bytes && stack[untouched] == kPaint) ++untouched;
    munmap(base, kGuardBytes + g_stack_bytes);
    return g_stack_bytes - untouched;
}

void run_nothing(const std::string &) {}

void run_getaddrinfo(const std::string &name) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &res);
    if (rc == 0) freeaddrinfo(res);
}

volatile int g_sink;

// A diagnostic-style formatted line, as the library's own code writes them.
__attribute__((format(printf, 1, 2))) void format_line(const char *fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    g_sink = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
}

void run_format_text(const std::string &) {
    const std::string long_text(100000, 'x');
    std::vector<char> out(1 << 20);
    g_sink = std::snprintf(out.data(), out.size(), "%s|%d|%s", long_text.c_str(), 42, "tail");
    format_line("ERROR: %s\n%s line %d\n", "Connexion fermée prématurément", "kelnet", 123);
}

void run_format_double(const std::string &) {
    std::vector<char> out(1 << 16);
    g_sink = std::snprintf(out.data(), out.size(), "%f %e %g", DBL_MAX, DBL_MIN, 1.0 / 3.0);
    g_sink = std::snprintf(out.data(), out.size(), "%.400f", DBL_MIN);
}

void run_format_long_double(const std::string &) {
    std::vector<char> out(1 << 16);
    g_sink = std::snprintf(out.data(), out.size(), "%Lf", LDBL_MAX);
}

struct Transfer {
    int null_fd;
    std::string replies;
};

std::size_t on_header(char *data, std::size_t size, std::size_t count, void *user) {
    auto *t = static_cast<Transfer *>(user);
    t->replies.append(data, size * count);
    char line[256];
    g_sink = std::snprintf(line, sizeof line, "reply %zu bytes: %.40s", size * count, data);
    return size * count;
}

std::size_t on_write(char *data, std::size_t size, std::size_t count, void *user) {
    auto *t = static_cast<Transfer *>(user);
    pollfd p{t->null_fd, POLLOUT, 0};
    (void)poll(&p, 1, -1);
    char head[512];
    const int n = std::snprintf(head, sizeof head,
                                "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n"
                                "X-Block: %zu\r\n\r\n",
                                size * count);
    if (write(t->null_fd, head, static_cast<std::size_t>(n)) < 0) return 0;
    if (write(t->null_fd, data, size * count) < 0) return 0;
    return size * count;
}

void run_curl_ftp(const std::string &url) {
    CURL *h = curl_easy_init();
    if (h == nullptr) return;
    Transfer t{open("/dev/null", O_WRONLY), {}};
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(h, CURLOPT_WRITEHEADER, &t);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_write);
    curl_easy_setopt(h, CURLOPT_FILE, &t);
    const CURLcode rc = curl_easy_perform(h);
    if (rc != CURLE_OK) std::fprintf(stderr, "  (%s: %s)\n", url.c_str(), curl_easy_strerror(rc));
    curl_easy_cleanup(h);
    close(t.null_fd);
}

}  // namespace

int main(int argc, char **argv) {
    int ftp_port = 0;
    bool dns = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--stack-bytes") == 0 && i + 1 < argc)
            g_stack_bytes = std::strtoul(argv[++i], nullptr, 0);
        else if (std::strcmp(argv[i], "--ftp-port") == 0 && i + 1 < argc) ftp_port = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--dns") == 0) dns = true;
    }
    curl_global_init(0);

    std::vector<Path> paths = {
        {"empty thread (descriptor + static TLS)", run_nothing, ""},
        {"getaddrinfo, name in /etc/hosts", run_getaddrinfo, "localhost"},
        {"getaddrinfo, label over 63 characters", run_getaddrinfo,
         std::string(70, 'x') + ".invalid"},
        {"formatted output, 100 KB %s", run_format_text, ""},
        {"formatted output, %f of DBL_MAX, %.400f", run_format_double, ""},
        {"formatted output, %Lf of LDBL_MAX", run_format_long_double, ""},
    };
    if (dns) {
        // One attempt with a one-second wait: the query leaves the machine.
        setenv("RES_OPTIONS", "timeout:1 attempts:1", 1);
        paths.push_back({"getaddrinfo through DNS", run_getaddrinfo, "stack-probe.example.com"});
    }
    if (ftp_port != 0) {
        const std::string port = std::to_string(ftp_port);
        paths.push_back({"libcurl FTP file, 127.0.0.1", run_curl_ftp,
                         "ftp://127.0.0.1:" + port + "/file.bin"});
        paths.push_back({"libcurl FTP file, localhost", run_curl_ftp,
                         "ftp://localhost:" + port + "/file.bin"});
        paths.push_back({"libcurl FTP listing", run_curl_ftp, "ftp://127.0.0.1:" + port + "/"});
        paths.push_back({"libcurl FTP missing file", run_curl_ftp,
                         "ftp://127.0.0.1:" + port + "/none.bin"});
    }
    std::printf("%-42s %8zu bytes\n", "painted stack", g_stack_bytes);
    std::size_t peak = 0;
    for (const Path &p : paths) {
        // Twice, so that one-time set-up inside the libraries counts as well
        // as the steady state.
        const std::size_t first = measure(p);
        const std::size_t second = measure(p);
        std::printf("%-42s %8zu %8zu bytes\n", p.name.c_str(), first, second);
        peak = std::max({peak, first, second});
    }
    std::printf("%-42s %8zu bytes\n", "peak", peak);
    curl_global_cleanup();
    return 0;
}
