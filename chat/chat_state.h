// The live chat, held in memory only: the room table, one ring of recent
// lines per room, the table of online users (500 places unless option.ini
// sets MaxOnline), the waiting message
// streams, and the chat lock.
//
// Locking: the chat lock is private. ChatState::Hold takes it for a scope;
// every member that needs it says so (REQUIRES), and what it guards is
// marked GUARDED_BY, so the clang build checks every access. Code outside
// this class names the lock in its own annotations through chat_lock().
// The room table is immutable once published: rooms() hands out a snapshot
// that stays valid while held, and replace_rooms() swaps in a new one (and
// new, empty rings) under the chat lock. The published pointer itself is
// guarded by a private leaf lock, taken only for the copy or the swap of the
// pointer (inside the chat lock when replacing), so rooms() may be called
// with or without the chat lock held. A handler that validated a room
// number against a snapshot re-checks it against room_count_locked() once it
// holds the lock, because the rooms may have been reloaded in between.
// Lock order: the chat lock, then the chat log's lock; never the reverse.
#pragma once
#include <array>
#include <cstddef>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/lock_annotations.h"
#include "storage/room_store.h"

namespace tvl {

// Copies text into a fixed zero-terminated field of the tables below,
// cutting what does not fit.
template <std::size_t N>
void copy_field(char (&field)[N], const std::string& text) {
  const std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
  std::memcpy(field, text.data(), n);
  std::memset(field + n, 0, N - n);
}

// One kept line of a room.
struct RingLine {
  // Its number in the room: 1 for the first line pushed, each next one
  // higher (by one on a server alone; a cluster's numbers may skip).
  int seq = 0;
  std::string text;  // the complete HTML line as sent to browsers
  // Addressee, "All" for everybody. As wide as a user name, so that a
  // private line reaches a user with a long name; longer addressees are cut
  // to 63 bytes.
  char to_whom[64] = {};
  // Place (OnlineUser::place_id) a private line was written to; 0 for other
  // lines.
  unsigned long long to_place = 0;
  // Place that wrote the line while it had a live stream open: its post's
  // answer showed the line, so no delivery hands it to that place again.
  // 0 for every other line.
  unsigned long long from_place = 0;
};

// The recent lines of one room, oldest first. Enough are kept that a visitor
// who keeps up never loses one: the last kMaxLines, and no more than
// kMaxBytes of text (always at least the newest line).
struct RoomMessages {
  static constexpr int kMaxLines = 500;
  // 500 ordinary lines are far below this; only a run of very long lines
  // reaches it, and a room then still keeps several of the longest ones.
  static constexpr std::size_t kMaxBytes = 512 * 1024;

  // Where the rings of a reload start (see ChatState::replace_rooms): above
  // 0, which marks a user who has received nothing yet.
  static constexpr int kReloadedSeq = 1;

  int seq = 0;                  // number of the last line pushed
  std::deque<RingLine> lines;   // lines.back().seq == seq when not empty
  std::size_t bytes = 0;        // text bytes of `lines`

  int kept() const { return static_cast<int>(lines.size()); }
  const std::string& text(int position) const { return lines[position].text; }
  const char* to_whom(int position) const { return lines[position].to_whom; }
  unsigned long long to_place(int position) const { return lines[position].to_place; }
  unsigned long long from_place(int position) const { return lines[position].from_place; }
};

struct OnlineUser {
  char name[64] = {};  // as it stood in the page address (not decoded)
  char icon[32] = {};  // a plain file name of images/, e.g. "3.gif" (checked at entry)
  // What proves a request comes from this place's visitor: a member's
  // password, or the random key handed to a guest at entry, as the pages
  // carry it in their "&password=" value (see chat/place_key.h).
  std::string key;
  // With several servers: key_digest() of the key. A place entered on
  // another server holds only this (its key is never sent between servers).
  std::string key_digest;
  int room = 0;
  int last_seq = 0;      // ring seq delivered up to; 0 = nothing yet
  int known_online = 0;  // online count when the user list was last reloaded
  bool split = false;    // own messages in their own pane
  bool active = true;    // false while banned
  long long ban_ends_ms = 0;  // the chat clock's end of the ban; 0: until lifted
  // The chat clock (ChatContext::now_ms) at the user's last poll or post.
  long long last_active_ms = 0;
  // Entered as a member (with the account's password), not as a guest.
  bool member = false;
  // Tells this place from any later one of the same name (private lines
  // reach only the place they were written to); never 0.
  unsigned long long place_id = 0;
  // The decoded name under account_name_fold and its confusable skeleton.
  std::string name_fold, skeleton;
  // The chat clock at which the place's lines are paid up (see
  // take_post_turn in chat/visitor_bounds.h); 0 before the first line.
  long long post_due_ms = 0;
  // The wall clock (seconds since 1970, UTC) when the place was taken: the
  // visitor is online since then. A window reopened with the place's key,
  // or a member taking the place over with the password, continues the
  // place and keeps this time. Set by ChatState::add_user when left 0.
  long long online_since = 0;
  // The place's live stream (chat/body_stream.h): the ticket of the one
  // stream that may deliver to it, 0 while none is open. A newer stream or
  // a wait of the place replaces it, and the older stream ends.
  unsigned long long live_stream = 0;
  // Lines up to this seq were handed out by a page answer (a poll, a wait,
  // a post), not by the live stream: a stream that resumes never goes back
  // behind it, so they are not delivered twice.
  int stream_floor = 0;
};

// What a waiting stream may be handed on the thread that pushes a line or
// changes the online table, instead of waking its own thread: a live stream
// whose connection writes without waiting takes its piece at once there.
class DirectDelivery {
 public:
  // Chat lock held, on the pusher's thread: hands the waiter what is new for
  // it. False when its own thread must wake after all (the piece did not
  // fit the connection, the stream ended, or it cannot be handed over here).
  // Must not add, remove or wake waiters, nor change the online table.
  virtual bool deliver_now() = 0;

 protected:
  ~DirectDelivery() = default;
};

// One message stream request waiting for lines (see ChatState::wait_for_lines).
// Lives on the waiting thread's stack; the chat lock guards its fields while
// it is registered.
struct Waiter {
  int room = 0;
  std::string name;  // the user's name as in the page address
  bool woken = false;
  bool superseded = false;  // a newer stream of the same place took over
  // Woken also when somebody enters or leaves (a live stream tells its
  // window at once that the user list changed).
  bool presence = false;
  // Set: pushes hand the waiter its lines through this before they would
  // wake it.
  DirectDelivery* direct = nullptr;
  CondVar wake;
  std::size_t slot = 0;       // its place in the state's list while registered
  std::size_t room_slot = 0;  // and in its room's list
};

class ChatState {
 public:
  // Places of the online table unless set_max_online() says otherwise.
  static constexpr int kMaxOnline = 500;
  // The most places set_max_online() accepts: each waiting visitor holds a
  // connection thread, and this many fit the descriptors and memory of a
  // small server many times over.
  static constexpr int kMaxOnlineBound = 20000;
  // The same for a table that holds the visitors of every server of a
  // cluster: each server's threads are then bounded by its own connections
  // (MaxConnections), and the table only by memory, a few hundred bytes a
  // place on every server.
  static constexpr int kMaxSharedOnlineBound = 200000;

  ChatState();
  ~ChatState();
  ChatState(const ChatState&) = delete;
  ChatState& operator=(const ChatState&) = delete;

  // Holds the chat lock for its scope: a MutexLock on it (unlock() and
  // lock() let go of it and take it again in between).
  class SCOPED_CAPABILITY Hold : public MutexLock {
   public:
    explicit Hold(const ChatState& state) ACQUIRE(state.lock_) : MutexLock(state.lock_) {}
    ~Hold() RELEASE() = default;
  };

  // The chat lock as a name for annotations (REQUIRES(state.chat_lock()));
  // const, so it cannot be taken through this.
  const Mutex& chat_lock() const RETURN_CAPABILITY(lock_) { return lock_; }

  // Tells the analysis that the caller holds the chat lock, where it cannot
  // see so itself: in a callback the chat calls under its lock through a
  // std::function. Checks nothing at run time.
  void assert_held() const ASSERT_CAPABILITY(lock_) {}

  // True when nobody holds the chat lock at this moment (tried and let go
  // again at once). For checks of what runs under the lock; must not be
  // called by a thread that holds it.
  bool chat_lock_free() const EXCLUDES(lock_);

  // Room table (no lock needed).
  std::shared_ptr<const std::vector<RoomInfo>> rooms() const EXCLUDES(rooms_lock_);
  int room_count() const EXCLUDES(rooms_lock_);
  // Publishes a new room table and empty rings; takes the chat lock itself.
  // Users online stay; their room numbers refer to the new numbering.
  // Waiting streams are woken (their rooms changed).
  void replace_rooms(std::vector<RoomInfo> rooms) EXCLUDES(lock_, rooms_lock_);

  int room_count_locked() const REQUIRES(lock_);
  int online_count() const REQUIRES(lock_);
  OnlineUser& user(int index) REQUIRES(lock_);
  const OnlineUser& user(int index) const REQUIRES(lock_);
  // Index of the first user in `room` whose name equals `name` ignoring
  // case; nullopt when there is none.
  std::optional<int> find_online_user(int room, const std::string& name) const REQUIRES(lock_);
  // Places of the online table (kMaxOnline unless set; 0 or less, and
  // anything above it, give kMaxOnlineBound). A smaller number than the
  // users online now keeps them all and refuses joins until enough left.
  int max_online() const REQUIRES(lock_) { return max_online_; }
  // `shared_table`: the table is a cluster's (kMaxSharedOnlineBound).
  void set_max_online(int places, bool shared_table = false) EXCLUDES(lock_);
  // Appends at the end of the table; false when every place is taken.
  // Wakes the waiting streams that follow presence (Waiter::presence), as
  // remove_user() does.
  // `address` is the client address of the join (kept beside the table, so
  // that the entries the lookups scan stay small). An entry whose
  // online_since is 0 is stamped with the wall clock now.
  // `beyond_max`: the place is taken even in a full table (a place another
  // server of a cluster admitted).
  bool add_user(const OnlineUser& user, const std::string& address = std::string(),
                bool beyond_max = false) REQUIRES(lock_);
  // The join address of an entry; it names the user in the log row when the
  // place times out.
  const char* join_address(int index) const REQUIRES(lock_);
  // Removes one entry; later entries move down keeping their order, fields
  // and join addresses.
  void remove_user(int index) REQUIRES(lock_);
  // Appends one line to room's ring (room 1..count), numbered seq + 1, and
  // drops the oldest lines past the ring's bounds. `to_place` is the place
  // (OnlineUser::place_id) a private line was written to, 0 for other lines.
  // Wakes the room's waiting streams; a private line (is_private_line)
  // wakes only the stream of its addressee. A room outside
  // 1..room_count_locked() is ignored.
  // `from_place` marks the line of a place whose live stream must skip it
  // (RingLine::from_place).
  void push_message(int room, const std::string& text, const std::string& to_whom,
                    unsigned long long to_place = 0, unsigned long long from_place = 0)
      REQUIRES(lock_);
  // push_message for a line whose number the servers of a cluster agreed
  // on: it is numbered `seq`, which may leave a gap but never goes back.
  // False (nothing pushed) when `seq` is not above the ring's last number.
  bool push_message_at(int room, int seq, const std::string& text, const std::string& to_whom,
                       unsigned long long to_place = 0, unsigned long long from_place = 0)
      REQUIRES(lock_);
  // The entry of the place `place_id`; nullopt when none holds it.
  std::optional<int> find_place(unsigned long long place_id) const REQUIRES(lock_);
  RoomMessages& ring(int room) REQUIRES(lock_);  // room 1..room_count_locked()
  const RoomMessages& ring(int room) const REQUIRES(lock_);
  // The room table the rings belong to (the one published last).
  const RoomInfo& room_locked(int room) const REQUIRES(lock_);  // room 1..room_count_locked()

  // The chat clock at the last sweep for stale places.
  long long last_sweep_ms() const REQUIRES(lock_) { return last_sweep_ms_; }
  void set_last_sweep_ms(long long now) REQUIRES(lock_) { last_sweep_ms_ = now; }

  // A new ticket for a live stream (never 0, never given twice).
  unsigned long long new_stream_ticket() REQUIRES(lock_) { return ++last_stream_ticket_; }
  // Changes with every replacement of the rings (a reload numbers the lines
  // anew), so that a line number of older rings is not taken for one of
  // these. Starts at a random value, so that it also differs from the
  // numbers a previous run of the server handed out.
  unsigned rings_epoch() const REQUIRES(lock_) { return rings_epoch_; }
  // With several servers the epoch is the cluster's, the same on every
  // server, and a reload of the rooms keeps it (the numbers of the lines
  // are the cluster's too, and never go back). A line number a visitor
  // brings then means the same line on every server.
  void set_shared_epoch(unsigned epoch) REQUIRES(lock_) {
    rings_epoch_ = epoch;
    shared_epoch_ = true;
  }
  bool shared_epoch() const REQUIRES(lock_) { return shared_epoch_; }

  // --- waiting message streams ---
  // Registers `waiter` (its room and name set), lets go of the chat lock and
  // waits until a line for it is pushed, the rooms are reloaded, waits are
  // stopped, or `timeout_ms` pass; holds the lock again on return and has
  // deregistered the waiter. True when woken, false on the time-out. Returns
  // at once (true) while waits are stopped.
  bool wait_for_lines(Waiter& waiter, long long timeout_ms) REQUIRES(lock_);
  // Whether a stream of `name` (ignoring case) in `room` is waiting now: such
  // a user is present although its last request began a while ago.
  bool is_waiting(int room, const char* name) const REQUIRES(lock_);
  int waiting_count() const REQUIRES(lock_);
  // A place has one waiting stream: every stream of `name` (ignoring case)
  // in `room` waiting now is marked superseded and woken, to answer at once
  // and leave the connection to the newer one. Called by the newer stream
  // before it waits (it has proven the place's key).
  void supersede_waits(int room, const std::string& name) REQUIRES(lock_);
  bool waits_stopped() const REQUIRES(lock_) { return waits_stopped_; }
  // The server stops: every waiting stream answers now, and until
  // allow_waits() no stream waits any more.
  void stop_waits() EXCLUDES(lock_);
  void allow_waits() EXCLUDES(lock_);

 private:
  void wake(Waiter& waiter) REQUIRES(lock_);
  // Hands the waiter what is new through its direct delivery, or wakes it.
  void deliver_or_wake(Waiter& waiter) REQUIRES(lock_);
  void wake_presence_waiters() REQUIRES(lock_);
  // The waiters of a room (registered in wait_for_lines); empty for a room
  // nobody waits in.
  std::vector<Waiter*>& room_waiters(int room) REQUIRES(lock_);

  mutable Mutex lock_;  // the chat lock
  // Guards only the pointer `rooms_`, so that rooms() never races with a
  // replacement. Taken inside the chat lock by replace_rooms, never the other
  // way round, and nothing else is done while it is held.
  mutable Mutex rooms_lock_;
  std::shared_ptr<const std::vector<RoomInfo>> rooms_ GUARDED_BY(rooms_lock_);

  std::shared_ptr<const std::vector<RoomInfo>> locked_rooms_ GUARDED_BY(lock_);  // rooms of `rings_`
  std::vector<RoomMessages> rings_ GUARDED_BY(lock_);
  // The online table, in order of joining, and the join address of each
  // entry; both hold exactly count_ entries.
  std::vector<OnlineUser> users_ GUARDED_BY(lock_);
  std::vector<std::array<char, 48>> addresses_ GUARDED_BY(lock_);
  int count_ GUARDED_BY(lock_) = 0;
  // The entries of the online table by name (folded as
  // same_name_ignoring_case compares), so that finding a place does not
  // read the whole table; and the registered waiters the same way.
  std::unordered_multimap<std::string, int> users_by_name_ GUARDED_BY(lock_);
  std::unordered_multimap<std::string, Waiter*> waiters_by_name_ GUARDED_BY(lock_);
  int max_online_ GUARDED_BY(lock_) = kMaxOnline;
  long long last_sweep_ms_ GUARDED_BY(lock_) = -(1LL << 62);
  std::vector<Waiter*> waiters_ GUARDED_BY(lock_);
  // waiters_ by room number (index 0 unused); grows, never shrinks.
  std::vector<std::vector<Waiter*>> waiters_by_room_ GUARDED_BY(lock_);
  unsigned long long last_stream_ticket_ GUARDED_BY(lock_) = 0;
  unsigned rings_epoch_ GUARDED_BY(lock_) = 0;
  bool shared_epoch_ GUARDED_BY(lock_) = false;
  // Appends a line numbered `seq` (above the ring's last) and wakes.
  void push_line(int room, int seq, const std::string& text, const std::string& to_whom,
                 unsigned long long to_place, unsigned long long from_place) REQUIRES(lock_);
  bool waits_stopped_ GUARDED_BY(lock_) = false;
};

// Whether a stored name (zero-terminated) equals `name` without regard to
// case. Names are byte strings of the system's code page; only ASCII letters
// have a case here, every other byte must match exactly.
bool same_name_ignoring_case(const char* stored, const std::string& name);

// Reads the rooms of "<program_folder>rooms.sdb" and, when the file could be
// opened and holds rooms, replaces the state's room table and rings. A file
// that cannot be opened leaves everything as it was; one without records
// leaves no rooms. A damaged file (RoomFileCheck, a folder in its place too)
// is reported once, by a message box telling how many rooms could be read,
// and its notice (with the file's path) returned; empty when nothing was
// wrong. The file is only read, never written, so damage stays for the
// operator to look at.
std::string load_rooms(const std::string& program_folder, ChatState& state);

}  // namespace tvl
