// Form decoding, the name rule and the readers of page addresses. The input
// is cut at zero bytes into a text and two keys.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "chat/query.h"
#include "server/form_text.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// What the name rule promises about an allowed name once it is decoded.
bool decoded_name_is_safe(const std::string& name) {
  if (name.find("..") != std::string::npos) return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == '/' || c == '\\' || c == '<' || c == '>' || c == '"' || c == '\'')
      return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const auto parts = tvl::fuzz::split_input(data, size, 3);
  const std::string& text = parts[0];

  std::string decoded = text;
  const int length = tvl::form_decode(decoded);
  if (length < 0 || static_cast<std::size_t>(length) != decoded.size()) std::abort();
  std::string partly = text;
  tvl::form_decode(partly, static_cast<int>(size % 7));
  tvl::escape_for_page(text);

  tvl::has_key(text, parts[1]);
  tvl::key_value(text, parts[1], parts[2]);
  tvl::key_number(text, parts[1]);

  if (tvl::user_name_allowed(text)) {
    if (text.empty() || text.size() > 63 || text.find('&') != std::string::npos) std::abort();
    std::string name = text;
    tvl::form_decode(name);
    if (!decoded_name_is_safe(name)) std::abort();
  }
  if (tvl::decoded_name_allowed(text) && !decoded_name_is_safe(text)) std::abort();
  return 0;
}
