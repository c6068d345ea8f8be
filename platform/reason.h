// Why an operation failed, in words for a person: an operator's terminal,
// the service log, a message box, a test's failure message. The one shape
// of such an explanation. A function that can fail returns
// [[nodiscard]] bool and, when it returns false, leaves the reason in the
// Reason it was handed; on success the Reason is left as it was. Where no
// person reads why, a function returns its bool (or an enum class) alone.
#pragma once
#include <string>
#include <utility>

namespace tvl {

struct Reason {
  std::string text;

  // Sets the text and returns false, for `return why.fail("...");`.
  bool fail(std::string what) {
    text = std::move(what);
    return false;
  }
};

}  // namespace tvl
