#include "chat/body_stream.h"

#include <cstdio>
#include <cstdlib>

#include "chat/delivery.h"
#include "chat/place_key.h"
#include "chat/query.h"
#include "chat/room_ban.h"

namespace tvl {

namespace {

// What one look at the place found.
enum class Step { Going, Ended };

// Appends one event. Every line of `data` (split at CR, LF or CRLF) becomes
// a "data:" line of its own, so no text of a visitor can end the event or
// add a field to it.
void append_event(std::string& out, const char* type, const std::string& data,
                  const std::string& id = std::string()) {
  out += "event: ";
  out += type;
  out += '\n';
  if (!id.empty()) {
    out += "id: ";
    out += id;
    out += '\n';
  }
  std::size_t from = 0;
  for (;;) {
    const std::size_t end = data.find_first_of("\r\n", from);
    out += "data: ";
    out.append(data, from, end == std::string::npos ? std::string::npos : end - from);
    out += '\n';
    if (end == std::string::npos) break;
    from = end + (data.compare(end, 2, "\r\n") == 0 ? 2 : 1);
  }
  out += '\n';
}

// The value after "&stream=" or "&from=" is asked for after the room number
// only, where no name or key can reach (as the waiting form's "&wait=1").
std::size_t after_room(const std::string& path, const char* key) {
  const std::size_t room_at = path.find("&room=");
  return room_at == std::string::npos ? std::string::npos : path.find(key, room_at);
}

// A line number as the stream hands it out: "<epoch>.<seq>".
struct Mark {
  unsigned epoch = 0;
  int seq = 0;
};

bool parse_mark(const std::string& text, Mark& mark) {
  unsigned long epoch = 0;
  long seq = 0;
  int used = 0;
  if (std::sscanf(text.c_str(), "%lu.%ld%n", &epoch, &seq, &used) != 2) return false;
  if (static_cast<std::size_t>(used) != text.size() || seq < 0 || seq > 0x7fffffffL) return false;
  mark.epoch = static_cast<unsigned>(epoch);
  mark.seq = static_cast<int>(seq);
  return true;
}

class BodyStream final : public LiveStream, private DirectDelivery {
 public:
  BodyStream(ChatContext& ctx, int room, std::string name, std::string key,
             std::optional<std::string> resume, std::optional<std::string> seen)
      : ctx_(ctx), room_(room), name_(std::move(name)), key_(std::move(key)),
        resume_(std::move(resume)), seen_(std::move(seen)) {}
  ~BodyStream() override;

  void attach(LiveOutlet& outlet) override { outlet_ = &outlet; }
  bool next(std::string& out) override;

 private:
  bool open(std::string& out) REQUIRES(ctx_.state.chat_lock());
  // `sweep`: stale places may be swept first (not on a pusher's thread,
  // which may be in the middle of changing the online table).
  Step look(std::string& out, bool sweep = true) REQUIRES(ctx_.state.chat_lock());
  void resume_at(OnlineUser& user) REQUIRES(ctx_.state.chat_lock());
  bool deliver_now() override;

  ChatContext& ctx_;
  const int room_;
  const std::string name_;  // as in the page address
  const std::string key_;
  const std::optional<std::string> resume_;
  const std::optional<std::string> seen_;
  // Where the pusher writes the stream's pieces while its thread waits;
  // nullptr when only this stream's thread writes.
  LiveOutlet* outlet_ = nullptr;
  unsigned long long ticket_ = 0;  // 0 until the place's stream is this one
  bool opened_ = false;
  bool banned_ = false;   // the place was banned at the last look
  // What a pusher composed and the connection did not take, and whether
  // the stream ended there (for the stream's thread to finish).
  std::string left_over_ GUARDED_BY(ctx_.state.chat_lock());
  bool ended_ GUARDED_BY(ctx_.state.chat_lock()) = false;
  long long quiet_since_ = 0;  // steady clock of the last piece
  long long opened_ms_ = 0;    // steady clock of the opening
};

BodyStream::~BodyStream() {
  if (ticket_ == 0) return;
  ChatState::Hold chat(ctx_.state);
  // The place posts as without a stream again, unless a newer one took it.
  if (room_ > ctx_.state.room_count_locked()) return;
  const std::optional<int> index = find_keyed_user(ctx_.state, room_, name_, key_);
  if (index && ctx_.state.user(*index).live_stream == ticket_)
    ctx_.state.user(*index).live_stream = 0;
}

bool BodyStream::next(std::string& out) {
  ChatState::Hold chat(ctx_.state);
  bool going = true;
  if (!opened_) {
    going = open(out);
  } else {
    for (;;) {
      // A stopping server ends the stream without a word: the window's
      // EventSource comes back and learns what became of its place.
      if (ctx_.state.waits_stopped()) return false;
      // What a pusher could not hand over goes first.
      out += left_over_;
      left_over_.clear();
      if (ended_) return false;
      if (!out.empty()) break;
      if (look(out) == Step::Ended) return false;
      if (!out.empty()) break;
      const long long now = steady_now_ms();
      // Its life is over: the window comes back where it left off.
      const long long life_left = opened_ms_ + ctx_.stream_life_ms - now;
      if (life_left <= 0) return false;
      long long left = quiet_since_ + ctx_.stream_keepalive_ms - now;
      if (left <= 0) {
        out += ": keep-alive\n\n";
        break;
      }
      if (left > life_left) left = life_left;
      Waiter waiter;
      waiter.room = room_;
      waiter.name = name_;
      waiter.presence = true;
      // While it waits, whoever pushes a line writes it (deliver_now).
      if (outlet_) waiter.direct = this;
      (void)ctx_.state.wait_for_lines(waiter, left);  // woken or not, look again
    }
  }
  quiet_since_ = steady_now_ms();
  return going;
}

bool BodyStream::deliver_now() {
  ctx_.state.assert_held();
  std::string piece;
  if (look(piece, false) == Step::Ended) {
    left_over_ = std::move(piece);
    ended_ = true;
    return false;
  }
  if (piece.empty()) return true;
  const long sent = outlet_->send_now(piece);
  if (sent < 0) {  // broken: the stream's thread closes the connection
    ended_ = true;
    return false;
  }
  quiet_since_ = steady_now_ms();
  if (static_cast<std::size_t>(sent) == piece.size()) return true;
  // The peer's window is full: its own thread sends the rest as it can.
  left_over_.assign(piece, static_cast<std::size_t>(sent), std::string::npos);
  return false;
}

bool BodyStream::open(std::string& out) {
  opened_ = true;
  quiet_since_ = opened_ms_ = steady_now_ms();
  if (room_ > ctx_.state.room_count_locked()) {
    append_event(out, "out", "1");
    return false;
  }
  sweep_idle_users(ctx_, ctx_.now_ms());
  const std::optional<int> index = find_keyed_user(ctx_.state, room_, name_, key_);
  if (!index) {
    append_event(out, "out", "1");
    return false;
  }
  OnlineUser& user = ctx_.state.user(*index);
  ticket_ = ctx_.state.new_stream_ticket();
  user.live_stream = ticket_;
  // The place's older wait answers now and its older stream ends.
  ctx_.state.supersede_waits(room_, name_);
  resume_at(user);
  out += "retry: 3000\n";
  // Hello closes the piece: only a stream whose whole first piece came
  // through says it flows.
  if (look(out) != Step::Going) return false;
  append_event(out, "hello", "1");
  return true;
}

void BodyStream::resume_at(OnlineUser& user) {
  if (seen_) take_seen(ctx_.state, user, *seen_);
  if (resume_) resume_place(ctx_.state, user, *resume_);
}

Step BodyStream::look(std::string& out, bool sweep) {
  if (room_ > ctx_.state.room_count_locked()) {  // the rooms were reloaded
    append_event(out, "out", "1");
    return Step::Ended;
  }
  const long long now = ctx_.now_ms();
  if (sweep) sweep_idle_users(ctx_, now);
  const std::optional<int> index = find_keyed_user(ctx_.state, room_, name_, key_);
  if (!index) {
    append_event(out, "out", "1");
    return Step::Ended;
  }
  OnlineUser& user = ctx_.state.user(*index);
  if (user.live_stream != ticket_) {
    append_event(out, "superseded", "1");
    return Step::Ended;
  }
  user.last_active_ms = now;
  if (place_banned(user, now)) {
    if (!banned_) append_event(out, "banned", "1");
    banned_ = true;
    return Step::Going;
  }
  if (banned_) append_event(out, "unbanned", "1");
  banned_ = false;
  if (user.known_online != ctx_.state.online_count()) {
    user.known_online = ctx_.state.online_count();
    append_event(out, "users", "1");
  }
  const RoomMessages& ring = ctx_.state.ring(room_);
  Delivery delivery;
  take_undelivered(ring, user, name_, user.split, delivery);
  if (delivery.empty()) return Step::Going;
  const std::string id = place_mark(ctx_.state, user);
  // The number goes with the last event of the piece: a stream cut inside
  // the piece resumes before what it did not get.
  if (!delivery.own.empty())
    append_event(out, "own", delivery.own, delivery.board.empty() ? id : std::string());
  if (!delivery.board.empty()) append_event(out, "board", delivery.board, id);
  return Step::Going;
}

}  // namespace

std::optional<std::string> asked_resume(const std::string& path) {
  const std::size_t from_at = after_room(path, "&from=");
  if (from_at == std::string::npos) return std::nullopt;
  const std::size_t begin = from_at + 6;
  const std::size_t end = path.find('&', begin);
  return path.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

void resume_place(const ChatState& state, OnlineUser& place, const std::string& mark) {
  int to = place.stream_floor;
  if (!mark.empty()) {
    Mark m;
    if (!parse_mark(mark, m) || m.epoch != state.rings_epoch()) return;
    if (state.shared_epoch()) {
      place.last_seq = place.stream_floor = m.seq;
      return;
    }
    if (m.seq > to) to = m.seq;
  }
  if (to < place.last_seq) place.last_seq = to;
}

std::optional<std::string> asked_seen(const std::string& path) {
  const std::size_t at = after_room(path, "&seen=");
  if (at == std::string::npos) return std::nullopt;
  const std::size_t begin = at + 6;
  const std::size_t end = path.find('&', begin);
  return path.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

void take_seen(const ChatState& state, OnlineUser& place, const std::string& mark) {
  if (state.shared_epoch() && !mark.empty()) resume_place(state, place, mark);
}

std::string place_mark(const ChatState& state, const OnlineUser& place) {
  return std::to_string(state.rings_epoch()) + "." + std::to_string(place.last_seq);
}

std::unique_ptr<LiveStream> open_body_stream(ChatContext& ctx, const std::string& path,
                                             const std::string& resume) {
  if (ctx.stream_keepalive_ms <= 0) return nullptr;
  const std::size_t stream_at = after_room(path, "&stream=1");
  if (stream_at == std::string::npos) return nullptr;
  if (!has_key(path, "?username=") || !has_key(path, "&password=")) return nullptr;
  const int room = key_number(path, "&room=");
  if (room < 1 || room > ctx.state.room_count()) return nullptr;
  std::optional<std::string> mark = asked_resume(path);
  if (!resume.empty()) mark = resume;
  return std::make_unique<BodyStream>(ctx, room, key_value(path, "?username=", "&password="),
                                      key_value(path, "&password=", "&room="), std::move(mark),
                                      asked_seen(path));
}

}  // namespace tvl
