// Walking a byte string as UTF-8: how long the well-formed sequence at a
// position is (overlong forms, surrogates and values above U+10FFFF are not
// well-formed), and the code point it stands for. The escapes for the
// operator's terminal and for JSON both walk texts with it.
// Thread safety: pure functions.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace tvl {

// The length (1..4) of the well-formed UTF-8 sequence at text[at], with its
// code point in *code; 0 when the byte there begins none (a stray or
// invalid byte). `at` must lie inside the text.
std::size_t utf8_sequence(const std::string& text, std::size_t at, uint32_t* code);

}  // namespace tvl
