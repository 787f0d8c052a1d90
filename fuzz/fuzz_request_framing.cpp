// The framing check of a request head, on arbitrary text as a received head
// would be (NUL-terminated), and on the head a parse of that text
// serialises back, which the proxy forwards: a head the check lets through
// must reach the origin in a form the check lets through too.
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string head(reinterpret_cast<const char *>(data), size);
    const bool accepted = check_verdict(head.c_str()) == nullptr;
    if (kelHttpEntete *req = kelHttpE_cree_str(head.c_str(), KEL_HE_REQUETE)) {
        if (char *text = kelHttpE_en_str(req, 0)) {
            const bool forwarded_accepted = check_verdict(text) == nullptr;
            if (accepted) check(forwarded_accepted);
            std::free(text);
        }
        kelHttpE_detruit(&req);
    }
    return 0;
}
