// The proxy's own pages: its status as HTML, Prometheus text and JSON.
#include <string>
#include <string_view>

#include "handlers.h"
#include "pages.h"
#include "service.h"
#include "stats.h"
#include "valdrin_internal.h"

namespace kel::server {
namespace {

// The figures with every listener: the HTTP proxy's addresses first.
StatusReport status_with_listeners() {
    StatusReport r = gather_status();
    r.listening = listeners();
    return r;
}

}  // namespace

bool is_status_request(const Connection &conn, const kelHttpEntete *che) {
    if (!conn.exchange().origin_target.empty()) return true;
    return che->hote != nullptr && che->chemin != nullptr && equals_ignoring_case(che->hote, "valdrin.status");
}

void serve_status(Connection &conn, const kelHttpEntete *che) {
    // The parser reads an origin-form target's first segment as a host: take
    // the path as it came.
    std::string_view path = !conn.exchange().origin_target.empty() ? std::string_view(conn.exchange().origin_target)
                                                                   : std::string_view(che->chemin);
    path = path.substr(0, path.find('?'));
    std::string body;
    const char *type;
    if (path == "/" || path.empty()) {
        body = status_html(status_with_listeners());
        type = "text/html; charset=utf-8";
    } else if (path == "/metrics") {
        body = status_metrics(status_with_listeners());
        type = "text/plain; version=0.0.4; charset=utf-8";
    } else if (path == "/status.json") {
        body = status_json(status_with_listeners());
        type = "application/json";
    } else {
        send_error_page(conn, HTTP_NOT_FOUND);
        conn.note_verdict(Verdict::Status);
        return;
    }
    send_reply(conn, body.data(), static_cast<int32_t>(body.size()), type, 200);
    conn.note_verdict(Verdict::Status);
}

}  // namespace kel::server
