#include "storage/account_index.h"

#include <map>
#include <unordered_map>

#include "platform/fs.h"
#include "platform/lock_annotations.h"
#include "platform/profile.h"
#include "storage/account_name.h"

namespace tvl {

namespace {

struct FolderIndex {
  long long stamp = -2;     // folder stamp the maps stand for
  bool settled = false;     // the stamp was old enough to trust when listed
  std::unordered_map<std::string, std::string> by_fold;      // fold -> file name
  std::unordered_map<std::string, std::string> by_skeleton;  // skeleton -> file name
};

Mutex g_lock;
std::map<std::string, FolderIndex> g_indexes GUARDED_BY(g_lock);  // by program folder

void add_locked(FolderIndex& index, const std::string& file) {
  // The first entry listed keeps a key, as the folder lookups before did.
  index.by_fold.emplace(account_name_fold(file), file);
  index.by_skeleton.emplace(account_name_skeleton(file), file);
}

FolderIndex& current_locked(const std::string& program_folder) REQUIRES(g_lock) {
  FolderIndex& index = g_indexes[program_folder];
  const std::string folder = program_folder + "users/";
  const long long stamp = folder_change_stamp(folder);
  if (stamp == index.stamp && index.settled) return index;
  const long long now = folder_stamp_now_ns();
  index.by_fold.clear();
  index.by_skeleton.clear();
  for (const std::string& entry : list_folder(folder))
    if (!is_profile_leftover(entry)) add_locked(index, entry);
  index.stamp = stamp;
  index.settled = now - stamp >= folder_stamp_settle_ns();
  return index;
}

}  // namespace

std::string indexed_account(const std::string& program_folder, const std::string& name) {
  MutexLock hold(g_lock);
  FolderIndex& index = current_locked(program_folder);
  auto it = index.by_fold.find(account_name_fold(name));
  return it == index.by_fold.end() ? std::string() : it->second;
}

std::string indexed_lookalike(const std::string& program_folder, const std::string& name) {
  MutexLock hold(g_lock);
  FolderIndex& index = current_locked(program_folder);
  auto it = index.by_skeleton.find(account_name_skeleton(name));
  return it == index.by_skeleton.end() ? std::string() : it->second;
}

void index_account_added(const std::string& program_folder, const std::string& file_name) {
  MutexLock hold(g_lock);
  auto it = g_indexes.find(program_folder);
  if (it == g_indexes.end()) return;  // made at its first lookup
  FolderIndex& index = it->second;
  // A settled index missed nothing before this write, so the new stamp is
  // this write's own; otherwise the next lookup lists the folder anyway.
  if (!index.settled) return;
  add_locked(index, file_name);
  index.stamp = folder_change_stamp(program_folder + "users/");
}

void index_account_removed(const std::string& program_folder, const std::string& /*file_name*/) {
  MutexLock hold(g_lock);
  // Rare (the window deletes accounts): another file may share the removed
  // one's keys, so the next lookup lists the folder again.
  auto it = g_indexes.find(program_folder);
  if (it != g_indexes.end()) it->second.settled = false;
}

}  // namespace tvl
