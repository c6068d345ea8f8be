// Random bytes from the operating system's generator, for secrets handed to
// visitors (the keys of guests' places in the chat). Never a seeded
// pseudo-random generator: a key must not be guessable from earlier ones.
// Thread safety: may be called from any thread.
#pragma once
#include <cstddef>
#include <string>

namespace tvl {

// Fills `into` with `size` random bytes. False when the generator could not
// be read (the bytes are then unusable and must not be handed out).
bool random_bytes(void* into, std::size_t size);

// `bytes` random bytes written as lower-case hexadecimal digits (twice as
// many characters). Empty when the generator could not be read.
std::string random_hex(std::size_t bytes);

}  // namespace tvl
