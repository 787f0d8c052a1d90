// Shared between the source files of the kelnet module.
#pragma once

#include <cstdint>

#include "kelnet.h"

namespace kel::kelnet {

inline constexpr const char *kModule = "kelnet";

// Receives exactly len bytes (len > 0) into buf. Result as kelnet_recv
// (len, -2 peer closed, -3 receive failed), with the same diagnostic
// lines; *received always holds the bytes that did arrive.
int32_t receive_exact(uint32_t sd, char *buf, int32_t len, bool tolerant, int32_t *received);

}  // namespace kel::kelnet
