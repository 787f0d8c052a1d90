// Socket layer of the library: process set-up, listeners, connections,
// whole sends, exact receives, datagrams, orderly close and error texts.
#include "kelnet.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <utility>

#include "kelnet_internal.h"
#include "kelplat/diag.h"
#include "kelplat/guard.h"
#include "kelplat/net.h"
#include "kelplat/sync.h"
#include "kelplat/thread.h"

namespace kel::kelnet {
namespace {

struct ErrorText {
    int32_t code;
    const char *text;
};

// Searched in order: the first row with the code wins, and the last row is
// the answer for codes that no row has.
constexpr ErrorText kErrorTexts[] = {
    {0, "No error"},
    {10004, "Interrupted system call (WSAEINTR)"},
    {10009, "Bad file number (WSAEBADF)"},
    {10013, "Permission denied (WSAEACCES)"},
    {10014, "Bad address (WSAEFAULT)"},
    {10022, "Invalid argument (WSAEINVAL)"},
    {10024, "Too many open sockets (WSAEMFILE)"},
    {10035, "Operation would block (WSAEWOULDBLOCK)"},
    {10036, "Operation now in progress (WSAEINPROGRESS)"},
    {10037, "Operation already in progress (WSAEALREADY)"},
    {10038, "Socket operation on non-socket (WSAENOTSOCK)"},
    {10039, "Destination address required (WSAEDESTADDRREQ)"},
    {10040, "Message too long (WSAEMSGSIZE)"},
    {10041, "Protocol wrong type for socket (WSAEPROTOTYPE)"},
    {10042, "Bad protocol option (WSAENOPROTOOPT)"},
    {10043, "Protocol not supported (WSAEPROTONOSUPPORT)"},
    {10044, "Socket type not supported (WSAESOCKTNOSUPPORT)"},
    {10045, "Operation not supported on socket (WSAEOPNOTSUPP)"},
    {10046, "Protocol family not supported (WSAEPFNOSUPPORT)"},
    {10047, "Address family not supported (WSAEAFNOSUPPORT)"},
    {10048, "Address already in use (WSAEADDRINUSE)"},
    {10049, "Can't assign requested address (WSAEADDRNOTAVAIL)"},
    {10050, "Network is down (WSAENETDOWN)"},
    {10051, "Network is unreachable (WSAENETUNREACH)"},
    {10052, "Net connection reset (WSAENETRESET)"},
    {10053, "Software caused connection abort (WSAECONNABORTED)"},
    {10054, "Connection reset by peer (WSAECONNRESET)"},
    {10055, "No buffer space available (WSAENOBUFS)"},
    {10056, "Socket is already connected (WSAEISCONN)"},
    {10057, "Socket is not connected (WSAENOTCONN)"},
    {10058, "Can't send after socket shutdown (WSAESHUTDOWN)"},
    {10059, "Too many references, can't splice (WSAETOOMANYREFS)"},
    {10060, "Connection timed out (WSAETIMEDOUT)"},
    {10061, "Connection refused (WSAECONNREFUSED)"},
    {10062, "Too many levels of symbolic links (WSAELOOP)"},
    {10063, "File name too long (WSAENAMETOOLONG)"},
    {10064, "Host is down (WSAEHOSTDOWN)"},
    {10065, "No route to host (WSAEHOSTUNREACH)"},
    {10066, "Directory not empty (WSAENOTEMPTY)"},
    {10067, "Too many processes (WSAEPROCLIM)"},
    {10068, "Too many users (WSAEUSERS)"},
    {10069, "Disc quota exceeded (WSAEDQUOT)"},
    {10070, "Stale NFS file handle (WSAESTALE)"},
    {10071, "Too many levels of remote in path (WSAEREMOTE)"},
    {10091, "Network system is unavailable (WSASYSNOTREADY)"},
    {10092, "Winsock version out of range (WSAVERNOTSUPPORTED)"},
    {10093, "WSAStartup not yet called (WSANOTINITIALISED)"},
    {10101, "Graceful shutdown in progress (WSAEDISCON)"},
    {11001, "Host not found (WSAHOST_NOT_FOUND)"},
    {11004, "No host data of that type was found (WSANO_DATA)"},
    {0, "Erreur non trouvée"},
};
static_assert(std::size(kErrorTexts) == 51);

// Pause after an accept that failed for want of descriptors or memory, so
// that the loop waits for resources instead of spinning.
constexpr int kAcceptRetryPauseMs = 50;

// The resolver lock and the count of set-ups it serves.
std::mutex g_setup_mutex;
int g_setup_count = 0;
std::atomic<sync::Mutex *> g_resolver_lock{nullptr};
// The lock of the last kelnet_term, kept for the next kelnet_init: a
// look-up that loaded it may still take it (detached connection threads
// outlive the library's unload at process exit), so it is never freed.
sync::Mutex *g_retired_lock = nullptr;

// Listener set-up shared by both listeners: 0, or -2 after its line.
int32_t open_listener(uint32_t *sd, uint32_t adresse, uint32_t port) {
    const int32_t r = kelnet_cree_ecouteur(port, adresse, sd);
    if (r != 0) {
        KEL_DIAG_MSG("connexion impossible");
        return -2;
    }
    return 0;
}

}  // namespace

int32_t receive_exact(uint32_t sd, char *buf, int32_t len, bool tolerant, int32_t *received) {
    int32_t got = 0;
    *received = 0;
    while (got < len) {
        const long n = net::recv(sd, buf + got, static_cast<std::size_t>(len - got));
        if (n < 0) {
            KEL_DIAG_MSG("Erreur de connexion");
            return -3;
        }
        if (n == 0) {
            if (!tolerant) KEL_DIAG_MSG("Connexion fermée prématurément");
            return -2;
        }
        got += static_cast<int32_t>(n);
        *received = got;
    }
    return len;
}

namespace {

enum class AcceptFailure { Transient, Exhausted, Fatal };

AcceptFailure classify_accept_failure(int code) {
    switch (code) {
        // The listening socket itself is gone or unusable: no accept on it
        // can ever succeed.
        case net::kErrBadDescriptor:
        case net::kErrNotSocket:
        case net::kErrInvalid:
            return AcceptFailure::Fatal;
        case net::kErrTooManySockets:
        case net::kErrNoBuffers:
            return AcceptFailure::Exhausted;
        default:
            return AcceptFailure::Transient;
    }
}

}  // namespace

bool survive_accept_failure() {
    const int code = net::last_error();
    diag::out_printf("echec d'accept()");
    switch (classify_accept_failure(code)) {
        case AcceptFailure::Fatal: {
            char text[160];
            std::snprintf(text, sizeof text,
                          "accept() failed (%d: %s) on the listening socket, listener stopped", code,
                          kelnet_msg_err(code));
            KEL_DIAG_MSG(text);
            return false;
        }
        case AcceptFailure::Exhausted:
            thread::sleep_ms(kAcceptRetryPauseMs);
            return true;
        case AcceptFailure::Transient:
            return true;
    }
    return true;
}

}  // namespace kel::kelnet

using namespace kel;
using kel::kelnet::kModule;

extern "C" int32_t kelnet_init(void) {
    return guard(__func__, int32_t{-2}, [&]() -> int32_t {
        int code = 0;
        if (!net::startup(&code)) {
            diag::out_printf("erreur dans WSAStartup() : %d\n", code);
            return -1;
        }
        std::lock_guard<std::mutex> hold(kelnet::g_setup_mutex);
        if (kelnet::g_resolver_lock.load() != nullptr) {
            // A second set-up shares the existing lock; each is undone by
            // its own kelnet_term.
            ++kelnet::g_setup_count;
            KEL_DIAG_MSG("Mutex already exists");
            return 0;
        }
        std::unique_ptr<sync::Mutex> lock(std::exchange(kelnet::g_retired_lock, nullptr));
        if (lock == nullptr) lock = std::make_unique<sync::Mutex>();
        if (!lock->valid()) {
            net::cleanup();
            KEL_DIAG();
            return -2;
        }
        kelnet::g_resolver_lock.store(lock.release());
        kelnet::g_setup_count = 1;
        return 0;
    });
}

extern "C" int32_t kelnet_term(void) {
    return guard(__func__, int32_t{0}, [&]() -> int32_t {
        std::lock_guard<std::mutex> hold(kelnet::g_setup_mutex);
        if (kelnet::g_setup_count > 0 && --kelnet::g_setup_count == 0)
            kelnet::g_retired_lock = kelnet::g_resolver_lock.exchange(nullptr);
        net::cleanup();
        return 0;
    });
}

extern "C" int32_t kelnet_cree_ecouteur(uint32_t port, uint32_t adresse, uint32_t *sd) {
    return guard(__func__, int32_t{-2}, [&]() -> int32_t {
        if (adresse == KELNET_AUCUNE_ADRESSE) return -1;
        if (sd == nullptr) {
            KEL_DIAG_MSG("Parametre null");
            return -2;
        }
        const uint32_t s = net::open(net::Kind::Stream);
        // Another thread may poll *sd meanwhile (the server's status does):
        // publish it atomically, and with it everything done before.
        std::atomic_ref<uint32_t>(*sd).store(s, std::memory_order_release);
        if (s == net::kInvalidSocket) return -2;
        if (!net::bind(s, adresse, net::host_to_net16(static_cast<uint16_t>(port & 0xFFFFu)))) {
            diag::out_printf("bind() failed\n");
            return -3;
        }
        (void)net::listen(s, net::max_backlog());
        return 0;
    });
}

extern "C" int32_t kelnet_gen_ecouteur(uint32_t *sd, uint32_t adresse, uint32_t port,
                                       kelnet_routine routine) {
    return guard(__func__, int32_t{-2}, [&]() -> int32_t {
        uint32_t local = net::kInvalidSocket;
        uint32_t *out = sd != nullptr ? sd : &local;
        if (kelnet::open_listener(out, adresse, port) != 0) {
            // A socket nobody can reach through an output is ours to close.
            if (sd == nullptr && local != net::kInvalidSocket) net::close(local);
            return -2;
        }
        if (routine == nullptr) {
            kelnet::apply_idle_bound(*out);
            return 0;
        }
        const kelnet::ListenerScope accepting(*out);
        for (;;) {
            kelnet_sockaddr peer{};
            static_assert(sizeof peer == sizeof(net::SockAddr4));
            net::SockAddr4 addr{};
            const uint32_t client = net::accept(*out, &addr);
            if (client == net::kInvalidSocket) {
                if (!kelnet::survive_accept_failure()) return -3;
                continue;
            }
            std::memcpy(&peer, &addr, sizeof peer);
            if (routine(client, peer) < 0) return -3;
        }
    });
}

extern "C" int32_t kelnet_gen_ecouteur_thread(uint32_t *sd, uint32_t adresse, uint32_t port,
                                              kelnet_routine_thread routine) {
    return guard(__func__, int32_t{-2}, [&]() -> int32_t {
        uint32_t local = net::kInvalidSocket;
        uint32_t *out = sd != nullptr ? sd : &local;
        if (kelnet::open_listener(out, adresse, port) != 0) {
            if (sd == nullptr && local != net::kInvalidSocket) net::close(local);
            return -2;
        }
        if (routine == nullptr) {
            kelnet::apply_idle_bound(*out);
            return 0;
        }
        const kelnet::ListenerScope accepting(*out);
        const uint32_t listeners[1] = {*out};
        kelnet::Routines routines;
        routines.routine = routine;
        return kelnet::run_threaded_listener(listeners, routines);
    });
}

extern "C" uint32_t kelnet_resoudre_adresse(const char *nom) {
    return guard(__func__, KELNET_AUCUNE_ADRESSE, [&]() -> uint32_t {
        if (nom == nullptr) {
            KEL_DIAG_MSG("Parametre null");
            return KELNET_AUCUNE_ADRESSE;
        }
        uint32_t addr = KELNET_AUCUNE_ADRESSE;
        if (net::parse_dotted_quad(nom, &addr)) return addr;
        sync::Mutex *lock = kelnet::g_resolver_lock.load();
        if (lock == nullptr || !lock->lock()) {
            KEL_DIAG_MSG("Mutex object cannot be obtained");
            return KELNET_AUCUNE_ADRESSE;
        }
        // Taking the lock proves the socket layer is set up. The look-up
        // itself is reentrant and runs outside it, so that one slow answer
        // does not stall every other look-up.
        if (!lock->unlock()) {
            KEL_DIAG();
            return KELNET_AUCUNE_ADRESSE;
        }
        if (!net::resolve_ipv4(nom, &addr)) addr = KELNET_AUCUNE_ADRESSE;
        return addr;
    });
}

namespace {

uint32_t connect_socket(net::Kind kind, uint32_t adresse, uint16_t port) {
    const uint32_t s = net::open(kind);
    if (s == net::kInvalidSocket) return net::kInvalidSocket;
    const bool stream = kind == net::Kind::Stream;
    const int connect_ms = stream ? kelnet::connect_timeout_ms() : 0;
    const bool connected =
        connect_ms > 0 ? net::connect(s, adresse, port, connect_ms) : net::connect(s, adresse, port);
    if (!connected) {
        const int err = net::last_error();
        net::close(s);
        net::set_last_error(err);  // the connect's error, not the close's
        return net::kInvalidSocket;
    }
    const int idle = stream ? kelnet::idle_timeout_ms() : 0;
    // The connect time-out lives in the send bound: put the idle one there.
    if (idle > 0 || connect_ms > 0) (void)net::set_io_timeouts(s, idle, idle);
    return s;
}

}  // namespace

extern "C" uint32_t kelnet_connecter(uint32_t adresse, uint16_t port) {
    return guard(__func__, net::kInvalidSocket,
                 [&] { return connect_socket(net::Kind::Stream, adresse, port); });
}

extern "C" uint32_t kelnet_connecter_udp(uint32_t adresse, uint16_t port) {
    return guard(__func__, net::kInvalidSocket,
                 [&] { return connect_socket(net::Kind::Datagram, adresse, port); });
}

extern "C" int32_t kelnet_aff_adresse(uint32_t adresse, char *buffer) {
    return guard(__func__, int32_t{-1}, [&]() -> int32_t {
        if (buffer == nullptr) {
            KEL_DIAG_MSG("Parametre null");
            return -1;
        }
        unsigned char o[4];
        std::memcpy(o, &adresse, 4);
        return std::snprintf(buffer, 16, "%d.%d.%d.%d", o[0], o[1], o[2], o[3]);
    });
}

extern "C" int32_t kelnet_envoie(uint32_t sd, const void *data, int32_t longueur) {
    return guard(__func__, int32_t{-2}, [&]() -> int32_t {
        const char *p = static_cast<const char *>(data);
        int32_t sent = 0;
        while (sent < longueur) {
            const long n = net::send(sd, p + sent, static_cast<std::size_t>(longueur - sent));
            if (n <= 0) {
                KEL_DIAG_MSG("erreur a l'envoi : connexion fermee prematurement ?");
                return -2;
            }
            sent += static_cast<int32_t>(n);
        }
        return 0;
    });
}

extern "C" int32_t kelnet_envoie_str(uint32_t sd, const char *texte) {
    return guard(__func__, int32_t{-2}, [&]() -> int32_t {
        if (texte == nullptr) {
            KEL_DIAG_MSG("Parametre null");
            return -1;
        }
        return kelnet_envoie(sd, texte, static_cast<int32_t>(std::strlen(texte)));
    });
}

extern "C" int32_t kelnet_sendto(uint32_t sd, uint32_t adresse, uint16_t port, const void *data,
                                 int32_t longueur) {
    return guard(__func__, int32_t{-1}, [&]() -> int32_t {
        const std::size_t len = longueur > 0 ? static_cast<std::size_t>(longueur) : 0;
        if (net::send_to(sd, adresse, port, data, len) < 0) {
            kelnet_aff_err("sendto");
            return -1;
        }
        return 0;
    });
}

extern "C" int32_t kelnet_recv(uint32_t sd, void *buffer, int32_t longueur, int32_t tolerant) {
    return guard(__func__, int32_t{-3}, [&]() -> int32_t {
        if (longueur <= 0) {
            KEL_DIAG_MSG("Buffer vide");
            return -1;
        }
        int32_t received = 0;
        return kelnet::receive_exact(sd, static_cast<char *>(buffer), longueur, tolerant != 0,
                                     &received);
    });
}

extern "C" int32_t kelnet_recvfrom(uint32_t sd, uint32_t *adresse, uint16_t *port,
                                   uint16_t port_val, void *buffer, int32_t taille) {
    return guard(__func__, int32_t{-1}, [&]() -> int32_t {
        // The port value only seeds the sender record, which the receive
        // overwrites.
        net::SockAddr4 from{};
        from.port_net = port_val;
        const std::size_t size = taille > 0 ? static_cast<std::size_t>(taille) : 0;
        const long n = net::recv_from(sd, buffer, size, &from);
        if (n < 0) {
            kelnet_aff_err("recvfrom");
            return -1;
        }
        if (adresse != nullptr) *adresse = from.addr_net;
        if (port != nullptr) *port = from.port_net;
        return static_cast<int32_t>(n);
    });
}

extern "C" int32_t kelnet_fermer(uint32_t sd) {
    return guard(__func__, int32_t{-1}, [&]() -> int32_t {
        if (!net::shutdown_send(sd)) {
            // Never connected, or already reset: the descriptor must still
            // be released, or it leaks.
            net::close(sd);
            return -1;
        }
        // Whatever the peer still sends is discarded; a larger block than the
        // classic 10 bytes keeps a close behind megabytes of unread data cheap.
        char drain[1024];
        const int idle = kelnet::idle_timeout_ms();
        if (idle <= 0) {
            while (net::recv(sd, drain, sizeof drain) > 0) {
            }
            return net::close(sd) ? 0 : -1;
        }
        // A peer that neither closes nor stops sending is cut off at the idle
        // time, whatever bounds the socket itself carries.
        const auto until = kelnet::Clock::now() + std::chrono::milliseconds(idle);
        const net::Socket socks[1] = {sd};
        for (;;) {
            const long n = net::recv_nowait(sd, drain, sizeof drain);
            if (n == 0 || (n < 0 && net::last_error() != net::kErrWouldBlock)) break;
            const long long left_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                          until - kelnet::Clock::now())
                                          .count();
            if (left_ms <= 0) break;
            if (n > 0) continue;
            bool ready = false;
            if (net::wait_readable_for(socks, &ready, 1, static_cast<int>(left_ms)) <= 0) break;
        }
        return net::close(sd) ? 0 : -1;
    });
}

extern "C" int32_t kelnet_est_connecte(uint32_t sd) {
    return guard(__func__, int32_t{0}, [&]() -> int32_t {
        const int idle = kelnet::idle_timeout_ms();
        return net::wait_writable(sd, idle > 0 ? idle : -1);
    });
}

extern "C" const char *kelnet_msg_err(int32_t code) {
    return guard(__func__, static_cast<const char *>("Erreur non trouvée"), [&] {
        if (code == 0) code = net::last_error();
        for (const auto &row : kelnet::kErrorTexts)
            if (row.code == code) return row.text;
        return std::end(kelnet::kErrorTexts)[-1].text;
    });
}

extern "C" void kelnet_aff_err(const char *nom) {
    guard_void(__func__, [&] {
        diag::out_printf("WINSOCK %s: %s\n", nom != nullptr ? nom : "", kelnet_msg_err(0));
    });
}
