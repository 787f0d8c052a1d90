// Load and unload handlers of the shared library: start the socket layer
// and the resolver lock before any caller runs, release them at the end.
#include "kelnet.h"

namespace {

__attribute__((constructor)) void on_load() { kelnet_init(); }
__attribute__((destructor)) void on_unload() { kelnet_term(); }

}  // namespace
