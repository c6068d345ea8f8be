// Crash safety of the room file: every write step of every change is made to
// fail, come out short, run out of space or stop the process half-way
// (write_faults.h); after each, the file must hold either the state before
// the change or the state after it, never another, and a change refused must
// leave it as it was. Also: one writer at a time across processes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/write_faults.h"
#include "storage/room_store.h"
#include "tests/record_file_helpers.h"
#include "tests/support/room_file.h"
#include "tests/support/test_util.h"

namespace tvl {
namespace {

using Change = std::function<bool(const std::string& folder)>;

struct NamedChange {
  const char* name;
  Change run;
};

RoomValues room(const std::string& name, const std::string& admin = "") {
  RoomValues v;
  v.name = name;
  v.admin = admin;
  return v;
}

// The changes, each applied to the state the ones before left.
const std::vector<NamedChange>& changes() {
  static const std::vector<NamedChange> list = {
      {"add", [](const std::string& f) { int id = 0; Reason why; return add_room(f, room("Garden", "ann"), id, why); }},
      {"add long", [](const std::string& f) {
         int id = 0;
         Reason why;
         return add_room(f, room(std::string(63, 'y'), std::string(127, 'a')), id, why);
       }},
      {"update", [](const std::string& f) { Reason why; return update_room(f, 2, room("Yard", "bob"), why); }},
      {"delete", [](const std::string& f) {
         bool deleted = false;
         Reason why;
         return delete_room(f, 1, deleted, why) && deleted;
       }},
      {"add after delete", [](const std::string& f) { int id = 0; Reason why; return add_room(f, room("Porch"), id, why); }},
  };
  return list;
}

// The rooms as a text ("id name admin guest admin_only" per room), or
// "unreadable"/"damaged".
std::string state(const std::string& folder) {
  std::vector<RoomRow> rows;
  if (!list_room_rows(folder, rows)) return "unreadable";
  std::vector<RoomInfo> rooms;
  RoomFileCheck check;
  if (!read_rooms(folder, rooms, &check) || check.damaged) return "damaged";
  std::string s;
  for (const RoomRow& r : rows)
    s += std::to_string(r.id) + " " + r.name + " " + r.admin + " " + (r.guest ? "1" : "0") +
         (r.admin_only ? "1" : "0") + "\n";
  return s;
}

class RecordFileCrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::write_room_file(dir_.path(), {{"Lobby", "", true, false},
                                                    {"Members", "", false, false},
                                                    {"Staff", "boss", false, true}}));
  }
  void TearDown() override { set_write_fault_plan({}); }
  std::string path() const { return dir_.path() + "rooms.sdb"; }
  std::string bytes() const { return rft::file_bytes(path()); }
  void restore(const std::string& data) const {
    rft::write_bytes(path(), data);
    ::unlink((path() + ".new").c_str());
  }

  // Runs `change` in this process under the plan; whether it said it was
  // made, and whether the planned fault struck.
  bool run_here(const Change& change, WriteFaultPlan plan, bool& struck) {
    set_write_fault_plan(plan);
    const bool made = change(dir_.path());
    struck = write_fault_steps() >= plan.at;
    set_write_fault_plan({});
    return made;
  }

  // Runs `change` in a child process that the plan stops; whether the stop
  // struck (else the child finished the change).
  bool run_killed(const Change& change, WriteFaultPlan plan) {
    const pid_t child = ::fork();
    if (child == 0) {
      set_write_fault_plan(plan);
      ::_exit(change(dir_.path()) ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    const int code = WEXITSTATUS(status);
    EXPECT_TRUE(code == 0 || code == kWriteFaultStopStatus) << "status " << code;
    return code == kWriteFaultStopStatus;
  }

  test::TempDir dir_;
};

TEST_F(RecordFileCrashTest, EveryInterruptedWriteLeavesTheOldOrTheNewState) {
  const WriteFault kinds[] = {WriteFault::Fail, WriteFault::NoSpace, WriteFault::Short,
                              WriteFault::Stop};
  int interruptions = 0;
  for (const NamedChange& c : changes()) {
    SCOPED_TRACE(c.name);
    const std::string before_bytes = bytes();
    const std::string before = state(dir_.path());
    ASSERT_TRUE(c.run(dir_.path()));
    const std::string after_bytes = bytes();
    const std::string after = state(dir_.path());
    ASSERT_NE(before, after);
    for (WriteFault kind : kinds) {
      for (int at = 1;; ++at) {
        SCOPED_TRACE("fault " + std::to_string(int(kind)) + " at step " + std::to_string(at));
        restore(before_bytes);
        bool struck = false;
        if (kind == WriteFault::Stop) {
          struck = run_killed(c.run, {kind, at});
          const std::string now = state(dir_.path());
          EXPECT_TRUE(now == before || now == after) << now;
        } else {
          const bool made = run_here(c.run, {kind, at}, struck);
          // Refused means untouched; made means made.
          EXPECT_EQ(state(dir_.path()), made ? after : before);
        }
        if (!struck) break;
        ++interruptions;
        // Space freed, the process restarted: the change works again, over
        // whatever the interrupted one left behind beside the file.
        rft::write_bytes(path(), before_bytes);
        ASSERT_TRUE(c.run(dir_.path()));
        EXPECT_TRUE(bytes() == after_bytes);
        ASSERT_LT(at, 1000) << "the fault never stops striking";
      }
    }
    restore(after_bytes);
  }
  // Every change has several steps, each interrupted four ways.
  EXPECT_GE(interruptions, int(changes().size()) * 4 * 3);
}

TEST_F(RecordFileCrashTest, ConcurrentWritersInOtherProcessesAllLand) {
  constexpr int kWriters = 30;
  std::vector<pid_t> children;
  for (int i = 0; i < kWriters; ++i) {
    const pid_t child = ::fork();
    if (child == 0) {
      int id = 0;
      Reason why;
      ::_exit(add_room(dir_.path(), room("Room" + std::to_string(i)), id, why) ? 0 : 1);
    }
    children.push_back(child);
  }
  int succeeded = 0;
  for (pid_t child : children) {
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) ++succeeded;
  }
  EXPECT_EQ(succeeded, kWriters);
  std::vector<RoomRow> rows;
  ASSERT_TRUE(list_room_rows(dir_.path(), rows));
  ASSERT_EQ(rows.size(), 3u + kWriters);
  std::vector<bool> seen(kWriters, false);
  for (const RoomRow& r : rows)
    if (r.name.rfind("Room", 0) == 0) seen[std::size_t(std::stoi(r.name.substr(4)))] = true;
  for (int i = 0; i < kWriters; ++i) EXPECT_TRUE(seen[std::size_t(i)]) << "Room" << i << " lost";
}

TEST_F(RecordFileCrashTest, FailedChangeSaysWhyAndKeepsTheFile) {
  const std::string before = bytes();
  set_write_fault_plan({WriteFault::NoSpace, 1});
  int id = 0;
  Reason reason;
  EXPECT_FALSE(add_room(dir_.path(), room("Garden"), id, reason));
  set_write_fault_plan({});
  EXPECT_NE(reason.text.find("No space left on device"), std::string::npos) << reason.text;
  EXPECT_EQ(bytes(), before);
  EXPECT_FALSE(dir_.exists("rooms.sdb.new"));

  // A folder where the file belongs is damage, told with its path.
  ASSERT_EQ(::unlink(path().c_str()), 0);
  ASSERT_EQ(::mkdir(path().c_str(), 0700), 0);
  std::vector<RoomInfo> rooms;
  RoomFileCheck check;
  EXPECT_FALSE(read_rooms(dir_.path(), rooms, &check));
  EXPECT_TRUE(check.damaged);
  EXPECT_NE(room_file_notice(check).find(path()), std::string::npos) << room_file_notice(check);
  EXPECT_FALSE(add_room(dir_.path(), room("Garden"), id, reason));
  EXPECT_NE(reason.text.find("not a file"), std::string::npos) << reason.text;
}

}  // namespace
}  // namespace tvl
