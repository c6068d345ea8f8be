#include "chat/chat_state.h"

#include "platform/message_box.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace tvl {

namespace {

// Copies text into a fixed zero-terminated field, cutting what does not fit.
template <std::size_t N>
void copy_field(char (&field)[N], const std::string& text) {
  std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
  std::memcpy(field, text.data(), n);
  std::memset(field + n, 0, N - n);
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

struct ChatState::Impl {
  // Guards only the pointer `rooms`, so that rooms() never races with a
  // replacement. Taken inside the chat lock by replace_rooms, never the other
  // way round, and nothing else is done while it is held.
  mutable std::mutex rooms_lock;
  std::shared_ptr<const std::vector<RoomInfo>> rooms =
      std::make_shared<const std::vector<RoomInfo>>();

  // --- chat lock ---
  std::shared_ptr<const std::vector<RoomInfo>> locked_rooms = rooms;  // rooms of `rings`
  std::vector<RoomMessages> rings;
  std::array<OnlineUser, kMaxOnline> users{};
  std::array<std::array<char, 48>, kMaxOnline> addresses{};  // join address per entry
  int count = 0;
};

ChatState::ChatState() : impl_(std::make_unique<Impl>()) {}
ChatState::~ChatState() = default;

std::shared_ptr<const std::vector<RoomInfo>> ChatState::rooms() const {
  std::lock_guard<std::mutex> hold(impl_->rooms_lock);
  return impl_->rooms;
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
    std::lock_guard<std::mutex> chat(lock);
    impl_->rings.swap(rings);
    impl_->locked_rooms = table;
    std::lock_guard<std::mutex> hold(impl_->rooms_lock);
    old_table.swap(impl_->rooms);
    impl_->rooms = table;
  }
  // The old rings and (unless a handler still holds a snapshot) the old
  // table are freed here, outside the chat lock.
}

int ChatState::room_count_locked() const { return static_cast<int>(impl_->rings.size()); }

int ChatState::online_count() const { return impl_->count; }

OnlineUser& ChatState::user(int index) { return impl_->users[index]; }
const OnlineUser& ChatState::user(int index) const { return impl_->users[index]; }

int ChatState::find_online_user(int room, const std::string& name) const {
  for (int i = 0; i < impl_->count; ++i) {
    const OnlineUser& u = impl_->users[i];
    if (u.room == room && same_name_ignoring_case(u.name, name)) return i;
  }
  return impl_->count;
}

bool ChatState::add_user(const OnlineUser& user, const std::string& address) {
  if (impl_->count >= kMaxOnline) return false;
  OnlineUser& place = impl_->users[impl_->count];
  place = user;
  place.name[sizeof place.name - 1] = 0;
  place.icon[sizeof place.icon - 1] = 0;
  auto& text = impl_->addresses[impl_->count];
  const std::size_t n = std::min(address.size(), text.size() - 1);
  std::memcpy(text.data(), address.data(), n);
  text[n] = 0;
  ++impl_->count;
  return true;
}

const char* ChatState::join_address(int index) const { return impl_->addresses[index].data(); }

void ChatState::remove_user(int index) {
  if (index < 0 || index >= impl_->count) return;
  for (int i = index; i + 1 < impl_->count; ++i) {
    impl_->users[i] = impl_->users[i + 1];
    impl_->addresses[i] = impl_->addresses[i + 1];
  }
  --impl_->count;
  impl_->users[impl_->count] = OnlineUser{};
  impl_->addresses[impl_->count].fill(0);
}

void ChatState::push_message(int room, const std::string& text, const std::string& to_whom,
                             unsigned long long to_place) {
  if (room < 1 || room > room_count_locked()) return;
  RoomMessages& r = impl_->rings[room - 1];
  if (r.last < RoomMessages::kSize - 1) {
    ++r.last;
    r.slot_of[r.last] = r.last;
  } else {
    // Full: the oldest slot is reused for the new text; the positions move
    // down, the texts stay where they are.
    int oldest = r.slot_of[0];
    std::memmove(r.slot_of, r.slot_of + 1, sizeof(int) * (RoomMessages::kSize - 1));
    r.slot_of[RoomMessages::kSize - 1] = oldest;
    std::memmove(r.to_whom[0], r.to_whom[1], sizeof r.to_whom[0] * (RoomMessages::kSize - 1));
    std::memmove(r.to_place, r.to_place + 1, sizeof r.to_place[0] * (RoomMessages::kSize - 1));
  }
  r.text[r.slot_of[r.last]] = text;
  copy_field(r.to_whom[r.last], to_whom);
  r.to_place[r.last] = to_place;
  ++r.seq;
}

RoomMessages& ChatState::ring(int room) { return impl_->rings[room - 1]; }
const RoomMessages& ChatState::ring(int room) const { return impl_->rings[room - 1]; }

const RoomInfo& ChatState::room_locked(int room) const { return (*impl_->locked_rooms)[room - 1]; }

void ChatState::delivery_window(const RoomMessages& ring, int last_seq, int& first, int& last) {
  last = ring.last;
  int behind = ring.seq - last_seq;
  if (behind <= 0 || ring.last < 0) {
    first = last + 1;  // nothing
    return;
  }
  first = ring.last - behind + 1;
  if (first < 0) first = 0;
}

void load_rooms(const std::string& program_folder, ChatState& state) {
  // The file is read before the chat lock is taken; only the swap holds it.
  std::vector<RoomInfo> rooms;
  RoomFileCheck check;
  const bool opened = read_rooms(program_folder, rooms, &check);
  // Rooms that silently vanish make their pages answer "not found"; whoever
  // runs the server is told once per load, through the message channel
  // (standard error in the service, a message box in the window).
  if (check.damaged) message_box("Tavella", room_file_notice(check), MessageIcon::Error);
  if (!opened) return;
  state.replace_rooms(std::move(rooms));
}

}  // namespace tvl
