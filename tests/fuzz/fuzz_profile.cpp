// The profile reader and writer on any file content: reading keys of it must
// not fail, and a value written must read back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/profile.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const std::string path = tvl::fuzz::scratch_folder() + "fuzz.ini";
  tvl::fuzz::write_file(path, std::string(reinterpret_cast<const char*>(data), size));

  static const char* const keys[][2] = {{"Server", "port"}, {"server", "WebPages"},
                                        {"main", "password"}, {"main", "Icon"}, {"", ""}};
  for (const auto& k : keys) tvl::get_profile_string(k[0], k[1], "d", 256, path);
  tvl::get_profile_string("Server", "port", "", size % 300, path);

  if (!tvl::write_profile_string("Fz", "Key", "value", path)) std::abort();
  if (tvl::get_profile_string("fz", "key", "", 256, path) != "value") std::abort();
  if (!tvl::write_profile_string("Server", "Port", "8080", path)) std::abort();
  if (tvl::get_profile_string("server", "port", "", 256, path) != "8080") std::abort();
  return 0;
}
