// Runs an exported function's body so that no exception crosses the C
// boundary; a stray exception becomes the documented failure value.
#pragma once

#include <exception>

#include "kelplat/diag.h"

namespace kel {

template <class R, class F>
R guard(const char *where, R on_error, F &&body) noexcept {
    try {
        return body();
    } catch (const std::exception &e) {
        diag::err_printf("ERROR: %s: %s\n", where, e.what());
    } catch (...) {
        diag::err_printf("ERROR: %s: unknown exception\n", where);
    }
    return on_error;
}

template <class F>
void guard_void(const char *where, F &&body) noexcept {
    try {
        body();
    } catch (const std::exception &e) {
        diag::err_printf("ERROR: %s: %s\n", where, e.what());
    } catch (...) {
        diag::err_printf("ERROR: %s: unknown exception\n", where);
    }
}

}  // namespace kel
