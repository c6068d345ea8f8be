#include "tests/fuzz/fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace tvl::fuzz {

namespace {

std::string g_folder;

void remove_folder() {
  std::error_code ignored;
  if (!g_folder.empty()) std::filesystem::remove_all(g_folder, ignored);
}

}  // namespace

const std::string& scratch_folder() {
  if (!g_folder.empty()) return g_folder;
  const char* tmp = std::getenv("TMPDIR");
  std::string base = tmp && *tmp ? tmp : "/tmp";
  if (base.back() != '/') base += '/';
  std::string pattern = base + "tvl-fuzz-XXXXXX";
  if (!::mkdtemp(pattern.data())) std::abort();
  g_folder = pattern + "/";
  std::filesystem::create_directories(g_folder + "state");
  std::filesystem::create_directories(g_folder + "config");
  ::setenv("TAVELLA_STATE_DIR", (g_folder + "state").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (g_folder + "config").c_str(), 1);
  std::atexit(remove_folder);
  return g_folder;
}

void write_file(const std::string& path, const std::string& data) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (!data.empty() && std::fwrite(data.data(), 1, data.size(), f) != data.size()) std::abort();
  std::fclose(f);
}

std::vector<std::string> split_input(const uint8_t* data, std::size_t size, std::size_t parts) {
  std::vector<std::string> out(parts);
  const char* text = reinterpret_cast<const char*>(data);
  std::size_t part = 0, from = 0;
  for (std::size_t i = 0; i < size && part + 1 < parts; ++i) {
    if (text[i] != 0) continue;
    out[part++].assign(text + from, i - from);
    from = i + 1;
  }
  if (from < size) out[part].assign(text + from, size - from);
  return out;
}

}  // namespace tvl::fuzz
