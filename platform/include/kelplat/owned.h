// Heap blocks of the C runtime, held by RAII until they are released or
// handed across the C boundary (where the receiver frees them with free()).
#pragma once

#include <cstdlib>
#include <memory>

namespace kel {

struct FreeDeleter {
    void operator()(void *p) const noexcept { std::free(p); }
};

}  // namespace kel
