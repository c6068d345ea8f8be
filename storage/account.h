// Member accounts: one profile file per member, named exactly like the user,
// without extension, in the folder "users/" of the program folder
// ("<program_folder>users/<name>"). An account exists when that file exists.
// Names are one account under full case folding (storage/account_name.h);
// which file holds a name is found through the in-memory index of names
// (storage/account_index.h). Every check reads the account file again.
//
// File format: one section "main". Key lookup ignores case, so the readers'
// and writers' spellings below name the same entries.
//   key as written   read as                 value                    default when read
//   password         password, Password      the salted hash of       ""
//                                            storage/password_hash.h;
//                                            clear text in files of
//                                            older versions (converted
//                                            at the next good login)
//   sex              Sex                     "0" female, "1" male,    "2" in lists and forms,
//                                            "2" not disclosed        "-1" in the login check
//   Icon             Icon                    picture file name in     "-1" in the login check,
//                                            images/, e.g. "3.gif"    "" elsewhere
//   email            Email                   e-mail address           ""
//   Profile          Profile                 free text                ""
//   Disabled         Disabled                "Yes" or "No"            "No"
// All values are single lines; readers see at most kAccountValueSize - 1
// (255) characters of any value.
//
// The folder "users/" is never created here; it ships with the program.
// Writes are all or nothing (a temporary file, flushed, moved over the old
// one); a new account is created exclusively, so of several creators of one
// name exactly one wins.
// Thread safety: every function may run on any thread. Creations are
// serialised inside this module; a check that runs while another thread
// rewrites an account reads the old file or the new one.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace tvl {

// Buffer size the account readers use (values longer than 255 are cut).
constexpr std::size_t kAccountValueSize = 256;
// Longest picture file name handed out by check_account (icon field width - 1).
constexpr std::size_t kAccountIconMax = 31;

// What check_account finds.
enum class AccountCheck {
  Member,    // the account's password: a member
  Guest,     // no account, no password: a guest
  BadLogin,  // a wrong password, an unreadable account or a refused name
  Disabled,  // the account is disabled
};

// "<program_folder>users/<name>". program_folder ends in "/".
std::string account_path(const std::string& program_folder, const std::string& name);

// Whether a name can safely name a file directly inside users/: not empty, no
// "/", no NUL, no "..", not the name of a write's temporary file. The chat
// pages apply a stricter rule before they get here; this is the storage
// layer's own guard against leaving the folder.
bool account_name_safe(const std::string& name);

// The account named `name` regardless of letter case ("ANN" is the member
// "ann", "ÉMILE" is "émile"): users/<name> when that exists, else the entry
// of users/ whose name folds to the same (account_name_fold). The path keeps
// the spelling the account was created with; empty when there is none or
// the name fails account_name_safe. Every reader and writer of accounts goes
// through this lookup.
std::string find_account_path(const std::string& program_folder, const std::string& name);

// True when an account of that name exists, regardless of case (as a file or
// as anything else, such as a folder).
bool account_exists(const std::string& program_folder, const std::string& name);

// Whether a picture name is a plain file name that may stand in
// "src=/images/<name>": 1 to 31 bytes of letters, digits, "-", "_" and ".",
// not beginning with "." and without "..".
bool picture_name_plain(const std::string& name);

// The name of an existing account that looks like `name` (equal confusable
// skeletons, the account itself included); empty when there is none.
std::string lookalike_account(const std::string& program_folder, const std::string& name);

// Removes the temporary files that an interrupted write may have left in
// users/; called at start.
void remove_account_leftovers(const std::string& program_folder);

// Makes users/ 0700 and every file in it 0600 (accounts are created 0600;
// this tightens those of older versions); called at start. Files this
// process may not change stay as they are.
void tighten_account_files(const std::string& program_folder);

// The login check (the account found by find_account_path).
//   - no account, or a folder: AccountCheck::Guest when password is empty,
//     else AccountCheck::BadLogin;
//   - a file that is empty or cannot be read: AccountCheck::BadLogin (whatever
//     the password; such a file is never a member without a password);
//   - "password" does not match password (password_matches):
//     AccountCheck::BadLogin; a password stored in clear that matches is replaced
//     by its hash (when that write fails the login still succeeds and the
//     next one tries again);
//   - "Disabled" anything but exactly "No": AccountCheck::Disabled;
//   - otherwise AccountCheck::Member, and the picture: "Icon" (default "-1") when
//     it does not begin with "-", cut to 31 characters; else "Sex" (default
//     "-1") followed by ".gif" when that does not begin with "-" (cut to 31);
//     else icon is left as the caller set it. A picture that is not
//     picture_name_plain is not used either (the caller's default stays).
// icon is changed only for a member. A name that fails account_name_safe
// gives AccountCheck::BadLogin without touching any file.
AccountCheck check_account(const std::string& program_folder, const std::string& name,
                           const std::string& password, std::string& icon);

// The picture check_account gives a member from the stored "Icon" and
// "Sex" values (read with the default "-1"); empty when it gives none (the
// caller's default stays).
std::string member_picture(const std::string& icon_value, const std::string& sex_value);

// The five values the web registration form writes.
struct AccountFields {
  std::string password;
  std::string sex;      // "0", "1" or "2"
  std::string icon;     // e.g. "3.gif"
  std::string email;
  std::string profile;  // the form's "&Resume=" text
};

enum class AccountChange {
  Written,  // done
  Exists,   // the name belongs to another account (any case): nothing written
  Failed,   // the file could not be written: every account is as it was
};

// Writes the web form's keys in the order "password" (hashed), "sex",
// "Icon", "email", "Profile".
//  - create: a new account users/<name>, created exclusively; Exists when an
//    account of that name (any case) exists or another creator won the race;
//  - otherwise a change of the account found regardless of case (it keeps its
//    file and spelling; users/<name> when there is none), keeping any other
//    key such as "Disabled"; an empty password keeps the stored one; the
//    file is replaced whole in one step.
// Failed when the name fails account_name_safe, the password could not be
// hashed, or the file could not be written (users/ missing or not writable,
// a full disk, the account is a folder or unreadable); the old account then
// stays byte for byte and a failed creation leaves no file.
[[nodiscard]] AccountChange write_account(const std::string& program_folder,
                                          const std::string& name, const AccountFields& fields,
                                          bool create);

// Whether `password` is the stored password of the account file `path`
// (password_matches). False for a file that is empty or cannot be read.
bool account_password_matches(const std::string& path, const std::string& password);

// --- The Users page's operations ---
// Accounts are found regardless of case (find_account_path). A write puts
// the keys in the order "password", "sex", "Icon" (only when not empty),
// "email", "Profile", "Disabled", keeping any other key of the file.

// One account as the page lists it, the stored texts unchanged ("sex" read
// with the default "2", "Disabled" with "No"). `password` is the stored form
// (a hash); the page shows only that one is set.
struct AccountListing {
  std::string name;  // the file name
  std::string password, sex, icon, email, profile, disabled;
};

// Reads one account (found regardless of case) as list_accounts lists it.
// False when there is no such file or it cannot be read.
[[nodiscard]] bool read_account(const std::string& program_folder, const std::string& name,
                                AccountListing& out);

// Every file (not folder, not a write's leftover) of users/ whose
// "password" is not empty, in the order the file system lists them. Accounts without a password are not
// listed (they can only log in as guests).
std::vector<AccountListing> list_accounts(const std::string& program_folder);

// The values the user dialog gives.
struct MemberValues {
  std::string password;   // in clear; empty: the stored password stays
  std::string sex = "2";  // "0", "1" or "2"
  std::string icon;       // empty: "Icon" is not written (the stored one stays)
  std::string email, profile;
  bool disabled = false;  // written "Yes" / "No"
};

// A new account users/<name>, created exclusively. Exists when an account
// of that name exists in any spelling, also one without a password. Failed
// also for a name that fails account_name_safe.
[[nodiscard]] AccountChange add_member(const std::string& program_folder, const std::string& name,
                         const MemberValues& values);

// Writes the values of the account old_name under new_name.
//  - new_name finds old_name's own file (the same name, or another spelling
//    of it): the values go into that file, which keeps its name;
//  - new_name finds another account: Exists, nothing written;
//  - otherwise (a rename): users/<new_name> is written first and the old
//    file deleted only after that, so a failed write loses nothing (a
//    half-written new file is removed again).
// An empty password keeps the stored one (also across a rename).
// stored_name receives the name the account's file has afterwards.
[[nodiscard]] AccountChange edit_member(const std::string& program_folder, const std::string& old_name,
                          const std::string& new_name, const MemberValues& values,
                          std::string& stored_name);

// Deletes the account file. False when there is none or it is not a file,
// or the deletion failed.
[[nodiscard]] bool delete_member(const std::string& program_folder, const std::string& name);

}  // namespace tvl
