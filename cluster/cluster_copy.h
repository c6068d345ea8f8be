// ClusterCopy: each node's own copy of the cluster's accounts and rooms, in
// the single server's formats, under <program folder>cluster-copy/ (users/
// with a file per account, rooms.sdb), so that a Redis that restarts empty
// gets them back from the nodes instead of losing them.
//
// Keys:
//   key                   type    holds
//   tvl:copy-marker       string  a random token, set by the node that filled
//                                 Redis from its copy (or found nothing to
//                                 fill); its absence means Redis lost what it
//                                 held (or never held anything)
//   tvl:copy-lock         string  the node filling Redis from its copy (SET
//                                 NX, expires after kCopyLockS seconds)
//   tvl:account-changes   stream  which accounts changed (SharedAccounts)
//
// The copy takes in every change of the cluster: the changes made through
// this node at once, on the thread that made them (account_changed,
// rooms_changed), the others' from a thread that looks every `watch_ms`:
//  - at the marker, present: the new entries of tvl:account-changes, each
//    account written into the copy or, when Redis holds it no more, its
//    file deleted; every account at the start, when the marker changed, and
//    when entries were trimmed before they were read; rooms.sdb written
//    anew when the rooms' version moved;
//  - marker missing (Redis restarted empty): the first node to take the lock
//    imports its copy (accounts Redis lacks; the rooms, when Redis has
//    none: cluster/shared_accounts.h, cluster/shared_rooms.h), sets the
//    marker and frees the lock. Every other node that saw the marker go (or
//    finds a new one) imports its own copy the same way afterwards: an
//    account that one node has and the filling one lacked is not lost. An
//    account that tvl:account-changes tells of is not imported: a server
//    changed it since Redis was emptied, so Redis holds it as it is now
//    (or it was deleted meanwhile, and is not made again).
//    The parts (add_part) give back theirs at the same moments.
// A file is deleted only when Redis, in the same step, holds the marker and
// not the account, so a Redis that restarted empty never empties a copy.
// Writes replace a file whole (a temporary file moved over it).
//
// Redis away: nothing is written; the thread tries again next round.
// Thread safety: account_changed and rooms_changed from any thread;
// start() and stop() on the owner's.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cluster/redis_pool.h"
#include "platform/lock_annotations.h"

namespace tvl {

constexpr char kCopyFolderName[] = "cluster-copy/";

// Something else a node holds of the cluster that an emptied Redis gets
// back with the accounts and rooms (SharedCounters). Called from the
// copy's thread.
class CopyPart {
 public:
  virtual ~CopyPart() = default;
  // Each round Redis holds the marker: brings what the part would give back
  // up to date with Redis.
  virtual bool look(Reason& why) = 0;
  // Redis lost what it held (or another node filled it anew): what the
  // part holds goes in, keeping what Redis holds.
  virtual bool give_back(Reason& why) = 0;
};
constexpr int kCopyLockS = 60;
extern const char kCopyMarkerKey[];
extern const char kCopyLockKey[];

class ClusterCopy {
 public:
  // Something a person should know (a copy given to Redis, a copy that
  // cannot be written); called from the copy's threads, no lock held.
  using ReportSink = std::function<void(const std::string& text)>;
  // `program_folder` ends in "/".
  ClusterCopy(std::shared_ptr<RedisPool> pool, const std::string& program_folder,
              std::string node, ReportSink report, int watch_ms = 1000);
  ~ClusterCopy();  // stop()
  ClusterCopy(const ClusterCopy&) = delete;
  ClusterCopy& operator=(const ClusterCopy&) = delete;

  // Makes the copy's folders and starts the thread.
  void start();
  void stop();

  // Write-through of a change made through this node, once it is in Redis.
  void account_changed(const std::string& fold) EXCLUDES(write_lock_);
  void rooms_changed() EXCLUDES(write_lock_);
  // A part looked after from now on, from any thread.
  void add_part(std::shared_ptr<CopyPart> part) EXCLUDES(parts_lock_);

  const std::string& folder() const { return folder_; }

 private:
  void run();
  // One look; false when Redis could not be asked.
  bool round(Reason& why);
  // The copy's accounts (and rooms) into Redis, keeping what it holds.
  bool give_back(Reason& why);
  // Every account of Redis into the copy, and the files of accounts Redis
  // does not hold out of it.
  bool copy_all(Reason& why) EXCLUDES(write_lock_);
  // The new entries of tvl:account-changes; false with `trimmed` when some
  // were gone before they were read.
  bool follow(bool& trimmed, Reason& why) EXCLUDES(write_lock_);
  // One account from Redis into the copy; false when Redis failed.
  bool copy_account(const std::string& fold, Reason& why) REQUIRES(write_lock_);
  bool copy_rooms(Reason& why) REQUIRES(write_lock_);
  std::vector<std::shared_ptr<CopyPart>> parts() EXCLUDES(parts_lock_);

  std::shared_ptr<RedisPool> pool_;
  const std::string folder_;  // <program folder>cluster-copy/
  const std::string node_;
  const ReportSink report_;
  const int watch_ms_;

  // Taken around each read from Redis and the write into the copy that
  // follows, so that an older read never lands over a newer one.
  Mutex write_lock_;
  bool write_failed_ GUARDED_BY(write_lock_) = false;  // told once
  std::string rooms_version_ GUARDED_BY(write_lock_);  // of the rooms the copy holds

  Mutex parts_lock_;
  std::vector<std::shared_ptr<CopyPart>> parts_ GUARDED_BY(parts_lock_);

  // The thread's own.
  std::string marker_;        // the marker the copy is in step with; empty: none yet
  bool saw_missing_ = false;  // the marker was found missing since
  std::string last_change_;   // the id of the last entry of tvl:account-changes read

  Mutex stop_lock_;
  CondVar stop_wake_;
  bool stopping_ GUARDED_BY(stop_lock_) = false;
  std::thread thread_;
};

}  // namespace tvl
