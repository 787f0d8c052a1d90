#include "request_framing.h"

namespace kel::server {

const char *request_framing_fault(const char *head) {
    (void)head;
    return nullptr;
}

}  // namespace kel::server
