// The socket layer's operations for both address families, beside the
// IPv4 ones whose records stay as they are.
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kelnet.h"
#include "kelnet_internal.h"
#include "kelplat/diag.h"
#include "kelplat/guard.h"
#include "kelplat/inet.h"
#include "kelplat/net.h"

namespace kel::kelnet {
namespace {

net::IpAddress from_record(const kelnet_adresse_ip &a) {
    net::IpAddress out;
    if (a.famille != 4 && a.famille != 6) return out;
    out.family = a.famille;
    std::memcpy(out.bytes, a.octets, sizeof out.bytes);
    out.scope_id = a.famille == 6 ? a.zone : 0;
    return out;
}

}  // namespace
}  // namespace kel::kelnet

using namespace kel;
using kel::kelnet::kModule;

extern "C" int32_t kelnet_pair_courant(kelnet_adresse_ip *pair) {
    return guard(__func__, int32_t{-1}, [&]() -> int32_t {
        if (pair == nullptr) {
            KEL_DIAG_MSG("Parametre null");
            return -1;
        }
        *pair = kelnet_adresse_ip{};
        const kelnet::Peer *peer = kelnet::current_peer();
        if (peer == nullptr) return -1;
        pair->famille = peer->address.family;
        std::memcpy(pair->octets, peer->address.bytes, sizeof pair->octets);
        pair->zone = peer->address.scope_id;
        pair->port = peer->port_net;
        return 0;
    });
}

extern "C" int32_t kelnet_aff_adresse_ip(const kelnet_adresse_ip *adresse, char *buffer, int32_t taille) {
    return guard(__func__, int32_t{-1}, [&]() -> int32_t {
        if (adresse == nullptr || buffer == nullptr || taille <= 0) {
            KEL_DIAG_MSG("Parametre null");
            return -1;
        }
        const std::size_t n = net::format_ip(kelnet::from_record(*adresse), buffer, static_cast<std::size_t>(taille));
        return n > 0 ? static_cast<int32_t>(n) : -1;
    });
}

extern "C" int32_t kelnet_ipv6_disponible(void) {
    return guard(__func__, int32_t{0}, [] { return net::ipv6_available() ? 1 : 0; });
}

extern "C" int32_t kelnet_cree_ecouteur_ip(const char *adresse, uint32_t port, uint32_t *sd) {
    return guard(__func__, int32_t{-2}, [&]() -> int32_t {
        if (adresse == nullptr || sd == nullptr) {
            KEL_DIAG_MSG("Parametre null");
            return -2;
        }
        net::IpAddress address;
        if (!net::parse_ip(adresse, &address)) return -1;
        const uint32_t s = net::listen_on(address, net::host_to_net16(static_cast<uint16_t>(port & 0xFFFFu)));
        std::atomic_ref<uint32_t>(*sd).store(s, std::memory_order_release);
        if (s == net::kInvalidSocket) {
            diag::out_printf("bind() failed\n");
            return -2;
        }
        return 0;
    });
}

extern "C" int32_t kelnet_ecouteurs_thread(const uint32_t *sd, int32_t nb, kelnet_routine_thread routine) {
    return guard(__func__, int32_t{-3}, [&]() -> int32_t {
        if (sd == nullptr || nb <= 0 || routine == nullptr) {
            KEL_DIAG_MSG("Parametre null");
            return -3;
        }
        const std::vector<uint32_t> listeners(sd, sd + nb);
        std::vector<std::unique_ptr<kelnet::ListenerScope>> accepting;
        for (const uint32_t s : listeners) accepting.push_back(std::make_unique<kelnet::ListenerScope>(s));
        kelnet::Routines routines;
        routines.routine = routine;
        return kelnet::run_threaded_listener(listeners, routines);
    });
}

extern "C" int32_t kelnet_ecouteurs_service(const uint32_t *sd, int32_t nb, const kelnet_service *service) {
    return guard(__func__, int32_t{-3}, [&]() -> int32_t {
        if (sd == nullptr || nb <= 0 || service == nullptr || service->routine == nullptr) {
            KEL_DIAG_MSG("Parametre null");
            return -1;
        }
        kelnet::Routines routines;
        routines.routine = service->routine;
        routines.admission = service->admission;
        routines.refus = service->refus;
        routines.refus_waiting = service->refus_attente;
        routines.complete = service->complet;
        routines.global = false;
        routines.stop = service->arret;
        const std::vector<uint32_t> listeners(sd, sd + nb);
        std::vector<std::unique_ptr<kelnet::ListenerScope>> accepting;
        for (const uint32_t s : listeners) accepting.push_back(std::make_unique<kelnet::ListenerScope>(s));
        return kelnet::run_threaded_listener(listeners, routines);
    });
}

extern "C" uint32_t kelnet_connecter_nom(const char *nom, uint16_t port, int32_t *erreur) {
    return guard(__func__, net::kInvalidSocket, [&]() -> uint32_t {
        int32_t ignored = 0;
        int32_t &why = erreur != nullptr ? *erreur : ignored;
        why = 0;
        if (nom == nullptr) {
            KEL_DIAG_MSG("Parametre null");
            why = -2;
            return net::kInvalidSocket;
        }
        std::vector<net::IpAddress> addresses;
        if (!net::resolve_all(nom, &addresses)) {
            why = -2;
            return net::kInvalidSocket;
        }
        const int connect_ms = kelnet::connect_timeout_ms();
        const uint32_t s = net::connect_happy_eyeballs(addresses, port, connect_ms);
        if (s == net::kInvalidSocket) {
            why = -3;
            return net::kInvalidSocket;
        }
        const int idle = kelnet::idle_timeout_ms();
        // The connect bound lives in the send bound: put the idle one there.
        if (idle > 0 || connect_ms > 0) (void)net::set_io_timeouts(s, idle, idle);
        return s;
    });
}
