// A digest of a secret for comparing it where the secret itself must not
// go: SHA-256, written as 64 lower-case hex digits.
// Thread safety: may be called from any thread.
#pragma once
#include <string>

namespace tvl {

// Empty only when the library failed (then nothing matches it).
std::string sha256_hex(const std::string& data);

}  // namespace tvl
