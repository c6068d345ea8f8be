#include "server/chat_web_server.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "server/content_types.h"
#include "server/http_answers.h"
#include "server/ip_filter.h"
#include "server/main_object.h"
#include "server/page_handlers.h"
#include "storage/settings.h"

namespace tvl {

namespace {

constexpr std::string_view kHtml = "text/html";

// File bodies from this size on are handed to the connection server as a
// shared attachment instead of being copied into the response; below it the
// copy costs less than a second piece in the send.
constexpr std::size_t kAttachFrom = 16 * 1024;

struct PageName {
  std::string_view name;
  Page page;
};

// Dispatch order: the first name found in the path decides.
constexpr PageName kPages[] = {
    {"index.ghp", Page::Index},       {"chat.ghp", Page::Chat},
    {"ad.ghp", Page::Ad},             {"exit.ghp", Page::Exit},
    {"users.ghp", Page::Users},       {"body.ghp", Page::Body},
    {"chatsubmit.ghp", Page::ChatSubmit}, {"register.ghp", Page::Register},
    {"previewicons.ghp", Page::PreviewIcons}, {"finduser.ghp", Page::FindUser},
};

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

bool forbidden_folder(std::string_view path) {
  return contains(path, "log/") || contains(path, "users/") || contains(path, "rooms/");
}

// The path of a POST's request line (between its first two blanks).
std::string_view request_path(std::string_view request) {
  const std::size_t first = request.find(' ');
  if (first == std::string_view::npos) return std::string_view();
  const std::size_t second = request.find_first_of(" \r\n", first + 1);
  return request.substr(first + 1, second == std::string_view::npos ? second : second - first - 1);
}

// Whether a POST asks for the page that leaves a room. Browsers send the
// leaving as a POST when the chat window closes (a beacon); only the page
// name before the query counts, so a user name cannot turn a chat line into
// a leaving.
bool posts_exit(std::string_view path) {
  const std::string_view page = path.substr(0, path.find('?'));
  return page.size() >= 8 && page.substr(page.size() - 8) == "exit.ghp";
}

// The value of a "Content-Length:" line (name without regard to case) among
// the header lines of `header`; -1 when there is none or it holds no number.
long long content_length(std::string_view header) {
  static constexpr std::string_view kName = "content-length:";
  for (std::size_t line = header.find('\n'); line != std::string_view::npos;
       line = header.find('\n', line + 1)) {
    std::size_t at = line + 1;
    if (header.size() - at < kName.size() ||
        strncasecmp(header.data() + at, kName.data(), kName.size()) != 0)
      continue;
    at += kName.size();
    while (at < header.size() && (header[at] == ' ' || header[at] == '\t')) ++at;
    long long value = -1;
    while (at < header.size() && header[at] >= '0' && header[at] <= '9') {
      if (value < 0) value = 0;
      // Anything this large never completes; keep it from overflowing.
      if (value < (1LL << 40)) value = value * 10 + (header[at] - '0');
      ++at;
    }
    if (value >= 0) return value;
  }
  return -1;
}

}  // namespace

ChatWebServer::ChatWebServer() { fill_content_types(content_types_); }

// Client threads call this object's hooks: they must end before it goes.
ChatWebServer::~ChatWebServer() { StopAndWaitClients(); }

int ChatWebServer::Start(const std::string& web_root, const std::string& default_page, int port,
                         unsigned idle_timeout_ms) {
  // A port outside 1..65535 is refused as one that cannot be bound. The
  // socket layer keeps only its low 16 bits, so 99999 would listen on 34463
  // and -1 on 65535 while the log names the port of the settings.
  if (port < 1 || port > 65535) {
    ReportError("tvl.log", "unavailable port number", "Start", 0);
    TellPortUnavailable(port);
    return 0;
  }
  configure(web_root, default_page);
  open_day(web_root_);
  return Run(port, idle_timeout_ms);
}

void ChatWebServer::configure(const std::string& web_root, const std::string& default_page) {
  web_root_ = web_root;
  default_page_ = default_page;
  files_.clear();
  // Files are served only from inside this folder, whatever links say.
  files_.restrict_to(web_root);
}

int ChatWebServer::OnConnect(const std::string&, int) { return 0; }

int ChatWebServer::OnSent(std::size_t) { return 0; }

int ChatWebServer::IsRequestComplete(const std::string& request) {
  if (request.size() < 4) return 0;
  const std::string_view text(request);
  const std::size_t blank_line = text.find("\r\n\r\n");
  const std::string_view header =
      blank_line == std::string_view::npos ? text : text.substr(0, blank_line + 2);
  const long long length = content_length(header);
  if (length >= 0) {
    // A form split over several packets is handled only once all of it is here.
    if (blank_line == std::string_view::npos) return 0;
    return text.size() - (blank_line + 4) >= static_cast<unsigned long long>(length) ? 1 : 0;
  }
  if (contains(text, "&chat_flag=") || contains(text, "&submit1=")) return 1;
  return text.substr(text.size() - 4) == "\r\n\r\n" ? 1 : 0;
}

const std::string& ChatWebServer::content_type_for(const std::string& file_name) const {
  static const std::string html(kHtml);
  auto it = content_types_.find(path_extension(file_name));
  return it == content_types_.end() ? html : it->second;
}

int ChatWebServer::HandleRequest(const std::string& ip, const std::string& request,
                                 std::string& response, int& keep_alive) {
  response.clear();
  if (request.find("\nConnection: Keep-Alive") != std::string::npos) keep_alive = 1;
  const std::string_view date = http_date_now();

  MainObject* main = main_object();
  if (!main) return 0;

  if (ip_refused(main->site(), ip)) {
    append_standard_answer(response, kStatusOk, date, kIpRefusalBody, keep_alive != 0, kHtml);
    return 1;
  }

  const std::size_t first_blank = request.find(' ');
  if (first_blank == std::string::npos) {
    ReportError("tvl.log", "No 'space' found in Request String #2", "ParseRequest", 0);
    return 0;
  }
  const std::string_view method(request.data(), first_blank);
  const char* status = kStatusOk;
  std::string path;
  if (method == "GET") {
    const std::size_t second_blank = request.find(' ', first_blank + 1);
    if (second_blank == std::string::npos) {
      ReportError("tvl.log", "No 'space' found in Request String #1", "ParseRequest", 0);
      return 0;
    }
    path.assign(request, first_blank + 1, second_blank - first_blank - 1);
    if (path == "/") path = default_page_;
  } else if (method == "POST" && posts_exit(request_path(request))) {
    // Handled as the same address asked for with GET.
    path = request_path(request);
  } else if (method == "POST") {
    std::string page;
    if (PageHandlers* pages = main->page_handlers()) {
      if (request.find("registresult.htm") != std::string::npos)
        pages->registration_post(ip, request, page);
      else
        pages->chat_post(ip, request, page);
    }
    append_standard_answer(response, kStatusOk, date, page, keep_alive != 0, kHtml);
    return 1;
  } else {
    status = kStatusNotImplemented;
    path = "/mna.html";
  }

  for (const PageName& row : kPages) {
    if (!contains(path, row.name)) continue;
    std::string page;
    PageHandlers* pages = main->page_handlers();
    if (pages && pages->page(row.page, ip, path, page)) {
      append_standard_answer(response, status, date, page, keep_alive != 0, kHtml);
    } else {
      keep_alive = 0;
      append_short_answer(response, kStatusPageNotFound, date, std::string_view());
    }
    return 1;
  }

  if (contains(path, "test.ghp")) {
    keep_alive = 1;
    append_test_stream(response);
    return 1;
  }

  // A path that could leave the web-pages folder, and the files the program
  // keeps for itself in its folder, are refused like the private folders.
  if (forbidden_folder(path) || unsafe_path(path) || private_file(path)) {
    append_standard_answer(response, kStatusForbidden, date, kForbiddenBody, keep_alive != 0,
                           kHtml);
    return 1;
  }

  answer_file(path, status, keep_alive, date, response);
  return 1;
}

void ChatWebServer::answer_file(const std::string& path, const char* status, int& keep_alive,
                                std::string_view date, std::string& response) {
  std::string name;
  name.reserve(web_root_.size() + path.size() + 1);
  name += web_root_;
  // The web root is a plain prefix. A WebPages setting written without its
  // final "/" and a path without a leading one (a default page such as
  // "start.htm", or "GET x/y") would otherwise name a file beside the folder
  // ("/srv/wwwstart.htm") instead of in it.
  if (!path.empty() && path[0] != '/' && !web_root_.empty() && web_root_.back() != '/') name += '/';
  name += path;
  const std::string& type = content_type_for(path);
  const bool keep = keep_alive != 0;
  const std::string_view status_text(status);
  if (CanAttachBody()) {
    // On a client thread: a large body goes out from the shared cached
    // bytes; the answer on the wire is the same as below.
    std::shared_ptr<const std::string> body;
    if (files_.read(name, body)) {
      const bool attach = body->size() >= kAttachFrom;
      response.reserve(response.size() +
                       standard_header_capacity(status_text.size(), type.size()) +
                       (attach ? 0 : body->size()));
      append_standard_header(response, status_text, date, body->size(), keep, type);
      if (!attach || !AttachBody(body)) response += *body;
      return;
    }
  } else {
    const bool found = files_.append(name, response, [&](std::size_t body_size) {
      response.reserve(response.size() +
                       standard_header_capacity(status_text.size(), type.size()) + body_size);
      append_standard_header(response, status_text, date, body_size, keep, type);
    });
    if (found) return;
  }

  // Missing: the not-found page of the folder, or nothing.
  std::shared_ptr<const std::string> body;
  std::string fnf = web_root_ + "/fnf.html";
  keep_alive = 0;
  if (files_.read(fnf, body))
    append_short_answer(response, kStatusFileNotFound, date, *body);
  else
    append_short_answer(response, kStatusFileNotFound, date, std::string_view());
}

}  // namespace tvl
