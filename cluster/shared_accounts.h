// SharedAccounts: the member accounts of a chat that several servers share,
// kept in Redis, so that a registration, a profile change or an operator's
// change made through any server holds on every server at once. Each
// change is one Lua script, carried out by Redis as one step: two servers
// writing at once both land (different names) or exactly one wins (the
// same name in any case), and a reader sees an account before or after a
// change, never half of it.
//
// Keys (<fold> is account_name_fold of the name, <skeleton> its
// account_name_skeleton; storage/account_name.h):
//   key                        type  holds
//   tvl:account:<fold>         hash  "name": the spelling the account was
//                                    created with; then the keys of the
//                                    account file as its writers write them
//                                    (storage/account.h): "password" (the
//                                    hash), "sex", "Icon", "email",
//                                    "Profile", "Disabled"; a key the file
//                                    did not have is absent (read with the
//                                    file's default)
//   tvl:accounts               hash  <fold> -> spelling, one per account
//   tvl:account-look:<skeleton> set  the <fold>s of the accounts with that
//                                    skeleton (lookalike names)
//   tvl:account-changes        stream one entry per change of an account,
//                                    "f": its <fold>, written by the change's
//                                    script (the last 10,000 or so), which
//                                    the nodes' copies follow
// Values are read cut to kAccountValueSize - 1 bytes, as from the files.
//
// Redis away: finds and lookalike checks give nothing, a login with a
// password is refused (BadLogin), one without is a guest's (whose name
// claim, through Redis too, then refuses the entry), a change fails and
// changes nothing. The cluster node reports Redis away; this store says nothing.
// Thread safety: any thread at once (through the pool's links).
#pragma once
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "cluster/redis_pool.h"
#include "storage/account_store.h"

namespace tvl {

extern const char kAccountChangesKey[];

class SharedAccounts final : public AccountStore {
 public:
  // Called with the fold of each account a change through this store
  // wrote, once the change is in Redis, on the thread that made it.
  using ChangeSink = std::function<void(const std::string& fold)>;
  explicit SharedAccounts(std::shared_ptr<RedisPool> pool, ChangeSink changed = nullptr)
      : pool_(std::move(pool)), changed_(std::move(changed)) {}
  std::string find(const std::string& name) override;
  std::string lookalike(const std::string& name) override;
  AccountCheck check(const std::string& name, const std::string& password,
                     std::string& icon) override;
  bool password_matches(const std::string& name, const std::string& password) override;
  AccountChange write(const std::string& name, const AccountFields& fields, bool create) override;
  bool read(const std::string& name, AccountListing& out) override;
  std::vector<AccountListing> list() override;
  bool list_all(std::vector<AccountListing>& out, Reason& why) override;
  AccountChange add_member(const std::string& name, const MemberValues& values) override;
  AccountChange edit_member(const std::string& old_name, const std::string& new_name,
                            const MemberValues& values, std::string& stored_name) override;
  bool delete_member(const std::string& name) override;

 private:
  using Fields = std::map<std::string, std::string>;
  using Pairs = std::vector<std::string>;  // key, value, key, value, ...
  // The account's hash; false when there is none or Redis could not be asked.
  bool fetch(const std::string& name, Fields& fields);
  AccountChange create(const std::string& name, const Pairs& pairs);
  void tell(const std::string& fold);
  std::shared_ptr<RedisPool> pool_;
  const ChangeSink changed_;
};

// What moving accounts between a folder and the cluster did.
struct AccountMove {
  int moved = 0;    // accounts written
  int kept = 0;     // import: already in the cluster, left as they are
  int skipped = 0;  // files that are no readable account, names no file may have
};

// `tvlctl cluster import`: every account file of <program_folder>users/
// into the cluster, with the keys the file has. An account the cluster has
// already (any case) stays as it is. False when users/ cannot be listed or
// Redis fails (`why`); the accounts moved until then stay moved. Accounts
// whose folded names are in `passed_over` are not moved (counted kept).
[[nodiscard]] bool import_accounts(RedisPool& pool, const std::string& program_folder,
                                   AccountMove& move, Reason& why,
                                   const std::set<std::string>& passed_over = {});

// The folded names of the accounts that tvl:account-changes tells of: each
// was changed, made or deleted through some server since the stream began.
[[nodiscard]] bool told_accounts(RedisPool& pool, std::set<std::string>& folds, Reason& why);

// `tvlctl cluster export`: every account of the cluster into
// <program_folder>users/<spelling>, in the file format the single server
// reads: a new file is created exclusively (0600), an existing one is
// replaced whole, keeping any key the cluster does not hold. Files of
// accounts the cluster does not have stay. False when users/ is missing,
// Redis fails or a file cannot be written (`why`); the files written until
// then stay written.
// One account, its hash as HGETALL gives it, into
// <program_folder>users/ as export_accounts writes it; with
// `skip_unchanged` a file that holds those values already is left alone.
// `written` tells whether a file was written; a name no file may have is
// skipped (true, nothing written). False when the file could not be
// written (`why`).
[[nodiscard]] bool write_account_file(const std::map<std::string, std::string>& fields,
                                      const std::string& program_folder, bool skip_unchanged,
                                      bool& written, Reason& why);

[[nodiscard]] bool export_accounts(RedisPool& pool, const std::string& program_folder,
                                   AccountMove& move, Reason& why);

}  // namespace tvl
