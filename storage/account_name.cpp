#include "storage/account_name.h"

#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unicode/uspoof.h>
#include <unicode/utf8.h>

#include <vector>

namespace tvl {

namespace {

bool valid_utf8(const std::string& text) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const int32_t length = static_cast<int32_t>(text.size());
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

std::string ascii_lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return text;
}

bool to_utf16(const std::string& text, std::vector<UChar>& out) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t needed = 0;
  u_strFromUTF8(nullptr, 0, &needed, text.data(), static_cast<int32_t>(text.size()), &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return false;
  out.assign(static_cast<std::size_t>(needed) + 1, 0);
  status = U_ZERO_ERROR;
  u_strFromUTF8(out.data(), needed + 1, &needed, text.data(), static_cast<int32_t>(text.size()),
                &status);
  if (U_FAILURE(status)) return false;
  out.resize(static_cast<std::size_t>(needed));
  return true;
}

bool to_utf8(const std::vector<UChar>& text, std::string& out) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t needed = 0;
  u_strToUTF8(nullptr, 0, &needed, text.data(), static_cast<int32_t>(text.size()), &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return false;
  out.assign(static_cast<std::size_t>(needed) + 1, '\0');
  status = U_ZERO_ERROR;
  u_strToUTF8(out.data(), needed + 1, &needed, text.data(), static_cast<int32_t>(text.size()),
              &status);
  if (U_FAILURE(status)) return false;
  out.resize(static_cast<std::size_t>(needed));
  return true;
}

// Full case folding, then NFC, so that "É" typed precomposed or as "E" and a
// combining accent fold to the same key.
bool fold_utf16(const std::vector<UChar>& in, std::vector<UChar>& out) {
  UErrorCode status = U_ZERO_ERROR;
  std::vector<UChar> folded(in.size() * 3 + 4);
  int32_t n = u_strFoldCase(folded.data(), static_cast<int32_t>(folded.size()), in.data(),
                            static_cast<int32_t>(in.size()), U_FOLD_CASE_DEFAULT, &status);
  if (U_FAILURE(status)) return false;
  folded.resize(static_cast<std::size_t>(n));
  const UNormalizer2* nfc = unorm2_getNFCInstance(&status);
  if (U_FAILURE(status)) return false;
  out.assign(folded.size() * 3 + 4, 0);
  n = unorm2_normalize(nfc, folded.data(), static_cast<int32_t>(folded.size()), out.data(),
                       static_cast<int32_t>(out.size()), &status);
  if (U_FAILURE(status)) return false;
  out.resize(static_cast<std::size_t>(n));
  return true;
}

// One checker for the process: ICU allows concurrent skeleton calls on a
// checker that is no longer being configured.
const USpoofChecker* spoof_checker() {
  static USpoofChecker* const checker = [] {
    UErrorCode status = U_ZERO_ERROR;
    USpoofChecker* c = uspoof_open(&status);
    return U_SUCCESS(status) ? c : nullptr;
  }();
  return checker;
}

}  // namespace

bool account_name_well_formed(const std::string& name) {
  if (name.empty() || name.front() == ' ' || name.back() == ' ') return false;
  const auto* s = reinterpret_cast<const uint8_t*>(name.data());
  const int32_t length = static_cast<int32_t>(name.size());
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) return false;  // not UTF-8
    if (c == ' ') continue;
    switch (u_charType(c)) {
      case U_CONTROL_CHAR:
      case U_FORMAT_CHAR:
      case U_SPACE_SEPARATOR:
      case U_LINE_SEPARATOR:
      case U_PARAGRAPH_SEPARATOR:
      case U_SURROGATE:
      case U_PRIVATE_USE_CHAR:
      case U_UNASSIGNED:
        return false;
      default:
        break;
    }
    // Characters that show nothing (variation selectors, fillers) are
    // "default ignorable" without always being format characters.
    if (u_hasBinaryProperty(c, UCHAR_DEFAULT_IGNORABLE_CODE_POINT)) return false;
  }
  return true;
}

std::string account_name_fold(const std::string& name) {
  std::vector<UChar> wide, folded;
  std::string out;
  if (!valid_utf8(name) || !to_utf16(name, wide) || !fold_utf16(wide, folded) ||
      !to_utf8(folded, out))
    return ascii_lower(name);
  return out;
}

std::string account_name_skeleton(const std::string& name) {
  const std::string folded = account_name_fold(name);
  const USpoofChecker* checker = spoof_checker();
  if (!checker || !valid_utf8(folded)) return folded;
  UErrorCode status = U_ZERO_ERROR;
  int32_t needed = uspoof_getSkeletonUTF8(checker, 0, folded.data(),
                                          static_cast<int32_t>(folded.size()), nullptr, 0, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return folded;
  std::string skeleton(static_cast<std::size_t>(needed) + 1, '\0');
  status = U_ZERO_ERROR;
  needed = uspoof_getSkeletonUTF8(checker, 0, folded.data(), static_cast<int32_t>(folded.size()),
                                  skeleton.data(), needed + 1, &status);
  if (U_FAILURE(status)) return folded;
  skeleton.resize(static_cast<std::size_t>(needed));
  // The skeleton may turn capitals back up (a lookalike of "l" is "I"): fold
  // once more so the result is one key per look.
  return account_name_fold(skeleton);
}

bool same_account_name(const std::string& a, const std::string& b) {
  return account_name_fold(a) == account_name_fold(b);
}

bool account_names_look_alike(const std::string& a, const std::string& b) {
  return account_name_skeleton(a) == account_name_skeleton(b);
}

}  // namespace tvl
