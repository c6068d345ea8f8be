// AccountStore: where the member accounts live. A single server keeps them
// as files in users/ (FileAccountStore, storage/account.h has the format);
// servers that share one chat keep them in their shared store (cluster/
// implements this interface), so that a registration or a change made
// through any server holds on every server at once. The chat pages and the
// operator's commands and the window's pages reach accounts only through
// this interface.
//
// Every operation has the meaning of the function of storage/account.h of
// the same name: names are one account under case folding, `find` gives the
// stored spelling (the file name) of an account, and a change is made whole
// or not at all.
// Thread safety: every function may run on any thread at once.
#pragma once
#include <string>
#include <vector>

#include "platform/reason.h"
#include "storage/account.h"

namespace tvl {

class AccountStore {
 public:
  virtual ~AccountStore() = default;
  // The stored spelling of the account `name` (any case); empty when there
  // is none, or when the store cannot be asked.
  virtual std::string find(const std::string& name) = 0;
  // The stored spelling of an account that looks like `name`; empty when
  // there is none, or when the store cannot be asked (a store that can
  // fail refuses the entry or registration at its next step then).
  virtual std::string lookalike(const std::string& name) = 0;
  // check_account. A store that cannot be asked gives BadLogin for a
  // password (with the time of a password check), Guest for none.
  virtual AccountCheck check(const std::string& name, const std::string& password,
                             std::string& icon) = 0;
  // Whether `password` is the stored password of the account `name`.
  virtual bool password_matches(const std::string& name, const std::string& password) = 0;
  // write_account; Failed also when the store cannot be asked.
  [[nodiscard]] virtual AccountChange write(const std::string& name, const AccountFields& fields,
                                            bool create) = 0;
  [[nodiscard]] virtual bool read(const std::string& name, AccountListing& out) = 0;
  virtual std::vector<AccountListing> list() = 0;
  // list(), telling whether the whole list was read: false with `why` when
  // the store could not be asked (`out` then holds what came before, which
  // is no list to show as the accounts). Files are always listed whole.
  [[nodiscard]] virtual bool list_all(std::vector<AccountListing>& out, Reason& why) {
    (void)why;
    out = list();
    return true;
  }
  [[nodiscard]] virtual AccountChange add_member(const std::string& name,
                                                 const MemberValues& values) = 0;
  [[nodiscard]] virtual AccountChange edit_member(const std::string& old_name,
                                                  const std::string& new_name,
                                                  const MemberValues& values,
                                                  std::string& stored_name) = 0;
  [[nodiscard]] virtual bool delete_member(const std::string& name) = 0;
};

// The accounts of one server: the files of users/ in `program_folder`.
// It keeps a reference to the folder's text, which must outlive it (the
// site's program folder, set when the settings are loaded).
class FileAccountStore final : public AccountStore {
 public:
  explicit FileAccountStore(const std::string& program_folder) : folder_(program_folder) {}
  std::string find(const std::string& name) override;
  std::string lookalike(const std::string& name) override;
  AccountCheck check(const std::string& name, const std::string& password,
                     std::string& icon) override;
  bool password_matches(const std::string& name, const std::string& password) override;
  AccountChange write(const std::string& name, const AccountFields& fields, bool create) override;
  bool read(const std::string& name, AccountListing& out) override;
  std::vector<AccountListing> list() override;
  AccountChange add_member(const std::string& name, const MemberValues& values) override;
  AccountChange edit_member(const std::string& old_name, const std::string& new_name,
                            const MemberValues& values, std::string& stored_name) override;
  bool delete_member(const std::string& name) override;

 private:
  const std::string& folder_;
};

}  // namespace tvl
