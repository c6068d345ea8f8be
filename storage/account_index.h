// The names of the accounts, kept in memory so that an entry or a
// registration looks a name up without listing users/ (with a hundred
// thousand accounts a listing takes tens of milliseconds).
//
// One index per program folder. A lookup compares the folder's change stamp
// (one stat of the folder, no file read) with the one the index was made
// from and lists the folder again only when it moved, or when it was so
// recent that a change within the same clock step could hide behind it.
// The account writers of this process tell the index what they changed, so
// their own writes cost no new listing.
// Temporary files of the writes (is_profile_leftover) are never accounts.
// Thread safety: any thread; one lock inside, held for a lookup (and, when
// due, the listing).
#pragma once
#include <string>

namespace tvl {

// The file name (in users/) of the account that is `name` under case
// folding; empty when there is none. Any entry of users/ counts (a folder
// too), as the account files did.
std::string indexed_account(const std::string& program_folder, const std::string& name);

// The file name of an account whose name looks like `name` (equal
// skeletons), the same account included; empty when there is none.
std::string indexed_lookalike(const std::string& program_folder, const std::string& name);

// The writers' notices: `file_name` was added to or removed from users/.
void index_account_added(const std::string& program_folder, const std::string& file_name);
void index_account_removed(const std::string& program_folder, const std::string& file_name);

}  // namespace tvl
