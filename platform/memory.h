// How the process's allocator gives memory back to the system.
// Thread safety: call once at program start, before other threads exist.
#pragma once
#include <cstddef>

namespace tvl {

// Blocks of at least `bytes` are mapped on their own and unmapped as soon as
// they are freed. Without this the allocator raises that threshold by itself
// after large blocks were freed and keeps later ones in its pools, so memory
// held for a while (large requests that were refused) stays resident long
// after it was given back. False when the allocator refused the setting.
bool return_large_blocks(std::size_t bytes);

}  // namespace tvl
