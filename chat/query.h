// Reading values out of page addresses and form bodies. The chat's pages find
// each value by a fixed key that includes its separator ("?username=",
// "&password=", "&room="); a value runs from the end of its key to the start
// of the key expected next, or to the end of the text for the last one.
// Values are used as they stand (no decoding) unless a page says otherwise.
#pragma once
#include <string>
#include <string_view>

namespace tvl {

// True when key occurs in text.
bool has_key(std::string_view text, std::string_view key);

// Where a value ends when the key expected after it is missing: at the end
// of the text (page addresses), or nowhere, the value then being empty (the
// chat's input form, whose fields always come in one order).
enum class MissingNext { ToEnd, Empty };

// The value after the first occurrence of `key`, up to the first occurrence
// of `next_key` after it (or the end of text when next_key is empty; when it
// is not found, as `missing` says). Empty when key is missing.
std::string key_value(std::string_view text, std::string_view key,
                      std::string_view next_key = {}, MissingNext missing = MissingNext::ToEnd);

// The decimal value of key_value(...) (atoi rules: stops at the first
// non-digit, 0 when missing or not a number; a value too large for int
// gives 0).
int key_number(std::string_view text, std::string_view key, std::string_view next_key = {},
               MissingNext missing = MissingNext::ToEnd);

// Whether a user name, as it stands in a page address, may be used: it must
// not be empty nor longer than 63 bytes, must not hold a raw "&" (browsers
// always send it as %26; a raw one can only come from a hand-made address,
// and where the name stands in a page attribute the browser would read it as
// a character reference such as "&apos;"), and after form decoding it must
// not hold "/", "\", "..", "<", ">", a double or single quote, or a byte
// below 0x20. User names become file names under users/ and appear inside
// HTML and script on every page, so anything else is refused before a file
// is read.
bool user_name_allowed(const std::string& name_in_address);

// The same rule for a name that is already decoded (a form value): not empty,
// at most 63 bytes, none of the refused characters or "..", and well formed
// as account_name_well_formed says (UTF-8; no control, format or bidi
// characters, no spaces but the plain blank, no blank at either end).
bool decoded_name_allowed(const std::string& name);

}  // namespace tvl
