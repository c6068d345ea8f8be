// Entering a room: chat.ghp (account check, admission rules, joining the
// online table, the join line) and chatsubmit.ghp (the input form).
#include <cstdio>
#include <cstring>
#include <optional>

#include "chat/board_line.h"
#include "chat/chat_pages.h"
#include "chat/page_escape.h"
#include "chat/place_key.h"
#include "chat/room_admin.h"
#include "chat/query.h"
#include "chat/template_fill.h"
#include "chat/visitor_bounds.h"
#include "server/form_text.h"
#include "storage/account.h"
#include "storage/account_name.h"

namespace tvl {

namespace {

const char kDisabledPage[] = "<BODY bgcolor=\"#EBEBD6\">This user account is disabled! </body>";
const char kBadLoginPage[] =
    "<BODY bgcolor=\"#EBEBD6\">Invalid username or password! <br><font color=red size=2>Note: "
    "guest does not need password.</font></body>";
const char kNoGuestsPage[] =
    "<BODY bgcolor=\"#EBEBD6\">Guest is not allowed to join this room, please register an "
    "account!</body>";
const char kGuestsClosedPage[] =
    "<BODY bgcolor=\"#EBEBD6\">Guests cannot join at the moment, please come back later or "
    "enter with your account.</body>";
const char kAdminsOnlyPage[] =
    "<BODY bgcolor=\"#EBEBD6\">You are not allowed to join this room, only administrators can "
    "login!</body>";
const char kNameTakenPage[] =
    "<BODY bgcolor=\"#EBEBD6\">This username has logged on, please select another "
    "username!</body>";
// Names become file names and stand in HTML and script on every page, so
// some are refused outright.
const char kNameRefusedPage[] =
    "<BODY bgcolor=\"#EBEBD6\">This username is not allowed, please choose another "
    "username!</body>";
// All places of the online table are taken.
const char kChatFullPage[] =
    "<BODY bgcolor=\"#EBEBD6\">The chat is full, please try again later!</body>";

// A name that stands in a room's administrator text (or looks like one).
const char kReservedPage[] =
    "<BODY bgcolor=\"#EBEBD6\">This username is reserved, please choose another "
    "username!</body>";
// Too many wrong passwords from this address or for this account.
const char kTooManyFailuresPage[] =
    "<BODY bgcolor=\"#EBEBD6\">Too many failed logins, please try again in 5 minutes!</body>";

template <std::size_t N>
void copy_field(char (&field)[N], const std::string& text) {
  std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
  std::memcpy(field, text.data(), n);
  std::memset(field + n, 0, N - n);
}

// The chat window for a place; `out` holds the place's key on the way in.
void fill_chat_window(ChatContext& ctx, const std::string& name, std::string& out,
                      const std::string& room_text) {
  const std::string key = out;
  out = *ctx.site.templates[T_CHAT].get();
  fill_marker(out, "<!--$user-->", escape_address_value(escape_for_page(name)));
  fill_marker(out, "<!--$pass-->", escape_address_value(key));
  fill_marker(out, "<!--$room-->", escape_address_value(room_text));
}

// The place of `name` in `room` when `key` is its key: its delivery starts
// again (the new window gets the kept lines and the user list), and `out`
// receives the key. False, changing nothing, otherwise.
bool return_to_place(ChatContext& ctx, int room, const std::string& name, const std::string& key,
                     std::string& out) {
  ChatState::Hold chat(ctx.state);
  if (room > ctx.state.room_count_locked()) return false;
  const int index = find_keyed_user(ctx.state, room, name, key);
  if (index >= ctx.state.online_count()) return false;
  OnlineUser& place = ctx.state.user(index);
  place.last_active_ms = ctx.now_ms();
  place.last_seq = 0;
  place.known_online = 0;
  out = place.key;
  return true;
}

}  // namespace

bool page_chat(ChatContext& ctx, const std::string& ip, const std::string& path, std::string& out) {
  if (!has_key(path, "?username=") || !has_key(path, "&password=") || !has_key(path, "&room="))
    return false;
  const std::string name = key_value(path, "?username=", "&password=");
  const std::string password = key_value(path, "&password=", "&room=");
  const std::string room_text = key_value(path, "&room=", "&sex=");
  const int room = key_number(path, "&room=");
  auto rooms = ctx.state.rooms();
  if (room < 1 || room > static_cast<int>(rooms->size())) return false;
  const RoomInfo& info = (*rooms)[room - 1];

  // Refused before the name is used as a file name or written into a page.
  if (!user_name_allowed(name)) {
    out = kNameRefusedPage;
    return true;
  }
  // Accounts are named as the member typed the name; the address carries it
  // encoded.
  std::string typed_name = name;
  form_decode(typed_name);

  // A visitor who reloads the chat window comes back with the key of the
  // place in the password's stead: that place is theirs again, with no
  // account check.
  if (!password.empty() && return_to_place(ctx, room, name, password, out)) {
    fill_chat_window(ctx, name, out, room_text);
    return true;
  }

  char number_icon[32];
  std::snprintf(number_icon, sizeof number_icon, "%d.gif", key_number(path, "&sex="));
  std::string icon = number_icon;

  // A guest's entry checks no password; everything else is bounded per
  // client network and per account, counted before the check is made, and
  // a refused check reads no file.
  const std::string network = client_network_of(ctx.site.settings, ip);
  const bool checks_password = !password.empty() || account_exists(ctx.site.program_folder, typed_name);
  std::optional<LoginAttempt> attempt;
  if (checks_password) {
    attempt.emplace(ctx.guards->logins, network, typed_name, ctx.site.settings.max_failed_logins,
                    ctx.now_ms());
    if (!attempt->granted()) {
      out = kTooManyFailuresPage;
      return true;
    }
  }
  int account = kAccountGuest;
  if (checks_password) {
    PasswordTurn turn(ctx.guards->passwords, network, ctx.site.settings.max_password_checks,
                      ctx.site.settings.password_queue);
    if (!turn.granted()) {
      out = kServerBusyPage;
      return true;
    }
    account = check_account_in_address(ctx.site.program_folder, typed_name, password, icon);
  } else {
    account = check_account_in_address(ctx.site.program_folder, typed_name, password, icon);
  }
  if (attempt)
    attempt->finish(account == kAccountBadLogin ? LoginOutcome::kFailed : LoginOutcome::kSucceeded,
                    ctx.now_ms());
  if (account == kAccountBadLogin) {
    out = kBadLoginPage;
    return true;
  }
  if (account == kAccountDisabled) {
    out = kDisabledPage;
    return true;
  }
  if (account == kAccountGuest) {
    // The administrators' names are for the accounts the operator makes, and
    // no guest may look like a member.
    for (const RoomInfo& r : *rooms) {
      if (is_reserved_name(r.admin, typed_name)) {
        out = kReservedPage;
        return true;
      }
    }
    if (!lookalike_account(ctx.site.program_folder, typed_name).empty()) {
      out = kNameTakenPage;
      return true;
    }
    // A guest takes a name anew: it must be an identifier by Unicode's rules
    // (told after the refusals that say whose name it looks like).
    if (!account_name_new_allowed(typed_name)) {
      out = kNameRefusedPage;
      return true;
    }
    if (ctx.guards->guests.closed(info.name)) {
      out = kGuestsClosedPage;
      return true;
    }
    if (!info.guest) {
      out = kNoGuestsPage;
      return true;
    }
  }
  if (info.admin_only && (account != kAccountMember || !is_room_administrator(info.admin, typed_name))) {
    out = kAdminsOnlyPage;
    return true;
  }

  // Every place gets a fresh random key, members' too. Made before the lock:
  // it reads the system's random source.
  const std::string key = new_guest_key();
  if (key.empty()) {
    out = kChatFullPage;
    return true;
  }
  const bool member = account == kAccountMember;
  long long ban_ends_ms = 0;
  const bool banned =
      ctx.guards->bans.banned(info.name, typed_name, network, ctx.site.settings, ctx.now_ms(), &ban_ends_ms);

  {
    ChatState::Hold chat(ctx.state);
    // The rooms may have been reloaded since the check above.
    if (room > ctx.state.room_count_locked()) return false;
    // Stale places go first, so a closed window neither keeps its name taken
    // nor its place in a full table.
    const long long now = ctx.now_ms();
    sweep_idle_users(ctx, now);
    const int index = ctx.state.find_online_user(room, name);
    if (index < ctx.state.online_count()) {
      OnlineUser& place = ctx.state.user(index);
      // A member's password takes over only a place the member entered as a
      // member; a guest's place is taken only with its key (above).
      if (!member || !place.member) {
        out = kNameTakenPage;
        return true;
      }
      // The new window starts empty: it gets the kept lines and the user
      // list again. The place goes on: a ban stays, and so does the time
      // it was taken (the member has been online all along).
      place.key = key;
      copy_field(place.icon, icon);
      place.last_active_ms = now;
      place.last_seq = 0;
      place.known_online = 0;
    } else if (!network_may_take_place(ctx.state, network, ctx.site.settings)) {
      // One client would otherwise take every place (MaxPlacesPerAddress);
      // to it the chat is full.
      out = kChatFullPage;
      return true;
    } else {
      if (!member && lookalike_online(ctx.state, typed_name)) {
        out = kNameTakenPage;
        return true;
      }
      // A full table makes room by fair shares (the network holding the
      // most gives up its stalest place); else the chat is full.
      if (ctx.state.online_count() >= ctx.state.max_online() &&
          !make_room_for_network(ctx, network)) {
        out = kChatFullPage;
        return true;
      }
      OnlineUser user;
      copy_field(user.name, name);
      copy_field(user.icon, icon);
      user.key = key;
      user.room = room;
      user.last_active_ms = now;
      user.member = member;
      user.place_id = new_place_id();
      user.active = !banned;
      user.ban_ends_ms = banned ? ban_ends_ms : 0;
      set_place_names(user, typed_name);
      if (!ctx.state.add_user(user, ip)) {
        out = kChatFullPage;
        return true;
      }
      const std::string time = local_time_hms();
      if (ctx.log_event)
        ctx.log_event(ip, time, name + " joined the [" + ctx.state.room_locked(room).name + "]");
      ctx.state.push_message(room,
                             presence_line(time, name, "joined the chat room..."),
                             "All");
    }
  }

  out = key;
  fill_chat_window(ctx, name, out, room_text);
  return true;
}

bool page_chatsubmit(ChatContext& ctx, const std::string& path, std::string& out) {
  std::string name, password, room_text;
  const std::string raw_name = key_value(path, "?username=", "&password=");
  // A name that could not have entered a room gets no place in the form
  // either: it would stand decoded in the page.
  if (has_key(path, "?username=") && has_key(path, "&password=") && has_key(path, "&room=") &&
      user_name_allowed(raw_name)) {
    name = raw_name;
    form_decode(name);
    password = key_value(path, "&password=", "&room=");
    room_text = key_value(path, "&room=");
  }
  out = *ctx.site.templates[T_CHATSUBMIT].get();
  fill_marker(out, "<!--$user-->", escape_address_value(name));
  fill_marker(out, "<!--$pass-->", escape_address_value(password));
  fill_marker(out, "<!--$room-->", escape_address_value(room_text));
  return true;
}

}  // namespace tvl
