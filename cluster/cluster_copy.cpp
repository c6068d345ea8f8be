#include "cluster/cluster_copy.h"

#include <set>

#include "cluster/shared_accounts.h"
#include "cluster/shared_entry.h"
#include "cluster/shared_rooms.h"
#include "platform/fs.h"
#include "platform/profile.h"
#include "platform/random.h"
#include "storage/account.h"
#include "storage/account_name.h"

namespace tvl {

const char kCopyMarkerKey[] = "tvl:copy-marker";
const char kCopyLockKey[] = "tvl:copy-lock";

namespace {

const char kAccountsKey[] = "tvl:accounts";
const char kRoomsVersionKey[] = "tvl:rooms-version";
// Entries of tvl:account-changes read per command.
constexpr int kChangesPerRead = 500;

// KEYS: the marker, a key. {the marker or nil, what `read` gives of the
// key}, in one step: what Redis holds goes with whether it lost it.
std::vector<std::string> with_marker(const char* read, const std::string& key) {
  const std::string text =
      std::string("return {redis.call('GET', KEYS[1]), redis.call('") + read + "', KEYS[2])}";
  return {"EVAL", text, "2", kCopyMarkerKey, key};
}

bool pair_reply(const RedisReply& reply) {
  return reply.kind == RedisReply::Kind::Array && reply.items.size() == 2;
}

}  // namespace

ClusterCopy::ClusterCopy(std::shared_ptr<RedisPool> pool, const std::string& program_folder,
                         std::string node, ReportSink report, int watch_ms)
    : pool_(std::move(pool)),
      folder_(program_folder + kCopyFolderName),
      node_(std::move(node)),
      report_(std::move(report)),
      watch_ms_(watch_ms) {}

ClusterCopy::~ClusterCopy() { stop(); }

void ClusterCopy::start() {
  if (thread_.joinable()) return;
  // Accounts hold password hashes: the copy is the owner's alone.
  if ((!make_private_directory(folder_) || !make_private_directory(folder_ + "users/")) && report_)
    report_("the cluster's copy cannot be kept: " + folder_ + " cannot be made");
  remove_profile_leftovers(folder_ + "users/");
  {
    MutexLock hold(stop_lock_);
    stopping_ = false;
  }
  thread_ = std::thread([this] { run(); });
}

void ClusterCopy::stop() {
  {
    MutexLock hold(stop_lock_);
    stopping_ = true;
    stop_wake_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

void ClusterCopy::run() {
  for (;;) {
    Reason why;  // Redis away: the cluster node reports it; tried again next round
    (void)round(why);
    MutexLock hold(stop_lock_);
    const auto until = CondVar::Clock::now() + std::chrono::milliseconds(watch_ms_);
    while (!stopping_ && stop_wake_.wait_until(stop_lock_, until)) {
    }
    if (stopping_) return;
  }
}

void ClusterCopy::account_changed(const std::string& fold) {
  MutexLock hold(write_lock_);
  Reason why;
  (void)copy_account(fold, why);  // Redis away now: the thread's next look brings it
}

void ClusterCopy::rooms_changed() {
  MutexLock hold(write_lock_);
  Reason why;
  (void)copy_rooms(why);
}

bool ClusterCopy::copy_account(const std::string& fold, Reason& why) {
  RedisReply reply;
  if (!pool_->command(with_marker("HGETALL", "tvl:account:" + fold), reply, why)) return false;
  if (!pair_reply(reply)) return why.fail("Redis answered the copy out of place");
  const std::map<std::string, std::string> fields = reply_hash(reply.items[1]);
  if (fields.empty()) {
    // Gone from a Redis that holds the marker: deleted. Without the marker
    // Redis lost everything, and the copy is what gives it back.
    if (reply.items[0].is_nil()) return true;
    const std::string path = find_account_path(folder_, fold);
    if (!path.empty()) (void)delete_file(path);  // a file left is given back at worst
    return true;
  }
  bool written = false;
  if (write_account_file(fields, folder_, true, written, why)) return true;
  if (!write_failed_ && report_) report_("the cluster's copy is not kept: " + why.text);
  write_failed_ = true;
  return true;  // Redis answered; the file is the trouble
}

bool ClusterCopy::copy_rooms(Reason& why) {
  RedisReply version;
  if (!pool_->command({"GET", kRoomsVersionKey}, version, why)) return false;
  if (version.is_nil()) return true;  // the cluster holds no rooms: the copy keeps its own
  int moved = 0;
  // Read with their version in one step; a Redis that lost them writes nothing.
  if (!export_rooms(*pool_, folder_, moved, why)) return false;
  rooms_version_ = version.text;
  return true;
}

void ClusterCopy::add_part(std::shared_ptr<CopyPart> part) {
  MutexLock hold(parts_lock_);
  parts_.push_back(std::move(part));
}

std::vector<std::shared_ptr<CopyPart>> ClusterCopy::parts() {
  MutexLock hold(parts_lock_);
  return parts_;
}

bool ClusterCopy::give_back(Reason& why) {
  for (const std::shared_ptr<CopyPart>& part : parts())
    if (!part->give_back(why)) return false;
  // An account that a server changed since Redis was emptied is in Redis
  // as that change left it: one this copy holds and Redis lacks was
  // deleted (or renamed) meanwhile, and is not made again.
  std::set<std::string> told;
  if (!told_accounts(*pool_, told, why)) return false;
  AccountMove accounts;
  if (!import_accounts(*pool_, folder_, accounts, why, told)) return false;
  int rooms = 0;
  bool kept = true;
  if (is_regular_file(folder_ + "rooms.sdb") && !import_rooms(*pool_, folder_, rooms, kept, why))
    return false;
  if ((accounts.moved || (!kept && rooms)) && report_)
    report_("Redis had lost accounts or rooms: node " + node_ + " gave back " +
            std::to_string(accounts.moved) + " accounts" +
            (kept ? std::string() : " and " + std::to_string(rooms) + " rooms") +
            " from its copy");
  return true;
}

bool ClusterCopy::copy_all(Reason& why) {
  // Where the changes stand before the accounts are read: what changes
  // after comes through follow().
  RedisReply last;
  if (!pool_->command({"XREVRANGE", kAccountChangesKey, "+", "-", "COUNT", "1"}, last, why))
    return false;
  RedisReply listed;
  if (!pool_->command(with_marker("HKEYS", kAccountsKey), listed, why)) return false;
  if (!pair_reply(listed) || listed.items[0].is_nil())
    return why.fail("Redis holds no copy marker");
  std::set<std::string> folds;
  for (const RedisReply& fold : listed.items[1].items) folds.insert(fold.text);
  for (const std::string& fold : folds) {
    MutexLock hold(write_lock_);
    if (!copy_account(fold, why)) return false;
  }
  // Files of accounts Redis did not list: each is looked up again (it may
  // have been made since) and goes only when Redis still lacks it.
  for (const std::string& name : find_files(folder_ + "users/*")) {
    if (is_profile_leftover(name) || folds.count(account_name_fold(name))) continue;
    MutexLock hold(write_lock_);
    if (!copy_account(account_name_fold(name), why)) return false;
  }
  {
    MutexLock hold(write_lock_);
    if (!copy_rooms(why)) return false;
  }
  last_change_ = "0-0";
  if (!last.items.empty() && !last.items[0].items.empty()) last_change_ = last.items[0].items[0].text;
  return true;
}

bool ClusterCopy::follow(bool& trimmed, Reason& why) {
  trimmed = false;
  StreamId read_to;
  if (!parse_stream_id(last_change_, read_to)) {
    trimmed = true;
    return true;
  }
  if (read_to.ms || read_to.seq) {
    // The oldest entry kept is after the last read: entries between may
    // have been trimmed away unread.
    RedisReply first;
    if (!pool_->command({"XRANGE", kAccountChangesKey, "-", "+", "COUNT", "1"}, first, why))
      return false;
    StreamId oldest;
    if (!first.items.empty() && !first.items[0].items.empty() &&
        parse_stream_id(first.items[0].items[0].text, oldest) && read_to < oldest) {
      trimmed = true;
      return true;
    }
  }
  for (;;) {
    RedisReply entries;
    if (!pool_->command({"XRANGE", kAccountChangesKey, "(" + last_change_, "+", "COUNT",
                         std::to_string(kChangesPerRead)},
                        entries, why))
      return false;
    for (const RedisReply& entry : entries.items) {
      if (entry.items.size() != 2) continue;
      const std::vector<RedisReply>& fields = entry.items[1].items;
      for (std::size_t i = 0; i + 1 < fields.size(); i += 2) {
        if (fields[i].text != "f") continue;
        MutexLock hold(write_lock_);
        if (!copy_account(fields[i + 1].text, why)) return false;
      }
      last_change_ = entry.items[0].text;
    }
    if (entries.items.size() < static_cast<std::size_t>(kChangesPerRead)) return true;
  }
}

bool ClusterCopy::round(Reason& why) {
  RedisReply marker;
  if (!pool_->command({"GET", kCopyMarkerKey}, marker, why)) return false;
  if (marker.is_nil()) {
    // Redis lost what it held (or never held anything): the first node to
    // take the lock gives it its copy and sets the marker; the others wait.
    saw_missing_ = true;
    RedisReply lock;
    if (!pool_->command({"SET", kCopyLockKey, node_, "NX", "EX", std::to_string(kCopyLockS)},
                        lock, why))
      return false;
    if (lock.is_nil()) return true;
    const std::string token = random_hex(8);
    RedisReply done;
    const bool marked =
        give_back(why) && pool_->command({"SET", kCopyMarkerKey, token}, done, why);
    Reason unlocked;  // the lock expires by itself when Redis cannot take this
    (void)pool_->command({"DEL", kCopyLockKey}, done, unlocked);
    if (!marked) return false;
    saw_missing_ = false;
    if (!copy_all(why)) return false;
    marker_ = token;
    return true;
  }
  if (marker.text != marker_) {
    // Filled anew by another node (or the first look of this one): what
    // this copy holds and Redis lacks goes in too, then the copy takes
    // every account.
    if ((saw_missing_ || !marker_.empty()) && !give_back(why)) return false;
    saw_missing_ = false;
    if (!copy_all(why)) return false;
    marker_ = marker.text;
    return true;
  }
  for (const std::shared_ptr<CopyPart>& part : parts())
    if (!part->look(why)) return false;
  bool trimmed = false;
  if (!follow(trimmed, why)) return false;
  if (trimmed) return copy_all(why);
  RedisReply version;
  if (!pool_->command({"GET", kRoomsVersionKey}, version, why)) return false;
  MutexLock hold(write_lock_);
  if (!version.is_nil() && version.text != rooms_version_) return copy_rooms(why);
  return true;
}

}  // namespace tvl
