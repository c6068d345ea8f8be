// The live chat, held in memory only: the room table, one ring of the last 20
// messages per room, the table of up to 500 online users, and the chat lock.
//
// Locking: `lock` (the chat lock) guards the rings, the online table and the
// users' delivery fields; every member marked "lock held" below needs it.
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
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "storage/room_store.h"

namespace tvl {

struct RoomMessages {
  static constexpr int kSize = 20;
  int slot_of[kSize] = {};     // text slot holding the message at each position
  // Addressee per position, "All" for everybody. As wide as a user name, so
  // that a private line reaches a user with a long name; longer addressees
  // are cut to 63 bytes.
  char to_whom[kSize][64] = {};
  int seq = 0;                 // messages pushed since the rooms were loaded
  int last = -1;               // position of the newest message, -1 when empty
  std::string text[kSize];     // complete HTML lines as sent to browsers
};

struct OnlineUser {
  char name[64] = {};  // as it stood in the page address (not decoded)
  char icon[32] = {};  // a plain file name of images/, e.g. "3.gif" (checked at entry)
  // What proves a request comes from this place's visitor: a member's
  // password, or the random key handed to a guest at entry, as the pages
  // carry it in their "&password=" value (see chat/place_key.h).
  std::string key;
  int room = 0;
  int last_seq = 0;      // ring seq delivered up to; 0 = nothing yet
  int known_online = 0;  // online count when the user list was last reloaded
  bool split = false;    // own messages in their own pane
  bool active = true;    // false while banned
  // The chat clock (ChatContext::now_ms) at the user's last poll or post.
  long long last_active_ms = 0;
  // The chat clock at which the place's lines are paid up (see
  // take_post_turn in chat/visitor_bounds.h); 0 before the first line.
  long long post_due_ms = 0;
};

class ChatState {
 public:
  static constexpr int kMaxOnline = 500;

  ChatState();
  ~ChatState();
  ChatState(const ChatState&) = delete;
  ChatState& operator=(const ChatState&) = delete;

  std::mutex lock;  // the chat lock

  // Chat lock held: the chat clock at the last sweep for stale places.
  long long last_sweep_ms = -(1LL << 62);

  // Room table (no lock needed).
  std::shared_ptr<const std::vector<RoomInfo>> rooms() const;
  int room_count() const;
  // Publishes a new room table and empty rings; takes the chat lock itself.
  // Users online stay; their room numbers refer to the new numbering.
  void replace_rooms(std::vector<RoomInfo> rooms);

  // --- chat lock held for everything below ---
  int room_count_locked() const;
  int online_count() const;
  OnlineUser& user(int index);
  const OnlineUser& user(int index) const;
  // Index of the first user in `room` whose name equals `name` ignoring
  // case, or online_count() when there is none.
  int find_online_user(int room, const std::string& name) const;
  // Appends at the end of the table; false when all 500 places are taken.
  // `address` is the client address of the join (kept beside the table, so
  // that the entries the lookups scan stay small).
  bool add_user(const OnlineUser& user, const std::string& address = std::string());
  // The join address of an entry; it names the user in the log row when the
  // place times out.
  const char* join_address(int index) const;
  // Removes one entry; later entries move down keeping their order, fields
  // and join addresses.
  void remove_user(int index);
  // Appends one message to room's ring (room 1..count) and increments seq.
  // A room outside 1..room_count_locked() is ignored.
  void push_message(int room, const std::string& text, const std::string& to_whom);
  RoomMessages& ring(int room);  // room 1..room_count_locked()
  const RoomMessages& ring(int room) const;
  // The room table the rings belong to (the one published last).
  const RoomInfo& room_locked(int room) const;  // room 1..room_count_locked()

  // Texts of the messages of `ring` not yet delivered to a user whose
  // last_seq is `last_seq`, oldest first, as ring positions: the positions
  // from last - (seq - last_seq) + 1 (raised to 0) to last. Empty when the
  // user is up to date or ahead of the ring (rooms were reloaded).
  static void delivery_window(const RoomMessages& ring, int last_seq, int& first, int& last);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Whether a stored name (zero-terminated) equals `name` without regard to
// case. Names are byte strings of the system's code page; only ASCII letters
// have a case here, every other byte must match exactly.
bool same_name_ignoring_case(const char* stored, const std::string& name);

// Reads the rooms of "<program_folder>rooms.sdb" and, when the file could be
// opened and holds rooms, replaces the state's room table and rings. A file
// that cannot be opened leaves everything as it was; one without records
// leaves no rooms. A damaged file (RoomFileCheck) is reported once, by a
// message box telling how many rooms could be read.
void load_rooms(const std::string& program_folder, ChatState& state);

}  // namespace tvl
