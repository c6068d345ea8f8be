// Registration and profile: the form page register.ghp (an empty form for a
// new member, or the "Change Information" form filled from an account) and
// the registration post, which writes the account file users/<name>.
//
// Names become file names under users/ and stand in the page, so a name that
// the chat's name rule refuses is answered with a short page before any file
// is read or written. Changing an existing account needs its password: the
// form page asks for it in its address, the post in the form's "&Old="
// field, which the change form fills (the new password may differ).
#include <cstdlib>

#include "chat/chat_pages.h"
#include "chat/page_escape.h"
#include "chat/query.h"
#include "chat/template_fill.h"
#include "platform/fs.h"
#include "platform/profile.h"
#include "server/form_text.h"
#include "storage/account.h"

namespace tvl {

namespace {

const char kNotAllowedPage[] =
    "<BODY bgcolor=\"#EBEBD6\"><center>New user registration is not allowed. Please contact the "
    "administrator.</center></BODY>";
const char kNotRegisteredPage[] = "<BODY bgcolor=\"#EBEBD6\">you are not a registered user!</body>";
const char kNameRefusedPage[] =
    "<BODY bgcolor=\"#EBEBD6\">This username is not allowed, please choose another "
    "username!</body>";
const char kWrongPasswordPage[] =
    "<BODY bgcolor=\"#EBEBD6\">Invalid username or password!</body>";
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

}  // namespace

bool page_register(ChatContext& ctx, const std::string& path, std::string& out) {
  const std::string& folder = ctx.site.program_folder;
  std::string name, password, email = "@", profile, picture = "2.gif";
  int sex = 2;
  out = *ctx.site.templates[T_REGISTER].get();

  if (!has_key(path, "?username=")) {
    if (!ctx.site.settings.allow_registration) {
      out = kNotAllowedPage;
      return true;
    }
    fill_marker(out, "<!--$Icon-->", picture_options(folder, std::string()));
    fill_marker(out, "<!--$reg-->", "1");
    fill_marker(out, "<!--$Register-->", "Register");
    fill_marker(out, "<!--$Regbutton-->", "Register");
  } else {
    if (has_key(path, "&password=")) {
      name = key_value(path, "?username=", "&password=");
      password = key_value(path, "&password=");
    }
    if (!name.empty()) {
      if (!user_name_allowed(name)) {
        out = kNameRefusedPage;
        return true;
      }
      const std::string file = find_account_path(folder, name);
      if (file.empty()) {
        out = kNotRegisteredPage;
        return true;
      }
      if (is_regular_file(file)) {
        const std::string stored = get_profile_string("main", "Password", "", kAccountValueSize, file);
        // The form shows the stored password, so it is shown only to whoever
        // knows it (as typed, or as the address carries it encoded).
        if (stored != password && stored != decoded(password)) {
          out = kWrongPasswordPage;
          return true;
        }
        picture = get_profile_string("main", "Icon", "", kAccountValueSize, file);
        password = stored;
        sex = std::atoi(get_profile_string("main", "Sex", "2", kAccountValueSize, file).c_str());
        email = get_profile_string("main", "Email", "", kAccountValueSize, file);
        profile = get_profile_string("main", "Profile", "", kAccountValueSize, file);
      }
      fill_marker(out, "<!--$Icon-->", picture_options(folder, picture));
      fill_marker(out, "<!--$reg-->", "0");
      fill_marker(out, "<!--$Register-->", "Change Information");
      fill_marker(out, "<!--$Regbutton-->", "Change");
    }
  }

  // Element text and quoted attribute values of the form.
  fill_marker(out, "<!--$user-->", escape_html(name));
  fill_marker(out, "<!--$email-->", escape_html(email));
  fill_marker(out, "<!--$profile-->", escape_html(profile));
  fill_marker(out, "<!--$pass-->", escape_html(password));
  if (sex >= 0 && sex <= 2) {
    static const char* const kSexMarkers[3] = {"<!--$sex0-->", "<!--$sex1-->", "<!--$sex2-->"};
    for (int i = 0; i < 3; ++i) fill_marker(out, kSexMarkers[i], i == sex ? "checked" : "");
  }
  return true;
}

void registration_post(ChatContext& ctx, const std::string& request, std::string& out) {
  if (!has_key(request, "UserName=") || !has_key(request, "&Password=")) return;
  const std::string raw_name = key_value(request, "UserName=", "&Password=");
  // The name rule reads the name as the form sent it (encoded) and decodes it.
  if (!user_name_allowed(raw_name)) {
    out = kNameRefusedPage;
    return;
  }
  const std::string name = decoded(raw_name);
  AccountFields fields;
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
  const bool new_member = key_number(request, "&cw=") == 1;

  const std::string& folder = ctx.site.program_folder;
  if (!picture_name_plain(fields.icon) || !is_regular_file(folder + "images/" + fields.icon)) {
    out = kBadPicturePage;
    return;
  }
  const std::string file = find_account_path(folder, name);
  if (!file.empty()) {
    if (new_member) {
      out = kExistsPage;
      return;
    }
    // A change writes over the account only for whoever knows its password.
    const std::string stored = get_profile_string("main", "Password", "", kAccountValueSize, file);
    if (decoded(key_value(request, "&Old=", "&submit1=")) != stored) {
      out = kWrongPasswordPage;
      return;
    }
  }
  if (!write_account(folder, name, fields)) {
    out = kNotSavedPage;
    return;
  }
  out = new_member ? kRegisteredPage : kChangedPage;
}

}  // namespace tvl
