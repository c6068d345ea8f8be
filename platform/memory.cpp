#include "platform/memory.h"

#include <malloc.h>

#include <climits>

namespace tvl {

bool return_large_blocks(std::size_t bytes) {
  if (bytes > INT_MAX) return false;
  return ::mallopt(M_MMAP_THRESHOLD, static_cast<int>(bytes)) == 1;
}

}  // namespace tvl
