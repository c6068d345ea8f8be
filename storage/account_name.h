// Account names as people read them. Two names are one account when they are
// equal under full Unicode case folding ("Émile" and "émile", "STRASSE" and
// "straße"); a name is taken when it looks like another one (its confusable
// skeleton, by Unicode's table, equals the other's: a Cyrillic "а" for a
// Latin "a"). Names are UTF-8. The storage layer, the chat pages and the
// window all compare names through these functions.
//
// Older account files may carry names that are not UTF-8 (the system's old
// code page); those still fold (ASCII letters only) so they stay reachable,
// but no new name may be like that.
// Thread safety: pure functions; any thread.
#pragma once
#include <string>

namespace tvl {

// Whether a (decoded) name is well formed for a new account or a guest:
// valid UTF-8, no control or format characters (bidi controls, zero-width
// characters, the byte-order mark), no separators or spaces other than the
// plain blank U+0020, no unassigned or private-use code points, and no blank
// at its start or end.
bool account_name_well_formed(const std::string& name);

// Whether a name may be taken anew (a guest's name, a new account): well
// formed, and an identifier by Unicode's rules for them (UTS #39, through
// ICU's spoof checker): in NFKC form (no full-width letters, ligatures or
// other compatibility characters), every character either printable ASCII
// or of the recommended identifier characters (no symbols such as the
// braille blank, no invisible characters), no combining mark that can sit
// on any letter (script Inherited, as U+0323), no repeated marks, one script
// or a moderately restrictive mix of scripts (Latin with Han or Japanese,
// say, never Latin with Cyrillic), digits of one system, no hidden overlay.
// Existing accounts keep whatever well-formed name they have.
bool account_name_new_allowed(const std::string& name);

// The name under full case folding, normalised (NFC): the key under which
// names are one account. Not UTF-8: ASCII letters lowered, other bytes kept.
std::string account_name_fold(const std::string& name);

// The confusable skeleton of the folded name, after compatibility
// normalisation (NFKC) and with every combining mark removed: equal for
// names that render alike ("ａｄｍｉｎ", "admiṇ" and "аdmin" with a Cyrillic
// "а" all give the skeleton of "admin"). Not UTF-8: the fold.
std::string account_name_skeleton(const std::string& name);

// Whether two names are one account (equal folds).
bool same_account_name(const std::string& a, const std::string& b);

// Whether two names look alike (equal skeletons).
bool account_names_look_alike(const std::string& a, const std::string& b);

}  // namespace tvl
