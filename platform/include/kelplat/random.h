// Unpredictable numbers from the system's generator, for what an off-path
// attacker must not guess (the ids and ports of DNS queries).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kel::rnd {

// Fills out with random bytes; never fails (the system's generator is
// always seeded once the machine has booted).
void fill(void *out, std::size_t size) noexcept;
std::uint16_t random16() noexcept;

}  // namespace kel::rnd
