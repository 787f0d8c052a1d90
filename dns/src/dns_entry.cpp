// The DNS proxy's entry point in the server library, and its reloads.
#include <mutex>

#include "dns_service.h"
#include "kelplat/diag.h"
#include "kelplat/guard.h"
#include "service.h"
#include "stats.h"
#include "valdrin_http.h"

namespace {
constexpr const char *kModule = "dns";
}

namespace kel::dns {
namespace {

// Never destroyed: detached TCP connection threads may outlive main.
struct Running {
    std::mutex mutex;
    Service service;
};
Running &running() {
    static Running *const r = new Running;
    return *r;
}

void on_reload(const std::shared_ptr<const server::Config> &config) {
    guard_void(__func__, [&] {
        Running &r = running();
        std::lock_guard hold(r.mutex);
        r.service.apply(*config);
    });
}

}  // namespace
}  // namespace kel::dns

extern "C" VALDRIN_API int32_t valdrin_dns_demarre(void) {
    return kel::guard(__func__, int32_t{-1}, []() -> int32_t {
        using namespace kel;
        const auto config = server::current_config();
        if (config == nullptr) {
            KEL_DIAG_MSG("the configuration is not loaded (valdrin_config_charge)");
            return -1;
        }
        if (!config->dns.enabled) return 0;
        dns::Running &r = dns::running();
        std::lock_guard hold(r.mutex);
        std::string why;
        if (!r.service.start(*config, &why)) {
            kel::diag::message(why.c_str(), kModule, __LINE__);
            return -1;
        }
        server::set_listening("dns", {r.service.listening_text()});
        server::set_dns_figures_source([] {
            dns::Running &running = dns::running();
            std::lock_guard hold(running.mutex);
            return running.service.figures();
        });
        server::add_reload_hook(dns::on_reload);
        server::note_service_started();
        kel::diag::out_printf("DNS proxy listening on %s\n", r.service.listening_text().c_str());
        return 1;
    });
}
