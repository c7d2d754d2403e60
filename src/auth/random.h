// Unpredictable bytes for the logins' client nonces.
#pragma once

#include <cstddef>
#include <cstdint>

// Fills out[0..n) from the system's random source. On failure the failed
// call is reported on standard error and the result is false.
[[nodiscard]] bool random_bytes(uint8_t *out, std::size_t n);
