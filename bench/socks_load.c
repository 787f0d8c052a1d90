// Session-rate load generator for bench/socks_rdr.py: each session is a new
// TCP connection (through a SOCKS5 CONNECT, optionally with user/password,
// or plain), one GET with Connection: close, read to the end. Blocking
// sockets on a few threads: cheap enough per session that the direct row,
// run with the same generator, shows it is not the limit.
//
//   socks_load MODE PORT ORIGIN_PORT PATH EXPECT_BYTES CONNS COUNT SECONDS [USER PASS]
//   MODE: plain (PORT is the origin or a redirect) or socks5
// Prints: BENCH ok=N failed=N secs=S connect=N negotiate=N auth=N reply=N http=N
#define _GNU_SOURCE  // memmem
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { E_CONNECT, E_NEGOTIATE, E_AUTH, E_REPLY, E_HTTP, E_KINDS };
static const char *kind_names[E_KINDS] = {"connect", "negotiate", "auth", "reply", "http"};

static int socks_mode;
static int port, origin_port;
static long expect_bytes, count;
static double deadline;
static const char *user, *pass;
static char request[512];
static size_t request_len;
static atomic_long started, ok_count, errors[E_KINDS];

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static int send_all(int fd, const void *buf, size_t len) {
    const char *p = buf;
    while (len) {
        ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return -1;
        }
        p += n;
        len -= (size_t)n;
    }
    return 0;
}

static int recv_exact(int fd, unsigned char *buf, size_t len) {
    while (len) {
        ssize_t n = recv(fd, buf, len, 0);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return -1;
        }
        buf += n;
        len -= (size_t)n;
    }
    return 0;
}

static int socks5(int fd) {
    unsigned char b[600];
    b[0] = 5;
    b[1] = 1;
    b[2] = user ? 2 : 0;
    if (send_all(fd, b, 3) || recv_exact(fd, b, 2) || b[0] != 5) return E_NEGOTIATE;
    if (b[1] == 2 && user) {
        size_t ul = strlen(user), pl = strlen(pass), n = 0;
        b[n++] = 1;
        b[n++] = (unsigned char)ul;
        memcpy(b + n, user, ul);
        n += ul;
        b[n++] = (unsigned char)pl;
        memcpy(b + n, pass, pl);
        n += pl;
        if (send_all(fd, b, n) || recv_exact(fd, b, 2) || b[1] != 0) return E_AUTH;
    } else if (b[1] != 0) {
        return E_NEGOTIATE;
    }
    unsigned char req[10] = {5, 1, 0, 1, 127, 0, 0, 1, (unsigned char)(origin_port >> 8),
                             (unsigned char)origin_port};
    if (send_all(fd, req, sizeof req) || recv_exact(fd, b, 4) || b[0] != 5 || b[1] != 0) return E_REPLY;
    size_t rest = b[3] == 1 ? 6 : b[3] == 4 ? 18 : 0;
    if (b[3] == 3) {
        if (recv_exact(fd, b, 1)) return E_REPLY;
        rest = (size_t)b[0] + 2;
    }
    if (!rest || recv_exact(fd, b, rest)) return E_REPLY;
    return -1;
}

static int session(void) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return E_CONNECT;
    struct timeval tv = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    struct sockaddr_in sa = {.sin_family = AF_INET, .sin_port = htons((unsigned short)port)};
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int result = -1;
    if (connect(fd, (struct sockaddr *)&sa, sizeof sa)) {
        result = E_CONNECT;
    } else if (socks_mode && (result = socks5(fd)) >= 0) {
    } else if (send_all(fd, request, request_len)) {
        result = E_HTTP;
    } else {
        // Read to the end: the origin closes after its one reply.
        char buf[8192];
        size_t total = 0, head_end = 0;
        char head[16] = {0};
        for (;;) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (n < 0) total = 0;
                break;
            }
            if (total < sizeof head - 1) {
                size_t k = sizeof head - 1 - total < (size_t)n ? sizeof head - 1 - total : (size_t)n;
                memcpy(head + total, buf, k);
            }
            if (!head_end) {
                char *e = memmem(buf, (size_t)n, "\r\n\r\n", 4);  // heads are one segment here
                if (e) head_end = total + (size_t)(e - buf) + 4;
            }
            total += (size_t)n;
        }
        result = (strncmp(head, "HTTP/1.1 200", 12) == 0 && head_end &&
                  (long)(total - head_end) == expect_bytes) ? -1 : E_HTTP;
    }
    close(fd);
    return result;
}

static void *worker(void *arg) {
    (void)arg;
    while (atomic_fetch_add(&started, 1) < count && now() < deadline) {
        int r = session();
        if (r < 0)
            atomic_fetch_add(&ok_count, 1);
        else
            atomic_fetch_add(&errors[r], 1);
    }
    return NULL;
}

int main(int argc, char **argv) {
    if (argc != 9 && argc != 11) {
        fprintf(stderr, "usage: %s plain|socks5 PORT ORIGIN_PORT PATH EXPECT CONNS COUNT SECONDS [USER PASS]\n",
                argv[0]);
        return 2;
    }
    socks_mode = strcmp(argv[1], "socks5") == 0;
    port = atoi(argv[2]);
    origin_port = atoi(argv[3]);
    expect_bytes = atol(argv[5]);
    int conns = atoi(argv[6]);
    count = atol(argv[7]);
    double seconds = atof(argv[8]);
    if (argc == 11) {
        user = argv[9];
        pass = argv[10];
        if (strlen(user) > 255 || strlen(pass) > 255) return 2;
    }
    request_len = (size_t)snprintf(request, sizeof request,
                                   "GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n\r\n",
                                   argv[4], origin_port);
    pthread_t threads[256];
    if (conns < 1 || conns > 256) return 2;
    double t0 = now();
    deadline = t0 + seconds;
    for (int i = 0; i < conns; i++) pthread_create(&threads[i], NULL, worker, NULL);
    for (int i = 0; i < conns; i++) pthread_join(threads[i], NULL);
    double secs = now() - t0;
    long failed = 0;
    for (int i = 0; i < E_KINDS; i++) failed += errors[i];
    printf("BENCH ok=%ld failed=%ld secs=%.6f", (long)ok_count, failed, secs);
    for (int i = 0; i < E_KINDS; i++) printf(" %s=%ld", kind_names[i], (long)errors[i]);
    printf("\n");
    return 0;
}
