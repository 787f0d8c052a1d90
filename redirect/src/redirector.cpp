#include "redirector.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>

#include "kellog.h"
#include "kelnet.h"
#include "kelplat/diag.h"
#include "kelplat/guard.h"
#include "kelplat/inet.h"
#include "kelplat/net.h"
#include "service.h"
#include "valdrin_http.h"

namespace {
constexpr const char *kModule = "redirect";
}

namespace kel::redirect {
namespace {

constexpr const char *kLabel = "port redirection";

// One binding's listener: its sockets, the pair whose far end stops it,
// and the thread that runs it.
struct Listener {
    server::Listening listening;
    uint32_t stop[2] = {net::kInvalidSocket, net::kInvalidSocket};
    std::vector<std::string> addresses;  // as configured, to tell a changed RDRListen
    std::thread thread;
};

// Never destroyed: detached connection threads may outlive main.
struct State {
    std::mutex mutex;  // one reconcile at a time
    std::map<uint16_t, std::unique_ptr<Listener>> listeners;
};
State &state() {
    static State *const s = new State;
    return *s;
}

int32_t admit(uint32_t, kelnet_sockaddr) {
    return guard(__func__, int32_t{0}, [] { return server::admit_client(server::Service::Redirect, kLabel) ? 1 : 0; });
}

void too_many(uint32_t, kelnet_sockaddr) {
    guard_void(__func__, [] { server::refuse_busy(server::Service::Redirect); });
}

// The binding of the snapshot that serves this listened port.
const server::Redirection *binding_for(const server::Config &config, uint16_t port) {
    for (const server::Redirection &b : config.rdr.bindings)
        if (b.port == port) return &b;
    return nullptr;
}

void serve(void *arg) {
    kelnet_params params = *static_cast<kelnet_params *>(arg);
    std::free(arg);
    guard_void(__func__, [&] {
        const uint32_t sd = params.sd;
        server::Session s;
        s.service = server::Service::Redirect;
        s.client = net::ip_text(server::current_client());
        s.started_wall = std::time(nullptr);
        const auto started = std::chrono::steady_clock::now();
        const auto config = server::current_config();
        net::IpAddress local;
        uint16_t port_net = 0;
        const server::Redirection *binding = nullptr;
        if (config != nullptr && net::local_address(sd, &local, &port_net))
            binding = binding_for(*config, net::net_to_host16(port_net));
        auto finish = [&] {
            s.duration_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - started).count();
            server::log_session(s);
        };
        if (binding == nullptr) {
            // Removed by a reload between accept and now.
            kelnet_fermer(sd);
            return;
        }
        s.request = "REDIRECT " + binding->host + ":" + std::to_string(binding->dest_port);
        int32_t failure = 0;
        const uint32_t target = kelnet_connecter_nom(binding->host.c_str(), net::host_to_net16(binding->dest_port), &failure);
        if (target == KELNET_INVALIDE) {
            kellog_log("%s: %s %s:%u for %s failed, connection from %s closed", binding->key.c_str(),
                       failure == -2 ? "resolving" : "connecting to", binding->host.c_str(),
                       static_cast<unsigned>(binding->dest_port), std::to_string(binding->port).c_str(),
                       s.client.c_str());
            server::service_counters(server::Service::Redirect).refuse(server::Refusal::Failed);
            s.status = failure == -2 ? 502 : 504;
            s.verdict = server::Verdict::Error;
            kelnet_fermer(sd);
            finish();
            return;
        }
        server::service_counters(server::Service::Redirect).sessions.fetch_add(1, std::memory_order_relaxed);
        const int32_t relayed = kelnet_redir2_demi(sd, target);
        kelnet_bilan tally{};
        kelnet_bilan_redir(&tally);
        if (relayed == -1) {
            // The relay could not start and left both sockets open.
            kelnet_fermer(target);
            kelnet_fermer(sd);
        }
        s.status = 200;
        s.verdict = server::Verdict::Redirected;
        s.bytes_from_client = tally.octets_1_vers_2;
        s.bytes_to_client = tally.octets_2_vers_1;
        finish();
    });
}

void run(Listener *l) {
    kelnet_service service{};
    service.routine = serve;
    service.admission = admit;
    service.refus = too_many;
    service.refus_attente = too_many;
    service.complet = nullptr;  // the destination may speak first
    service.arret = l->stop[0];
    const int32_t result = kelnet_ecouteurs_service(l->listening.sockets.data(),
                                                    static_cast<int32_t>(l->listening.sockets.size()), &service);
    if (result != 0) kel::diag::out_printf("port redirection on %s ended (%d)\n", l->listening.text.c_str(), result);
}

std::unique_ptr<Listener> open(const server::Redirection &b, const std::vector<std::string> &addresses,
                               std::string *why) {
    auto l = std::make_unique<Listener>();
    l->addresses = addresses;
    if (!server::open_listening(addresses, b.port, &l->listening, why)) {
        *why = b.key + " in section RDR cannot listen: " + *why;
        return nullptr;
    }
    if (!net::stream_pair(l->stop)) {
        *why = b.key + " in section RDR: no socket pair for its listener";
        server::close_listening(&l->listening);
        return nullptr;
    }
    Listener *raw = l.get();
    l->thread = std::thread([raw] { run(raw); });
    return l;
}

void close(std::unique_ptr<Listener> l) {
    const char byte = 0;
    (void)net::send(l->stop[1], &byte, 1);
    if (l->thread.joinable()) l->thread.join();
    server::close_listening(&l->listening);
    net::close(l->stop[0]);
    net::close(l->stop[1]);
}

void publish_listening() {
    std::vector<std::string> texts;
    for (const auto &[port, l] : state().listeners) texts.push_back(l->listening.text);
    server::set_listening("rdr", texts);
}

void on_reload(const std::shared_ptr<const server::Config> &config) {
    guard_void(__func__, [&] {
        std::string why;
        if (!reconcile(*config, &why)) kel::diag::message(why.c_str(), kModule, __LINE__);
    });
}

}  // namespace

bool reconcile(const server::Config &config, std::string *why) {
    State &st = state();
    std::lock_guard<std::mutex> hold(st.mutex);
    std::map<uint16_t, const server::Redirection *> wanted;
    if (config.rdr.enabled)
        for (const server::Redirection &b : config.rdr.bindings) wanted[b.port] = &b;
    // Closed first, so that a port another binding takes over is free.
    for (auto it = st.listeners.begin(); it != st.listeners.end();) {
        const auto w = wanted.find(it->first);
        if (w == wanted.end() || it->second->addresses != config.rdr.listen) {
            kel::diag::out_printf("port redirection of port %u closed\n", static_cast<unsigned>(it->first));
            close(std::move(it->second));
            it = st.listeners.erase(it);
        } else {
            ++it;
        }
    }
    bool ok = true;
    for (const auto &[port, binding] : wanted) {
        if (st.listeners.count(port) != 0) continue;
        std::string failure;
        auto l = open(*binding, config.rdr.listen, &failure);
        if (l == nullptr) {
            if (ok) *why = failure;
            ok = false;
            continue;
        }
        kel::diag::out_printf("port redirection listening on %s -> %s:%u\n", l->listening.text.c_str(),
                              binding->host.c_str(), static_cast<unsigned>(binding->dest_port));
        st.listeners.emplace(port, std::move(l));
    }
    publish_listening();
    return ok;
}

void stop_all() {
    State &st = state();
    std::lock_guard<std::mutex> hold(st.mutex);
    for (auto &[port, l] : st.listeners) close(std::move(l));
    st.listeners.clear();
    publish_listening();
}

std::vector<uint16_t> listening_ports() {
    State &st = state();
    std::lock_guard<std::mutex> hold(st.mutex);
    std::vector<uint16_t> ports;
    for (const auto &[port, l] : st.listeners) ports.push_back(port);
    return ports;
}

}  // namespace kel::redirect

extern "C" VALDRIN_API int32_t valdrin_rdr_demarre(void) {
    return kel::guard(__func__, int32_t{-1}, []() -> int32_t {
        using namespace kel;
        const auto config = server::current_config();
        if (config == nullptr) {
            KEL_DIAG_MSG("the configuration is not loaded (valdrin_config_charge)");
            return -1;
        }
        // Turned on by a later reload, the redirector starts then.
        server::add_reload_hook(redirect::on_reload);
        server::note_service_started();
        if (!config->rdr.enabled) return 0;
        std::string why;
        if (!redirect::reconcile(*config, &why)) {
            kel::diag::message(why.c_str(), kModule, __LINE__);
            redirect::stop_all();
            return -1;
        }
        return 1;
    });
}
