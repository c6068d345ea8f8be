#include "storage/account_name.h"

#include <unicode/uchar.h>
#include <unicode/uscript.h>
#include <unicode/uset.h>
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

// The checker of new names: the characters Unicode recommends for
// identifiers (and its inclusions), with printable ASCII kept as names have
// always had it, at the moderately restrictive level. Configured once, then
// only used (concurrent checks are safe).
const USpoofChecker* identifier_checker() {
  static USpoofChecker* const checker = [] {
    UErrorCode status = U_ZERO_ERROR;
    USpoofChecker* c = uspoof_open(&status);
    USet* allowed = uset_openEmpty();
    uset_addAll(allowed, uspoof_getRecommendedSet(&status));
    uset_addAll(allowed, uspoof_getInclusionSet(&status));
    uset_addRange(allowed, 0x20, 0x7e);
    uspoof_setAllowedChars(c, allowed, &status);
    uset_close(allowed);
    uspoof_setRestrictionLevel(c, USPOOF_MODERATELY_RESTRICTIVE);
    uspoof_setChecks(c,
                     USPOOF_RESTRICTION_LEVEL | USPOOF_CHAR_LIMIT | USPOOF_INVISIBLE |
                         USPOOF_MIXED_NUMBERS | USPOOF_HIDDEN_OVERLAY,
                     &status);
    if (U_FAILURE(status)) {
      uspoof_close(c);
      return static_cast<USpoofChecker*>(nullptr);
    }
    return c;
  }();
  return checker;
}

// NFKC, then NFD with the combining marks and the characters that show
// nothing dropped, and every blank-looking character (spaces, the braille
// blank) read as one blank between words: what is left is what a reader
// tells names apart by ("admin" followed by a braille blank reads "admin").
bool compatible_bare(const std::vector<UChar>& in, std::vector<UChar>& out) {
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* nfkc = unorm2_getNFKCInstance(&status);
  const UNormalizer2* nfd = unorm2_getNFDInstance(&status);
  if (U_FAILURE(status)) return false;
  std::vector<UChar> compat(in.size() * 18 + 4), parts(in.size() * 18 * 4 + 4);
  int32_t n = unorm2_normalize(nfkc, in.data(), static_cast<int32_t>(in.size()), compat.data(),
                               static_cast<int32_t>(compat.size()), &status);
  n = unorm2_normalize(nfd, compat.data(), n, parts.data(), static_cast<int32_t>(parts.size()),
                       &status);
  if (U_FAILURE(status)) return false;
  out.clear();
  for (int32_t i = 0; i < n;) {
    UChar32 c;
    U16_NEXT(parts.data(), i, n, c);
    const int8_t type = u_charType(c);
    if (type == U_NON_SPACING_MARK || type == U_ENCLOSING_MARK || type == U_COMBINING_SPACING_MARK ||
        u_hasBinaryProperty(c, UCHAR_DEFAULT_IGNORABLE_CODE_POINT))
      continue;
    if (u_isUWhiteSpace(c) || c == 0x2800) {
      if (!out.empty() && out.back() != u' ') out.push_back(u' ');
      continue;
    }
    UChar units[2];
    int32_t length = 0;
    UBool error = false;
    U16_APPEND(units, length, 2, c, error);
    (void)error;  // c came from valid text
    out.insert(out.end(), units, units + length);
  }
  if (!out.empty() && out.back() == u' ') out.pop_back();
  return true;
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

bool account_name_new_allowed(const std::string& name) {
  if (!account_name_well_formed(name)) return false;
  std::vector<UChar> wide;
  if (!to_utf16(name, wide)) return false;
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* nfkc = unorm2_getNFKCInstance(&status);
  if (U_FAILURE(status) ||
      !unorm2_isNormalized(nfkc, wide.data(), static_cast<int32_t>(wide.size()), &status) ||
      U_FAILURE(status))
    return false;
  for (std::size_t i = 0; i < wide.size();) {
    UChar32 c;
    U16_NEXT(wide.data(), i, wide.size(), c);
    const int8_t type = u_charType(c);
    const bool mark = type == U_NON_SPACING_MARK || type == U_ENCLOSING_MARK;
    UErrorCode script_status = U_ZERO_ERROR;
    if (mark && uscript_getScript(c, &script_status) == USCRIPT_INHERITED) return false;
    if (c > 0x7e && (type == U_MATH_SYMBOL || type == U_CURRENCY_SYMBOL ||
                     type == U_MODIFIER_SYMBOL || type == U_OTHER_SYMBOL))
      return false;
  }
  const USpoofChecker* checker = identifier_checker();
  if (!checker) return false;
  status = U_ZERO_ERROR;
  const int32_t failed =
      uspoof_check(checker, wide.data(), static_cast<int32_t>(wide.size()), nullptr, &status);
  return U_SUCCESS(status) && failed == 0;
}

std::string account_name_skeleton(const std::string& name) {
  std::string folded = account_name_fold(name);
  std::vector<UChar> wide, bare;
  std::string bare_text;
  // Not UTF-8 (an older file's name): the fold is all there is.
  if (!valid_utf8(folded) || !to_utf16(folded, wide) || !compatible_bare(wide, bare) ||
      !to_utf8(bare, bare_text))
    return folded;
  folded = bare_text;
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
