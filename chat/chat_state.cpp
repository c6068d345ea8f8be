#include "chat/chat_state.h"

#include "chat/board_line.h"

#include "platform/message_box.h"
#include "platform/random.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>

namespace tvl {

namespace {

// A name as same_name_ignoring_case compares it: ASCII letters in lower
// case, every other byte as it is.
std::string folded_name(const char* name, std::size_t size) {
  std::string folded(name, size);
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return folded;
}

std::string folded_name(const std::string& name) { return folded_name(name.data(), name.size()); }
std::string folded_name(const char* name) { return folded_name(name, std::strlen(name)); }

template <typename Map, typename Value>
void erase_entry(Map& map, const std::string& key, const Value& value) {
  auto [at, end] = map.equal_range(key);
  for (; at != end; ++at) {
    if (at->second == value) {
      map.erase(at);
      return;
    }
  }
}

}  // namespace

bool same_name_ignoring_case(const char* stored, const std::string& name) {
  std::size_t i = 0;
  for (; i < name.size(); ++i) {
    unsigned char a = static_cast<unsigned char>(stored[i]);
    unsigned char b = static_cast<unsigned char>(name[i]);
    if (a == 0) return false;
    if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a + 32);
    if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b + 32);
    if (a != b) return false;
  }
  return stored[i] == 0;
}

ChatState::ChatState()
    : rooms_(std::make_shared<const std::vector<RoomInfo>>()), locked_rooms_(rooms_) {
  unsigned epoch = 0;
  // Without the generator the epoch starts at 0: streams of an earlier run
  // then resume only as far as their place (which a restart ended) allows.
  if (!random_bytes(&epoch, sizeof epoch)) epoch = 0;
  Hold chat(*this);
  rings_epoch_ = epoch;
}
ChatState::~ChatState() = default;

bool ChatState::chat_lock_free() const {
  if (!lock_.try_lock()) return false;
  lock_.unlock();
  return true;
}

std::shared_ptr<const std::vector<RoomInfo>> ChatState::rooms() const {
  MutexLock hold(rooms_lock_);
  return rooms_;
}

int ChatState::room_count() const { return static_cast<int>(rooms()->size()); }

void ChatState::replace_rooms(std::vector<RoomInfo> rooms) {
  for (RoomInfo& room : rooms) {
    room.name[sizeof room.name - 1] = 0;
    room.admin[sizeof room.admin - 1] = 0;
  }
  // Build everything before taking the lock; the swap itself is short.
  auto table = std::make_shared<const std::vector<RoomInfo>>(std::move(rooms));
  std::vector<RoomMessages> rings(table->size());
  std::shared_ptr<const std::vector<RoomInfo>> old_table;
  {
    Hold chat(*this);
    // With users online the new rings count on from kReloadedSeq, and
    // everyone who has received lines stands at it: the first line pushed
    // after the reload is then new to them whether they look before it or
    // after (their old numbers, higher than the new ring's, would hide as
    // many lines).
    if (count_ > 0) {
      for (RoomMessages& ring : rings) ring.seq = RoomMessages::kReloadedSeq;
      for (int i = 0; i < count_; ++i) {
        if (users_[i].last_seq != 0) users_[i].last_seq = RoomMessages::kReloadedSeq;
        users_[i].stream_floor = users_[i].last_seq;
      }
    }
    if (!shared_epoch_) ++rings_epoch_;
    rings_.swap(rings);
    locked_rooms_ = table;
    {
      MutexLock hold(rooms_lock_);
      old_table.swap(rooms_);
      rooms_ = table;
    }
    // Every waiting stream looks again: its room may be gone or renumbered.
    for (Waiter* w : waiters_) wake(*w);
  }
  // The old rings and (unless a handler still holds a snapshot) the old
  // table are freed here, outside the chat lock.
}

int ChatState::room_count_locked() const { return static_cast<int>(rings_.size()); }

int ChatState::online_count() const { return count_; }

OnlineUser& ChatState::user(int index) { return users_[index]; }
const OnlineUser& ChatState::user(int index) const { return users_[index]; }

std::optional<int> ChatState::find_online_user(int room, const std::string& name) const {
  // The first entry of the table that matches, as a walk through it would
  // find.
  std::optional<int> found;
  auto [at, end] = users_by_name_.equal_range(folded_name(name));
  for (; at != end; ++at) {
    const int i = at->second;
    if (users_[i].room == room && (!found || i < *found)) found = i;
  }
  return found;
}

void ChatState::set_max_online(int places, bool shared_table) {
  const int bound = shared_table ? kMaxSharedOnlineBound : kMaxOnlineBound;
  Hold chat(*this);
  max_online_ = places <= 0 ? bound : std::min(places, bound);
}

bool ChatState::add_user(const OnlineUser& user, const std::string& address, bool beyond_max) {
  if (count_ >= max_online_ && !beyond_max) return false;
  OnlineUser& place = users_.emplace_back(user);
  place.name[sizeof place.name - 1] = 0;
  place.icon[sizeof place.icon - 1] = 0;
  if (place.online_since == 0) place.online_since = static_cast<long long>(std::time(nullptr));
  auto& text = addresses_.emplace_back();
  const std::size_t n = std::min(address.size(), text.size() - 1);
  std::memcpy(text.data(), address.data(), n);
  text[n] = 0;
  users_by_name_.emplace(folded_name(place.name), count_);
  ++count_;
  wake_presence_waiters();
  return true;
}

const char* ChatState::join_address(int index) const { return addresses_[index].data(); }

void ChatState::remove_user(int index) {
  if (index < 0 || index >= count_) return;
  erase_entry(users_by_name_, folded_name(users_[index].name), index);
  for (auto& entry : users_by_name_)
    if (entry.second > index) --entry.second;
  users_.erase(users_.begin() + index);
  addresses_.erase(addresses_.begin() + index);
  --count_;
  wake_presence_waiters();
}

void ChatState::wake_presence_waiters() {
  for (Waiter* w : waiters_)
    if (w->presence) deliver_or_wake(*w);
}

std::vector<Waiter*>& ChatState::room_waiters(int room) {
  const std::size_t at = room < 0 ? 0 : static_cast<std::size_t>(room);
  if (at >= waiters_by_room_.size()) waiters_by_room_.resize(at + 1);
  return waiters_by_room_[at];
}

std::optional<int> ChatState::find_place(unsigned long long place_id) const {
  for (int i = 0; i < count_; ++i)
    if (users_[i].place_id == place_id) return i;
  return std::nullopt;
}

void ChatState::push_message(int room, const std::string& text, const std::string& to_whom,
                             unsigned long long to_place, unsigned long long from_place) {
  if (room < 1 || room > room_count_locked()) return;
  push_line(room, rings_[room - 1].seq + 1, text, to_whom, to_place, from_place);
}

bool ChatState::push_message_at(int room, int seq, const std::string& text,
                                const std::string& to_whom, unsigned long long to_place,
                                unsigned long long from_place) {
  if (room < 1 || room > room_count_locked() || seq <= rings_[room - 1].seq) return false;
  push_line(room, seq, text, to_whom, to_place, from_place);
  return true;
}

void ChatState::push_line(int room, int seq, const std::string& text, const std::string& to_whom,
                          unsigned long long to_place, unsigned long long from_place) {
  RoomMessages& r = rings_[room - 1];
  RingLine& line = r.lines.emplace_back();
  line.seq = r.seq = seq;
  line.text = text;
  copy_field(line.to_whom, to_whom);
  line.to_place = to_place;
  line.from_place = from_place;
  r.bytes += text.size();
  // The newest line always stays, however long it is.
  while (r.lines.size() > 1 &&
         (r.kept() > RoomMessages::kMaxLines || r.bytes > RoomMessages::kMaxBytes)) {
    r.bytes -= r.lines.front().text.size();
    r.lines.pop_front();
  }
  // Only streams that may deliver the line are woken: a private line goes
  // to its addressee alone (by name, ignoring case; delivery then checks
  // the place).
  const bool only_addressee = is_private_line(text);
  for (Waiter* w : room_waiters(room)) {
    if (only_addressee && !same_name_ignoring_case(line.to_whom, w->name)) continue;
    deliver_or_wake(*w);
  }
}

RoomMessages& ChatState::ring(int room) { return rings_[room - 1]; }
const RoomMessages& ChatState::ring(int room) const { return rings_[room - 1]; }

const RoomInfo& ChatState::room_locked(int room) const { return (*locked_rooms_)[room - 1]; }

void ChatState::wake(Waiter& waiter) {
  if (waiter.woken) return;
  waiter.woken = true;
  waiter.wake.notify_one();
}

void ChatState::deliver_or_wake(Waiter& waiter) {
  if (waiter.woken) return;
  if (waiter.direct && !waits_stopped_ && waiter.direct->deliver_now()) return;
  wake(waiter);
}

bool ChatState::wait_for_lines(Waiter& waiter, long long timeout_ms) {
  if (waits_stopped_) return true;
  waiter.woken = false;
  waiter.slot = waiters_.size();
  waiters_.push_back(&waiter);
  {
    std::vector<Waiter*>& in_room = room_waiters(waiter.room);
    waiter.room_slot = in_room.size();
    in_room.push_back(&waiter);
  }
  const std::string folded = folded_name(waiter.name);
  waiters_by_name_.emplace(folded, &waiter);
  // The wait lets go of the chat lock while it sleeps and takes it again
  // before it returns.
  const auto deadline = CondVar::Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!waiter.woken && waiter.wake.wait_until(lock_, deadline)) {
  }
  const bool woken = waiter.woken;
  // Deregister: the last entry takes this one's place.
  Waiter* moved = waiters_.back();
  waiters_[waiter.slot] = moved;
  moved->slot = waiter.slot;
  waiters_.pop_back();
  // Fetched again: the room lists may have grown while it waited.
  std::vector<Waiter*>& in_room = room_waiters(waiter.room);
  moved = in_room.back();
  in_room[waiter.room_slot] = moved;
  moved->room_slot = waiter.room_slot;
  in_room.pop_back();
  erase_entry(waiters_by_name_, folded, &waiter);
  return woken;
}

bool ChatState::is_waiting(int room, const char* name) const {
  auto [at, end] = waiters_by_name_.equal_range(folded_name(name));
  for (; at != end; ++at)
    if (at->second->room == room) return true;
  return false;
}

int ChatState::waiting_count() const { return static_cast<int>(waiters_.size()); }

void ChatState::supersede_waits(int room, const std::string& name) {
  auto [at, end] = waiters_by_name_.equal_range(folded_name(name));
  for (; at != end; ++at) {
    Waiter* w = at->second;
    if (w->room != room) continue;
    w->superseded = true;
    wake(*w);
  }
}

void ChatState::stop_waits() {
  Hold chat(*this);
  waits_stopped_ = true;
  for (Waiter* w : waiters_) wake(*w);
}

void ChatState::allow_waits() {
  Hold chat(*this);
  waits_stopped_ = false;
}

std::string load_rooms(const std::string& program_folder, ChatState& state) {
  // The file is read before the chat lock is taken; only the swap holds it.
  std::vector<RoomInfo> rooms;
  RoomFileCheck check;
  const bool opened = read_rooms(program_folder, rooms, &check);
  // Rooms that silently vanish make their pages answer "not found"; whoever
  // runs the server is told once per load, through the message channel
  // (standard error in the service, a message box in the window), and the
  // caller gets the notice for its own log.
  std::string notice;
  if (check.damaged || check.busy) {
    notice = room_file_notice(check);
    message_box("Tavella", notice, MessageIcon::Error);
  }
  if (opened) state.replace_rooms(std::move(rooms));
  return notice;
}

}  // namespace tvl
