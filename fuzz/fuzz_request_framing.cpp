// The framing check of a request head, on arbitrary text as a received head
// would be (NUL-terminated), and on the head a parse of that text
// serialises back, which the proxy forwards: a head the check lets through
// must reach the origin in a form the check lets through too, with a target
// of visible ASCII only.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kelhttpe.h"
#include "request_framing.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

const char *check_verdict(const char *head) {
    const char *reason = kel::server::request_framing_fault(head);
    // Deterministic, and a refusal says why.
    const char *again = kel::server::request_framing_fault(head);
    check((reason == nullptr) == (again == nullptr));
    if (reason != nullptr) {
        check(reason[0] != '\0' && std::strlen(reason) < 512);
        check(std::strcmp(reason, again) == 0);
    }
    return reason;
}

// The target of a serialised request line: only visible ASCII may reach
// the origin.
bool target_is_visible_ascii(const char *head) {
    const char *first = std::strchr(head, ' ');
    if (first == nullptr) return false;
    const char *second = std::strchr(first + 1, ' ');
    if (second == nullptr) return false;
    for (const char *p = first + 1; p < second; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c <= 0x20 || c >= 0x7F) return false;
    }
    return true;
}

size_t high_bytes(const char *text) {
    size_t n = 0;
    for (; *text != '\0'; ++text) n += static_cast<unsigned char>(*text) >= 0x80;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string head(reinterpret_cast<const char *>(data), size);
    const bool accepted = check_verdict(head.c_str()) == nullptr;
    if (kelHttpEntete *req = kelHttpE_cree_str(head.c_str(), KEL_HE_REQUETE)) {
        // The proxy encodes the target before it forwards the head.
        const std::string path = req->chemin != nullptr ? req->chemin : "";
        check(kel::server::encode_target_non_ascii(req));
        if (req->chemin != nullptr) {
            check(high_bytes(req->chemin) == 0);
            check(std::strlen(req->chemin) == path.size() + 2 * high_bytes(path.c_str()));
        }
        if (char *text = kelHttpE_en_str(req, 0)) {
            const bool forwarded_accepted = check_verdict(text) == nullptr;
            if (accepted) {
                check(forwarded_accepted);
                check(target_is_visible_ascii(text));
            }
            std::free(text);
        }
        kelHttpE_detruit(&req);
    }
    return 0;
}
