// The chat's page handlers. Each is a plain function of the chat context and
// the request text, so it can be tested without sockets; ChatPages routes the
// HTTP layer's dispatch to them.
//
// Query values are found by fixed keys that include their separators
// ("?username=", "&password=", "&room="); a value runs to the next expected
// key. Room numbers are valid from 1 to the room count.
#pragma once
#include <functional>
#include <memory>
#include <string>

#include "chat/account_guard.h"
#include "chat/chat_limits.h"
#include "chat/chat_state.h"
#include "chat/line_publisher.h"
#include "chat/name_claims.h"
#include "chat/place_sharing.h"
#include "chat/room_records.h"
#include "server/page_handlers.h"
#include "storage/account_store.h"
#include "storage/settings.h"

namespace tvl {

// Milliseconds of a monotonic clock (the chat clock of a running server).
long long steady_now_ms();

// What a page needs: settings, program folder and templates; the chat state;
// and the sink of chat events (ChatEngine::log_chat_event, called with the
// chat lock held).
struct ChatContext {
  SiteData& site;
  ChatState& state;
  std::function<void(const std::string& address, const std::string& time,
                     const std::string& text)>
      log_event;
  // Wait before answering a user's first poll (the browser needs its frames).
  int first_poll_delay_ms = 200;
  // Presence (chat/chat_limits.h gives the reasons; tests shorten them).
  long long idle_leave_ms = kIdleLeaveMs;
  long long sweep_interval_ms = kSweepIntervalMs;
  // Longest wait of the waiting form of the message stream (tests shorten it).
  long long stream_wait_ms = kStreamWaitMs;
  // Silence after which a live stream sends a keep-alive comment (tests
  // shorten it); 0 or less: body.ghp answers no live stream.
  long long stream_keepalive_ms = kStreamKeepAliveMs;
  // Longest life of one live stream (tests shorten it).
  long long stream_life_ms = kStreamLifeMs;
  // The chat clock in milliseconds, monotonic (tests replace it).
  std::function<long long()> now_ms = steady_now_ms;
  // Failed logins, registrations and bans (shared by the copies of the
  // context, for the life of the server).
  std::shared_ptr<ChatGuards> guards = std::make_shared<ChatGuards>();
  // Several servers, one chat: posted lines go out through this and come
  // back through its reader (chat/line_publisher.h). Null: this server alone.
  std::shared_ptr<LinePublisher> lines = nullptr;
  // With several servers, a new place's name is claimed for the whole chat
  // first (chat/name_claims.h). Null: this server alone.
  std::shared_ptr<NameClaims> names = nullptr;
  // With several servers, every change of a place goes to the others
  // through this (chat/place_sharing.h). Null: this server alone.
  std::shared_ptr<PlaceSharing> places = nullptr;
  // The member accounts: users/ of this server, or the store that several
  // servers share (storage/account_store.h).
  std::shared_ptr<AccountStore> accounts = std::make_shared<FileAccountStore>(site.program_folder);
  // The rooms: rooms.sdb of this server, or the rooms several servers
  // share (chat/room_records.h).
  std::shared_ptr<RoomRecords> rooms = std::make_shared<FileRoomRecords>(site.program_folder);
};

// Local time as "%H:%M:%S".
std::string local_time_hms();

// Leaving a room, the one way an entry leaves the online table (exit.ghp and
// the time-out). Chat lock held; `index` is a valid entry. Removes it (later
// entries move down), then logs "<name> left the [<room>]" with `address` and
// pushes the "left the chat room..." line into the entry's room; `name` is
// the spelling both texts show.
void leave_room(ChatContext& ctx, int index, const std::string& address, const std::string& name)
    REQUIRES(ctx.state.chat_lock());

// Chat lock held. With several servers (ctx.places) the place at `index`
// as it stands now goes to the others (an Update: its key, picture or ban
// changed); alone, nothing.
void share_place(ChatContext& ctx, int index) REQUIRES(ctx.state.chat_lock());
// share_place for the visitor `decoded_name` of `room` (chat/room_ban.h),
// after a ban or its end.
void share_visitor(ChatContext& ctx, int room, const std::string& decoded_name)
    REQUIRES(ctx.state.chat_lock());
// After ban_in_room (or, with `lifted`, unban_in_room) of `decoded_name` in
// `room`: the visitor's place (share_visitor) and the stored ban go to the
// other servers; alone, nothing.
void share_room_ban(ChatContext& ctx, int room, const std::string& decoded_name, bool lifted)
    REQUIRES(ctx.state.chat_lock());

// Chat lock held. When the last sweep is at least ctx.sweep_interval_ms
// ago, every user whose last poll or post is more than ctx.idle_leave_ms
// before `now` leaves the room through leave_room(), named as stored and
// logged with the address of the join (ChatState::join_address). A user
// whose message stream is waiting right now is present. Cheap when not due.
// With several servers (ctx.places) it leaves nobody: places expire for the
// whole chat (chat/place_sharing.h).
void sweep_idle_users(ChatContext& ctx, long long now) REQUIRES(ctx.state.chat_lock());

// Pages (true: answer out; false: decline, answered 404).
bool page_index(ChatContext& ctx, const std::string& path, std::string& out);
bool page_chat(ChatContext& ctx, const std::string& ip, const std::string& path, std::string& out);
bool page_ad(ChatContext& ctx, const std::string& path, std::string& out);
bool page_exit(ChatContext& ctx, const std::string& ip, const std::string& path, std::string& out);
bool page_users(ChatContext& ctx, const std::string& path, std::string& out);
bool page_body(ChatContext& ctx, const std::string& path, std::string& out);
bool page_chatsubmit(ChatContext& ctx, const std::string& path, std::string& out);
bool page_register(ChatContext& ctx, const std::string& ip, const std::string& path,
                   std::string& out);
bool page_previewicons(ChatContext& ctx, const std::string& path, std::string& out);
bool page_finduser(ChatContext& ctx, const std::string& path, std::string& out);

// Form posts (the request as read once; out may stay empty). The form's
// fields are found in the request's whole text.
void chat_post(ChatContext& ctx, const HttpRequest& request, std::string& out);
void registration_post(ChatContext& ctx, const HttpRequest& request, std::string& out);
// The same for a request text as it came from `ip` (not over TLS, no
// trusted proxy).
void chat_post(ChatContext& ctx, const std::string& ip, const std::string& request,
               std::string& out);
void registration_post(ChatContext& ctx, const std::string& ip, const std::string& request,
                       std::string& out);

class ChatPages : public PageHandlers {
 public:
  explicit ChatPages(ChatContext context) : ctx_(std::move(context)) {}
  bool page(Page which, const std::string& path, const HttpRequest& request,
            std::string& out) override;
  std::unique_ptr<LiveStream> live_page(Page which, const std::string& path,
                                        const HttpRequest& request) override;
  void registration_post(const HttpRequest& request, std::string& out) override;
  void chat_post(const HttpRequest& request, std::string& out) override;
  ChatContext& context() { return ctx_; }

 private:
  ChatContext ctx_;
};

}  // namespace tvl
