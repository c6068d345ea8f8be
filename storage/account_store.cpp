#include "storage/account_store.h"

namespace tvl {

std::string FileAccountStore::find(const std::string& name) {
  const std::string path = find_account_path(folder_, name);
  return path.empty() ? path : path.substr(account_path(folder_, "").size());
}

std::string FileAccountStore::lookalike(const std::string& name) {
  return lookalike_account(folder_, name);
}

AccountCheck FileAccountStore::check(const std::string& name, const std::string& password,
                                     std::string& icon) {
  return check_account(folder_, name, password, icon);
}

bool FileAccountStore::password_matches(const std::string& name, const std::string& password) {
  const std::string path = find_account_path(folder_, name);
  return !path.empty() && account_password_matches(path, password);
}

AccountChange FileAccountStore::write(const std::string& name, const AccountFields& fields,
                                      bool create) {
  return write_account(folder_, name, fields, create);
}

bool FileAccountStore::read(const std::string& name, AccountListing& out) {
  return read_account(folder_, name, out);
}

std::vector<AccountListing> FileAccountStore::list() { return list_accounts(folder_); }

AccountChange FileAccountStore::add_member(const std::string& name, const MemberValues& values) {
  return tvl::add_member(folder_, name, values);
}

AccountChange FileAccountStore::edit_member(const std::string& old_name,
                                            const std::string& new_name,
                                            const MemberValues& values,
                                            std::string& stored_name) {
  return tvl::edit_member(folder_, old_name, new_name, values, stored_name);
}

bool FileAccountStore::delete_member(const std::string& name) {
  return tvl::delete_member(folder_, name);
}

}  // namespace tvl
