// Registration and profile: the form page register.ghp (an empty form for a
// new member, or the "Change Information" form filled from an account) and
// the registration post, which writes the account file users/<name>.
//
// Names become file names under users/ and stand in the page, so a name that
// the chat's name rule refuses is answered with a short page before any file
// is read or written. Changing an existing account needs a proof: the
// account's password, or the key of a place its member holds in the chat
// (the chat window's Profile link). The start page sends the password in a
// form post ("POST /registresult.htm?change", fields "UserName=" and
// "&Password="), never in an address; the change form carries the proof on
// in its "&Old=" field and leaves the new password empty (an empty one keeps
// the stored password). A form opened with the key shows a field for the
// current password, which the page sends in "&Old=" when a new password is
// typed. Every check of a password counts against the bound of failed logins.
#include <cstdlib>
#include <utility>

#include "chat/chat_pages.h"
#include "chat/place_key.h"
#include "chat/room_admin.h"
#include "server/same_site.h"
#include "chat/page_escape.h"
#include "chat/query.h"
#include "chat/template_fill.h"
#include "platform/fs.h"
#include "platform/profile.h"
#include "server/form_text.h"
#include "storage/account.h"
#include "storage/account_name.h"
#include "storage/password_hash.h"

namespace tvl {

namespace {

const char kNotAllowedPage[] =
    "<BODY bgcolor=\"#EBEBD6\"><center>New user registration is not allowed. Please contact the "
    "administrator.</center></BODY>";
const char kNameRefusedPage[] =
    "<BODY bgcolor=\"#EBEBD6\">This username is not allowed, please choose another "
    "username!</body>";
const char kWrongPasswordPage[] =
    "<BODY bgcolor=\"#EBEBD6\">Invalid username or password!</body>";
// The change form opened from the chat window (with the key of the member's
// place) changes the profile; a new password needs the current one.
const char kNewPasswordNeedsOldPage[] =
    "<BODY bgcolor=\"#EBEBD6\"><center>A new password needs your current password: please "
    "type it under \"Current password\"!</center></body>";
const char kExistsPage[] =
    "<BODY bgcolor=\"#EBEBD6\"><center>This username already exist!</center></body>";
const char kRegisteredPage[] =
    "<BODY bgcolor=\"#EBEBD6\"><center>Congratulations! Your Registration has been "
    "successful.</center></body>";
const char kChangedPage[] =
    "<BODY bgcolor=\"#EBEBD6\"><center>Congratulations! Your information has been changed "
    "successfully.</center></body>";
// The account could not be written (users/ missing or not writable, the
// account is a folder): the visitor must not be told it worked.
const char kNotSavedPage[] =
    "<BODY bgcolor=\"#EBEBD6\"><center>Sorry, your information could not be saved. Please "
    "try again later or contact the administrator.</center></body>";
// The picture must be one of the files of images/ (it stands in every user
// list as "src=/images/<name>").
const char kBadPicturePage[] =
    "<BODY bgcolor=\"#EBEBD6\"><center>Please choose one of the pictures of the "
    "list!</center></body>";

const char kReservedPage[] =
    "<BODY bgcolor=\"#EBEBD6\"><center>This username is reserved, please choose another "
    "username!</center></body>";
const char kOnlinePage[] =
    "<BODY bgcolor=\"#EBEBD6\"><center>This username is in the chat now, please choose another "
    "username!</center></body>";
const char kTooManyFailuresPage[] =
    "<BODY bgcolor=\"#EBEBD6\">Too many failed logins, please try again in 5 minutes!</body>";
const char kTooManyAccountsPage[] =
    "<BODY bgcolor=\"#EBEBD6\"><center>Too many new accounts from your address, please try "
    "again later!</center></body>";
// A post that a page of another site made the visitor's browser send.
const char kOtherSitePage[] =
    "<BODY bgcolor=\"#EBEBD6\"><center>This form must be sent from this chat's own "
    "pages.</center></body>";

// The bounds of the form's fields, in characters.
struct FieldBound {
  const char* label;
  std::size_t max_chars;
};
constexpr FieldBound kPasswordBound{"Password", 60};
constexpr FieldBound kEmailBound{"E-mail", 120};
constexpr FieldBound kProfileBound{"About me", 250};

// Characters of a UTF-8 text (bytes that do not continue a sequence).
std::size_t characters(const std::string& text) {
  std::size_t n = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

std::string too_long_page(const FieldBound& bound) {
  return "<BODY bgcolor=\"#EBEBD6\"><center>The field \"" + std::string(bound.label) +
         "\" is too long, please use at most " + std::to_string(bound.max_chars) +
         " characters!</center></body>";
}

std::string decoded(std::string text) {
  form_decode(text);
  return text;
}

// Account values are single lines of a profile file; a line break in a form
// value would start a new line of the file and break it.
std::string one_line(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  return text;
}

// The picture options: every file images/*.gif in the order the file system
// lists them; the one equal to `selected` (ignoring case) is preselected.
std::string picture_options(const std::string& program_folder, const std::string& selected) {
  std::string options;
  for (const std::string& file : find_files(program_folder + "images/*.gif")) {
    // Only what a member may choose is offered.
    if (!picture_name_plain(file)) continue;
    bool same = !selected.empty() && file.size() == selected.size();
    for (std::size_t i = 0; same && i < file.size(); ++i)
      same = std::tolower(static_cast<unsigned char>(file[i])) ==
             std::tolower(static_cast<unsigned char>(selected[i]));
    options += (same ? "<option selected>" : "<option>") + file + "</option>";
  }
  return options;
}

// Whether `proof` is the key of a place the member `typed_name` holds online.
bool member_place_key(ChatContext& ctx, const std::string& typed_name, const std::string& proof) {
  if (proof.empty()) return false;
  const std::string fold = account_name_fold(typed_name);
  ChatState::Hold chat(ctx.state);
  for (int i = 0; i < ctx.state.online_count(); ++i) {
    const OnlineUser& u = ctx.state.user(i);
    if (u.member && u.name_fold == fold && key_matches(u, proof)) return true;
  }
  return false;
}

// Whether `proof` proves the account stored as `file` (its spelling in the
// account store) of `typed_name`: its password
// (as an address or a form carries it, encoded; one hash whatever it holds),
// or, when `key_enough`, the key of a place its member holds online (a key
// never sets a new password). An empty `file` (no such account) is refused
// exactly like a wrong password, after the same hash. Bounded per address
// and account; `refusal` receives the page of a refused or failed proof.
bool account_proven(ChatContext& ctx, const std::string& ip, const std::string& file,
                    const std::string& typed_name, const std::string& proof, bool key_enough,
                    std::string& refusal) {
  // The key of the member's own place proves the account without a check,
  // so no guessing from elsewhere keeps the member out; it never sets a new
  // password (the member's own window asked: no guess, nothing counted).
  if (member_place_key(ctx, typed_name, proof)) {
    if (key_enough) return true;
    refusal = kNewPasswordNeedsOldPage;
    return false;
  }
  const std::string network = client_network_of(ctx.site.settings, ip);
  LoginAttempt attempt(ctx.guards->logins, network, typed_name, ctx.site.settings.max_failed_logins,
                       ctx.now_ms());
  if (!attempt.granted()) {
    refusal = kTooManyFailuresPage;
    return false;
  }
  bool proven = false;
  if (!proof.empty()) {
    PasswordTurn turn(ctx.guards->passwords, network, ctx.site.settings.max_password_checks,
                      ctx.site.settings.password_queue);
    if (!turn.granted()) {
      refusal = kServerBusyPage;
      return false;
    }
    // One hash whatever the proof holds, and one for a name without an
    // account too, so that neither is told by the time of the answer.
    if (file.empty()) spend_password_check(decoded(proof));
    else proven = ctx.accounts->password_matches(file, decoded(proof));
  }
  attempt.finish(proven ? LoginOutcome::Succeeded : LoginOutcome::Failed, ctx.now_ms());
  if (!proven) refusal = kWrongPasswordPage;
  return proven;
}

// The "Change Information" form of an account; `proof` goes into the
// form's "&Old=" field.
void change_form(ChatContext& ctx, const std::string& file, const std::string& typed_name,
                 const std::string& proof, std::string& out) {
  const std::string& folder = ctx.site.program_folder;
  out = *ctx.site.templates[T_REGISTER].get();
  std::string picture, email, profile;
  int sex = 2;
  if (AccountListing stored; ctx.accounts->read(file, stored)) {
    picture = stored.icon;
    sex = std::atoi(stored.sex.c_str());
    email = stored.email;
    profile = stored.profile;
  }
  fill_marker(out, "<!--$Icon-->", picture_options(folder, picture));
  fill_marker(out, "<!--$reg-->", "0");
  fill_marker(out, "<!--$Register-->", "Change Information");
  fill_marker(out, "<!--$Regbutton-->", "Change");
  fill_marker(out, "<!--$user-->", escape_html(typed_name));
  fill_marker(out, "<!--$email-->", escape_html(email));
  fill_marker(out, "<!--$profile-->", escape_html(profile));
  // The stored password is a hash and is never shown: the new password
  // starts empty (empty keeps it), the proof travels in "&Old=". The field
  // holds it decoded, as typed: the browser encodes it again when it posts
  // the form ("a%26b" would come back as "a%2526b" and prove nothing).
  fill_marker(out, "<!--$pass-->", "");
  fill_marker(out, "<!--$old-->", escape_html(decoded(proof)));
  // Opened with the key of the member's place: a new password needs the
  // current one, typed into a field of its own.
  fill_marker(out, "<!--$current-->", member_place_key(ctx, typed_name, proof) ? "" : "hidden");
  if (sex >= 0 && sex <= 2) {
    static const char* const kSexMarkers[3] = {"<!--$sex0-->", "<!--$sex1-->", "<!--$sex2-->"};
    for (int i = 0; i < 3; ++i) fill_marker(out, kSexMarkers[i], i == sex ? "checked" : "");
  }
}

// The change form for a name and proof as they came (encoded); `out` the form
// or a refusal.
void change_form_for(ChatContext& ctx, const std::string& ip, const std::string& raw_name,
                     const std::string& proof, std::string& out) {
  if (!user_name_allowed(raw_name)) {
    out = kNameRefusedPage;
    return;
  }
  const std::string typed_name = decoded(raw_name);
  // A name without an account gets the answer of a wrong password.
  const std::string file = ctx.accounts->find(typed_name);
  if (!account_proven(ctx, ip, file, typed_name, proof, true, out)) return;
  change_form(ctx, file, typed_name, proof, out);
}

}  // namespace

bool page_register(ChatContext& ctx, const std::string& ip, const std::string& path,
                   std::string& out) {
  if (has_key(path, "?username=")) {
    std::string name, proof;
    if (has_key(path, "&password=")) {
      name = key_value(path, "?username=", "&password=");
      proof = key_value(path, "&password=");
    }
    if (!name.empty()) {
      change_form_for(ctx, ip, name, proof, out);
      return true;
    }
  } else if (!ctx.site.settings.allow_registration) {
    out = kNotAllowedPage;
    return true;
  }
  out = *ctx.site.templates[T_REGISTER].get();
  fill_marker(out, "<!--$Icon-->", picture_options(ctx.site.program_folder, std::string()));
  if (!has_key(path, "?username=")) {
    fill_marker(out, "<!--$reg-->", "1");
    fill_marker(out, "<!--$Register-->", "Register");
    fill_marker(out, "<!--$Regbutton-->", "Register");
  }
  // An empty form: nothing typed yet, the third sex checked.
  static const std::pair<const char*, const char*> kEmpty[] = {
      {"<!--$user-->", ""},  {"<!--$email-->", "@"},         {"<!--$profile-->", ""},
      {"<!--$pass-->", ""},  {"<!--$old-->", ""},            {"<!--$current-->", "hidden"},
      {"<!--$sex0-->", ""},  {"<!--$sex1-->", ""},           {"<!--$sex2-->", "checked"}};
  for (const auto& [marker, value] : kEmpty) fill_marker(out, marker, value);
  return true;
}

namespace {

// The form's values as the member typed them; false (out: the refusal)
// when one is longer than the form allows.
bool read_fields(const std::string& request, AccountFields& fields, std::string& out) {
  fields.password = one_line(decoded(key_value(request, "&Password=", "&Password1=")));
  fields.sex = has_key(request, "&Sex=") ? one_line(key_value(request, "&Sex=", "&Email="))
                                         : std::string("2");
  // The login turns the sex into a picture name ("1" -> "1.gif"); the form
  // only ever sends 0, 1 or 2, so anything else is kept as "not disclosed".
  if (fields.sex != "0" && fields.sex != "1" && fields.sex != "2") fields.sex = "2";
  // Browsers send "@" as "%40"; the address is kept as the member typed it.
  fields.email = one_line(decoded(key_value(request, "&Email=", "&Icon=")));
  fields.icon = one_line(key_value(request, "&Icon=", "&Resume="));
  fields.profile = one_line(decoded(key_value(request, "&Resume=", "&cw=")));
  // The values are bounded as the form bounds them.
  for (const auto& [value, bound] : {std::pair<const std::string&, FieldBound>{fields.password, kPasswordBound},
                                     {fields.email, kEmailBound},
                                     {fields.profile, kProfileBound}}) {
    if (characters(value) > bound.max_chars) {
      out = too_long_page(bound);
      return false;
    }
  }
  return true;
}

// A change of the account in `file`: written over only for whoever proves it.
void change_account(ChatContext& ctx, const std::string& ip, const std::string& request,
                    const std::string& file, const std::string& name,
                    const AccountFields& fields, std::string& out) {
  // A new password needs the current one; the key of a place changes the
  // rest only.
  if (!account_proven(ctx, ip, file, name, key_value(request, "&Old=", "&submit1="),
                      fields.password.empty(), out))
    return;
  // A new password is hashed: a turn at the gate like any check.
  PasswordTurn turn(ctx.guards->passwords, client_network_of(ctx.site.settings, ip),
                    ctx.site.settings.max_password_checks, ctx.site.settings.password_queue);
  if (!turn.granted()) {
    out = kServerBusyPage;
    return;
  }
  switch (ctx.accounts->write(name, fields, false)) {
    case AccountChange::Written: out = kChangedPage; return;
    case AccountChange::Exists: out = kExistsPage; return;
    case AccountChange::Failed: out = kNotSavedPage; return;
  }
}

// Why a new account may not take `name`, or null.
const char* new_name_refusal(ChatContext& ctx, const std::string& name) {
  if (!account_name_well_formed(name) || name.find('.') == 0) return kNameRefusedPage;
  for (const RoomInfo& room : *ctx.state.rooms())
    if (is_reserved_name(room.admin, name)) return kReservedPage;
  if (!ctx.accounts->lookalike(name).empty()) return kExistsPage;
  {
    ChatState::Hold chat(ctx.state);
    if (name_online(ctx.state, name)) return kOnlinePage;
  }
  // A new name must be an identifier by Unicode's rules (told after the
  // refusals that say whose name it looks like).
  if (!account_name_new_allowed(name)) return kNameRefusedPage;
  return nullptr;
}

// A new account, whatever "&cw=" says: closed registration refuses it.
void create_account(ChatContext& ctx, const std::string& ip, const std::string& name,
                    const AccountFields& fields, bool new_member, std::string& out) {
  if (!ctx.site.settings.allow_registration) {
    out = kNotAllowedPage;
    return;
  }
  if (const char* refusal = new_name_refusal(ctx, name)) {
    out = refusal;
    return;
  }
  if (fields.password.empty()) {
    // An account without a password could be entered by anybody.
    out = kWrongPasswordPage;
    return;
  }
  // Counted before the account is written, so that registrations sent at
  // once cannot all pass the bound.
  const std::string network = client_network_of(ctx.site.settings, ip);
  const int bound = ctx.site.settings.max_registrations_per_hour;
  LoginBounds& logins = ctx.guards->logins;
  if (!logins.begin_registration(network, bound, ctx.now_ms())) {
    out = kTooManyAccountsPage;
    return;
  }
  AccountChange written = AccountChange::Failed;
  {
    // Writing the account hashes its password.
    PasswordTurn turn(ctx.guards->passwords, network, ctx.site.settings.max_password_checks,
                      ctx.site.settings.password_queue);
    if (!turn.granted()) {
      logins.end_registration(network, bound, false, ctx.now_ms());
      out = kServerBusyPage;
      return;
    }
    written = ctx.accounts->write(name, fields, true);
  }
  logins.end_registration(network, bound, written == AccountChange::Written, ctx.now_ms());
  switch (written) {
    case AccountChange::Written: out = new_member ? kRegisteredPage : kChangedPage; return;
    case AccountChange::Exists: out = kExistsPage; return;
    case AccountChange::Failed: out = kNotSavedPage; return;
  }
}


}  // namespace

void registration_post(ChatContext& ctx, const HttpRequest& http, std::string& out) {
  const std::string request(http.text);
  const std::string& ip = http.client;
  if (!has_key(request, "UserName=") || !has_key(request, "&Password=")) return;
  if (!request_from_this_site(http)) {
    out = kOtherSitePage;
    return;
  }
  const std::string body_start = request.substr(request.find("UserName="));
  if (http.line.path.find("registresult.htm?change") != std::string_view::npos) {
    // The start page's "Change profile": the form for name and password.
    change_form_for(ctx, ip, key_value(body_start, "UserName=", "&Password="),
                    key_value(body_start, "&Password=", "&"), out);
    return;
  }
  const std::string raw_name = key_value(request, "UserName=", "&Password=");
  // The name rule reads the name as the form sent it (encoded) and decodes it.
  if (!user_name_allowed(raw_name)) {
    out = kNameRefusedPage;
    return;
  }
  const std::string name = decoded(raw_name);
  AccountFields fields;
  if (!read_fields(request, fields, out)) return;
  const bool new_member = key_number(request, "&cw=") == 1;
  const std::string& folder = ctx.site.program_folder;
  if (!picture_name_plain(fields.icon) || !is_regular_file(folder + "images/" + fields.icon)) {
    out = kBadPicturePage;
    return;
  }
  const std::string file = ctx.accounts->find(name);
  if (file.empty())
    create_account(ctx, ip, name, fields, new_member, out);
  else if (new_member)
    out = kExistsPage;
  else
    change_account(ctx, ip, request, file, name, fields, out);
}

}  // namespace tvl
