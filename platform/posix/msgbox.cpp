#include "kelplat/msgbox.h"

#include <atomic>

#include "kelplat/diag.h"

namespace kel {
namespace {

// Without a display, the box becomes one line on standard error.
int default_handler(const char *caption, const char *text, unsigned) {
    diag::err_printf("%s: %s\n", caption, text);
    return 1;
}

std::atomic<MessageBoxHandler> g_handler{&default_handler};

}  // namespace

int message_box(const char *caption, const char *text, unsigned style) noexcept {
    MessageBoxHandler handler = g_handler.load();
    try {
        return handler(caption != nullptr ? caption : "", text != nullptr ? text : "", style);
    } catch (...) {
        return 0;
    }
}

MessageBoxHandler set_message_box_handler(MessageBoxHandler handler) noexcept {
    return g_handler.exchange(handler != nullptr ? handler : &default_handler);
}

}  // namespace kel
