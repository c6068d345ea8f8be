// Entering a room: chat.ghp (account check, admission rules, joining the
// online table, the join line) and chatsubmit.ghp (the input form).
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

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
// Several servers share the chat and the name cannot be checked with the
// others now: no place is taken rather than one the name may hold twice.
const char kNamesUnreachablePage[] =
    "<BODY bgcolor=\"#EBEBD6\">The chat cannot check your name with its other servers right "
    "now, please try again in a moment!</body>";
const char kChatFullPage[] =
    "<BODY bgcolor=\"#EBEBD6\">The chat is full, please try again later!</body>";

// A name that stands in a room's administrator text (or looks like one).
const char kReservedPage[] =
    "<BODY bgcolor=\"#EBEBD6\">This username is reserved, please choose another "
    "username!</body>";
// A window that still holds the key of a place that has ended (left, timed
// out while the computer slept, or taken over by a new login of the same
// member). Nothing is counted: it is no password guess.
const char kPlaceEndedPage[] =
    "<BODY bgcolor=\"#EBEBD6\">Your place in the chat room has ended, please enter "
    "again!</body>";
// Too many wrong passwords from this address or for this account.
const char kTooManyFailuresPage[] =
    "<BODY bgcolor=\"#EBEBD6\">Too many failed logins, please try again in 5 minutes!</body>";

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
  const std::optional<int> index = find_keyed_user(ctx.state, room, name, key);
  if (!index) return false;
  OnlineUser& place = ctx.state.user(*index);
  place.last_active_ms = ctx.now_ms();
  place.last_seq = 0;
  place.known_online = 0;
  // A place entered on another server holds only the key's digest here.
  out = place.key.empty() ? key : place.key;
  return true;
}

// What an entry asks for, from the page address.
struct Entry {
  std::string name;        // as it stood in the address (encoded)
  std::string typed_name;  // decoded: accounts are named as the member typed the name
  std::string password;
  std::string room_text;
  int room = 0;
  std::string icon;  // the picture a guest chose ("<sex>.gif"); a member's account may replace it
  std::shared_ptr<const std::vector<RoomInfo>> rooms;  // the table `room` was checked against

  const RoomInfo& info() const { return (*rooms)[room - 1]; }
};

// How far an entry got: on, answered with a refusal page, or declined
// (404) for an address that names no room.
enum class Admission { Admitted, Refused, Declined };

Admission read_entry(ChatContext& ctx, const std::string& path, Entry& entry, std::string& out) {
  if (!has_key(path, "?username=") || !has_key(path, "&password=") || !has_key(path, "&room="))
    return Admission::Declined;
  entry.name = key_value(path, "?username=", "&password=");
  entry.password = key_value(path, "&password=", "&room=");
  entry.room_text = key_value(path, "&room=", "&sex=");
  entry.room = key_number(path, "&room=");
  entry.rooms = ctx.state.rooms();
  if (entry.room < 1 || entry.room > static_cast<int>(entry.rooms->size()))
    return Admission::Declined;
  // Refused before the name is used as a file name or written into a page.
  if (!user_name_allowed(entry.name)) {
    out = kNameRefusedPage;
    return Admission::Refused;
  }
  entry.typed_name = entry.name;
  form_decode(entry.typed_name);
  entry.icon = std::to_string(key_number(path, "&sex=")) + ".gif";
  return Admission::Admitted;
}

// A guest may not take a name that stands in a room's administrator text
// (those are for the accounts the operator makes), nor look like a member,
// nor take a name that is no identifier by Unicode's rules (told after the
// refusals that say whose name it looks like), nor enter a room closed to
// guests. The refusal page, or null.
const char* guest_refusal(ChatContext& ctx, const Entry& entry) {
  for (const RoomInfo& r : *entry.rooms)
    if (is_reserved_name(r.admin, entry.typed_name)) return kReservedPage;
  if (!ctx.accounts->lookalike(entry.typed_name).empty()) return kNameTakenPage;
  if (!account_name_new_allowed(entry.typed_name)) return kNameRefusedPage;
  if (ctx.guards->guests.closed(entry.info().name)) return kGuestsClosedPage;
  if (!entry.info().guest) return kNoGuestsPage;
  return nullptr;
}

// The account check with its bounds, then the room's admission rules. The
// refusal page, or null with `member` telling how the visitor enters.
const char* admission_refusal(ChatContext& ctx, const std::string& network, Entry& entry,
                              bool& member) {
  // A guest's entry checks no password; everything else is bounded per
  // client network and per account, counted before the check is made, and
  // a refused check reads no file.
  const ServerSettings& s = ctx.site.settings;
  AccountCheck account = AccountCheck::Guest;
  // The key of a place that is gone. A reload left the room as its page
  // closed: the place comes back. Any other ended place's key opens nothing
  // and is told so; it is never counted as a password guess.
  EndedPlace gone;
  const EndedPlaces::Found found =
      looks_like_place_key(entry.password)
          ? ctx.guards->ended.find(entry.password, account_name_fold(entry.typed_name), entry.room,
                                   ctx.now_ms(), gone)
          : EndedPlaces::Found::None;
  if (found == EndedPlaces::Found::Ended) return kPlaceEndedPage;
  if (found == EndedPlaces::Found::Resumable) {
    account = gone.member ? AccountCheck::Member : AccountCheck::Guest;
    entry.icon = gone.icon;
  } else if (looks_like_place_key(entry.password)) {
    // A key this server never handed out since it started: the key of a
    // place from before a restart, or a member's password of that very
    // shape. Checked once and never counted; a wrong one is a stale key.
    PasswordTurn turn(ctx.guards->passwords, network, s.max_password_checks, s.password_queue);
    if (!turn.granted()) return kServerBusyPage;
    account = check_account_in_address(*ctx.accounts, entry.typed_name, entry.password, entry.icon);
    if (account == AccountCheck::BadLogin) return kPlaceEndedPage;
  } else if (!entry.password.empty() || !ctx.accounts->find(entry.typed_name).empty()) {
    LoginAttempt attempt(ctx.guards->logins, network, entry.typed_name, s.max_failed_logins,
                         ctx.now_ms());
    if (!attempt.granted()) return kTooManyFailuresPage;
    PasswordTurn turn(ctx.guards->passwords, network, s.max_password_checks, s.password_queue);
    if (!turn.granted()) return kServerBusyPage;
    account = check_account_in_address(*ctx.accounts, entry.typed_name, entry.password, entry.icon);
    attempt.finish(account == AccountCheck::BadLogin ? LoginOutcome::Failed
                                                     : LoginOutcome::Succeeded,
                   ctx.now_ms());
  } else {
    account = check_account_in_address(*ctx.accounts, entry.typed_name, entry.password, entry.icon);
  }
  member = account == AccountCheck::Member;
  switch (account) {
    case AccountCheck::BadLogin:
      return kBadLoginPage;
    case AccountCheck::Disabled:
      return kDisabledPage;
    case AccountCheck::Guest:
      if (const char* refusal = guest_refusal(ctx, entry)) return refusal;
      break;
    case AccountCheck::Member:
      break;
  }
  if (entry.info().admin_only && (!member || !is_room_administrator(entry.info().admin,
                                                                    entry.typed_name)))
    return kAdminsOnlyPage;
  return nullptr;
}

// Chat lock held: a new place at the end of the table, its join logged and
// told to the room. False when every place is taken.
bool join(ChatContext& ctx, const std::string& ip, const Entry& entry, bool member, bool banned,
          long long ban_ends_ms, const std::string& key, long long now) REQUIRES(ctx.state.chat_lock()) {
  OnlineUser user;
  copy_field(user.name, entry.name);
  copy_field(user.icon, entry.icon);
  user.key = key;
  user.room = entry.room;
  user.last_active_ms = now;
  user.member = member;
  user.place_id = new_place_id();
  user.active = !banned;
  user.ban_ends_ms = banned ? ban_ends_ms : 0;
  set_place_names(user, entry.typed_name);
  if (ctx.places) user.key_digest = key_digest(key);
  if (!ctx.state.add_user(user, ip)) return false;
  const std::string time = local_time_hms();
  if (ctx.log_event)
    ctx.log_event(ip, time,
                  entry.name + " joined the [" + ctx.state.room_locked(entry.room).name + "]");
  std::string line = presence_line(time, entry.name, "joined the chat room...");
  if (ctx.places) {
    // The other servers take the place in, and the line comes back numbered
    // through the reader.
    PlaceEvent event;
    event.kind = PlaceEvent::Kind::Enter;
    event.room = entry.room;
    event.place = ctx.state.user(ctx.state.online_count() - 1);
    event.address = ip;
    event.line = std::move(line);
    event.now_ms = now;
    ctx.places->share(std::move(event));
  } else {
    ctx.state.push_message(entry.room, line, "All");
  }
  return true;
}

// Under the chat lock: the place of the entry, a member's own taken over or
// a new one at the end of the table with the join line. `key` is the
// place's new key.
Admission take_place(ChatContext& ctx, const std::string& ip, const std::string& network,
                     const Entry& entry, bool member, const std::string& key, std::string& out) {
  long long ban_ends_ms = 0;
  const bool banned =
      ctx.guards->bans.banned(entry.info().name, entry.typed_name, network, ctx.site.settings,
                              ctx.now_ms(), &ban_ends_ms);
  ChatState::Hold chat(ctx.state);
  // The rooms may have been reloaded since the check above.
  if (entry.room > ctx.state.room_count_locked()) return Admission::Declined;
  // Stale places go first, so a closed window neither keeps its name taken
  // nor its place in a full table.
  const long long now = ctx.now_ms();
  sweep_idle_users(ctx, now);
  if (const std::optional<int> index = ctx.state.find_online_user(entry.room, entry.name)) {
    OnlineUser& place = ctx.state.user(*index);
    // A member's password takes over only a place the member entered as a
    // member; a guest's place is taken only with its key (see
    // return_to_place).
    if (!member || !place.member) {
      out = kNameTakenPage;
      return Admission::Refused;
    }
    // The new window starts empty: it gets the kept lines and the user
    // list again. The place goes on: a ban stays, and so does the time it
    // was taken (the member has been online all along).
    // The old window's key ends here: that window is told so, not let
    // back in.
    if (!place.key.empty())  // a place entered on another server has no key here
      ctx.guards->ended.ended(EndedPlace{place.key, place.name_fold, entry.room, true,
                                         place.icon, EndedHow::TakenOver, now});
    place.key = key;
    copy_field(place.icon, entry.icon);
    place.last_active_ms = now;
    place.last_seq = 0;
    place.known_online = 0;
    if (ctx.places) {
      place.key_digest = key_digest(key);
      share_place(ctx, *index);
    }
    return Admission::Admitted;
  }
  // One client would otherwise take every place (MaxPlacesPerAddress); to
  // it the chat is full.
  const char* refusal = nullptr;
  if (!network_may_take_place(ctx.state, network, ctx.site.settings))
    refusal = kChatFullPage;
  else if (!member && lookalike_online(ctx.state, entry.typed_name))
    refusal = kNameTakenPage;
  // A full table makes room by fair shares (the network holding the most
  // gives up its stalest place); else the chat is full.
  else if (ctx.state.online_count() >= ctx.state.max_online() &&
           !make_room_for_network(ctx, network))
    refusal = kChatFullPage;
  else if (!join(ctx, ip, entry, member, banned, ban_ends_ms, key, now))
    refusal = kChatFullPage;
  if (!refusal) return Admission::Admitted;
  out = refusal;
  return Admission::Refused;
}

}  // namespace

bool page_chat(ChatContext& ctx, const std::string& ip, const std::string& path, std::string& out) {
  Entry entry;
  const Admission read = read_entry(ctx, path, entry, out);
  if (read != Admission::Admitted) return read == Admission::Refused;
  // A visitor who reloads the chat window comes back with the key of the
  // place in the password's stead: that place is theirs again, with no
  // account check.
  if (!entry.password.empty() &&
      return_to_place(ctx, entry.room, entry.name, entry.password, out)) {
    fill_chat_window(ctx, entry.name, out, entry.room_text);
    return true;
  }
  const std::string network = client_network_of(ctx.site.settings, ip);
  bool member = false;
  if (const char* refusal = admission_refusal(ctx, network, entry, member)) {
    out = refusal;
    return true;
  }
  // Every place gets a fresh random key, members' too. Made before the lock:
  // it reads the system's random source.
  const std::string key = new_guest_key();
  if (key.empty()) {
    out = kChatFullPage;
    return true;
  }
  // With several servers the name is the whole chat's first; a claim of a
  // place that is then refused lapses with the next round of claims. A
  // member who takes over the own place, entered on whichever server, needs
  // no claim: the place holds the name already (the table is the chat's).
  bool taking_over = false;
  if (ctx.names && member) {
    ChatState::Hold chat(ctx.state);
    if (entry.room <= ctx.state.room_count_locked()) {
      const std::optional<int> at = ctx.state.find_online_user(entry.room, entry.name);
      taking_over = at && ctx.state.user(*at).member;
    }
  }
  if (ctx.names && !taking_over) {
    switch (ctx.names->claim(entry.info().name, account_name_skeleton(entry.typed_name))) {
      case NameClaim::Ours:
        break;
      case NameClaim::Elsewhere:
        out = kNameTakenPage;
        return true;
      case NameClaim::Unreachable:
        out = kNamesUnreachablePage;
        return true;
    }
  }
  const Admission taken = take_place(ctx, ip, network, entry, member, key, out);
  if (taken != Admission::Admitted) return taken == Admission::Refused;
  // The window's next requests may reach any server: they find the place.
  if (ctx.places) ctx.places->settle();
  out = key;
  fill_chat_window(ctx, entry.name, out, entry.room_text);
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
