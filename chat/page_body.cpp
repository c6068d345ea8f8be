// The message stream: body.ghp hands each user the lines of the room that
// the user has not received yet, as script statements for the board and the
// own-messages frame, and tells the browser when to reload its user list.
//
// The waiting form ("&wait=1" after the room number) answers the same page,
// but when there is nothing new it waits on its connection's thread until a
// line for the user is pushed or ctx.stream_wait_ms pass. Whoever pushes
// wakes it (ChatState::push_message); nothing polls.
#include <chrono>
#include <thread>

#include "chat/body_stream.h"
#include "chat/chat_pages.h"
#include "chat/delivery.h"
#include "chat/page_escape.h"
#include "chat/place_key.h"
#include "chat/query.h"
#include "chat/room_ban.h"
#include "chat/script_string.h"
#include "chat/template_fill.h"

namespace tvl {

namespace {

const char kMsgMarker[] = "<!--$msg-->";

// What one look at the user's place found.
enum class Found { NotOnline, Banned, Place };

struct Answer {
  std::string users_statement;
  std::string mark;  // in a cluster: "tvl.mark=..." (see chat/body_stream.h)
  Delivery delivery;
  bool first_delivery = false;
  bool news() const { return !users_statement.empty() || !delivery.empty(); }
};

// Chat lock held. Finds the keyed place, stamps its presence and takes what
// it has not received.
Found look(ChatContext& ctx, int room, const std::string& name, const std::string& password,
           long long now, Answer& answer) REQUIRES(ctx.state.chat_lock()) {
  // A request without the place's key is answered as if the user were not
  // online: it neither reads the user's lines nor moves them on.
  const std::optional<int> index = find_keyed_user(ctx.state, room, name, password);
  if (!index) return Found::NotOnline;
  OnlineUser& user = ctx.state.user(*index);
  user.last_active_ms = now;  // banned users too: they time out the same way
  if (place_banned(user, now)) return Found::Banned;
  if (user.last_seq == 0) answer.first_delivery = true;
  take_undelivered(ctx.state.ring(room), user, name, user.split, answer.delivery);
  user.stream_floor = user.last_seq;  // a resuming stream does not hand these again
  if (ctx.state.shared_epoch()) answer.mark = "tvl.mark=\"" + place_mark(ctx.state, user) + "\";";
  if (user.known_online != ctx.state.online_count()) {
    user.known_online = ctx.state.online_count();
    answer.users_statement = "parent.users.window.location.href=\"users.ghp?username=" +
                             escape_for_script_string(escape_address_value(name)) +
                             "&password=" + escape_for_script_string(escape_address_value(password)) +
                             "&room=" + std::to_string(room) + "\";" + kMsgMarker;
  }
  return Found::Place;
}

// The waiting form is asked for after the room number only, where no name
// or key can reach.
bool asks_to_wait(const std::string& path) {
  const std::size_t room_at = path.find("&room=");
  return room_at != std::string::npos && path.find("&wait=1", room_at) != std::string::npos;
}

}  // namespace

bool page_body(ChatContext& ctx, const std::string& path, std::string& out) {
  if (!has_key(path, "?username=") || !has_key(path, "&password=") || !has_key(path, "&room="))
    return false;
  const std::string name = key_value(path, "?username=", "&password=");
  const std::string password = key_value(path, "&password=", "&room=");
  const int room = key_number(path, "&room=");
  if (room < 1 || room > ctx.state.room_count()) return false;
  const bool may_wait = asks_to_wait(path) && ctx.stream_wait_ms > 0;
  const std::optional<std::string> resume = asked_resume(path);
  const std::optional<std::string> seen = asked_seen(path);

  Answer answer;
  {
    ChatState::Hold chat(ctx.state);
    // The rooms may have been reloaded since the check above.
    if (room > ctx.state.room_count_locked()) return false;
    // One clock read per poll: it stamps the user's presence and decides
    // whether a sweep for stale places is due.
    const long long now = ctx.now_ms();
    sweep_idle_users(ctx, now);
    // In a cluster the window says what it has received, wherever from.
    if (seen && ctx.state.shared_epoch()) {
      if (const std::optional<int> index = find_keyed_user(ctx.state, room, name, password))
        take_seen(ctx.state, ctx.state.user(*index), *seen);
    }
    // A window that gave up on its live stream takes over from it, and gets
    // what the stream took and did not bring.
    if (resume) {
      if (const std::optional<int> index = find_keyed_user(ctx.state, room, name, password)) {
        OnlineUser& user = ctx.state.user(*index);
        user.live_stream = 0;
        ctx.state.supersede_waits(room, name);
        resume_place(ctx.state, user, *resume);
      }
    }
    Found found = look(ctx, room, name, password, now, answer);
    // Whatever is there goes out at once (a newcomer's history, too).
    if (found == Found::Place && may_wait && !answer.news()) {
      Waiter waiter;
      waiter.room = room;
      waiter.name = name;
      const long long deadline = steady_now_ms() + ctx.stream_wait_ms;
      // The place's older stream (a reloaded frame, or a client that opens
      // waits by the hundred) answers now: one connection waits per place.
      ctx.state.supersede_waits(room, name);
      // ... and so does its live stream: the place's window waits instead.
      if (const std::optional<int> index = find_keyed_user(ctx.state, room, name, password))
        ctx.state.user(*index).live_stream = 0;
      for (;;) {
        const long long left = deadline - steady_now_ms();
        if (left <= 0 || ctx.state.waits_stopped()) break;
        (void)ctx.state.wait_for_lines(waiter, left);  // woken or not, look again
        if (waiter.superseded) break;
        if (room > ctx.state.room_count_locked()) return false;  // the rooms were reloaded
        // Woken by a line the user has already got (its own post) or that
        // is not for it: the look finds nothing and the wait goes on.
        found = look(ctx, room, name, password, ctx.now_ms(), answer);
        if (found != Found::Place || answer.news()) break;
      }
    }
    if (found == Found::NotOnline) {
      out = *ctx.site.templates[T_BODY].get();
      return true;
    }
    if (found == Found::Banned) {
      out = "You have been banned!";
      return true;
    }
  }

  out = *ctx.site.templates[T_BODY].get();
  if (!answer.users_statement.empty()) fill_marker(out, kMsgMarker, answer.users_statement);
  if (!answer.mark.empty()) fill_marker(out, kMsgMarker, answer.mark + kMsgMarker);
  fill_delivery(out, answer.delivery);

  // The new chat window's frames are still loading; give them a moment. The
  // chat lock is not held here.
  if (answer.first_delivery && ctx.first_poll_delay_ms > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(ctx.first_poll_delay_ms));
  return true;
}

}  // namespace tvl
