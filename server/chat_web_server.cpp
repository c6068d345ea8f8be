#include "server/chat_web_server.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "server/content_types.h"
#include "server/http_request.h"
#include "server/http_answers.h"
#include "server/ip_filter.h"
#include "server/main_object.h"
#include "server/page_handlers.h"
#include "server/same_site.h"
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
  take_address_settings();
  chat_log().open_day();
  return Run(port, idle_timeout_ms);
}

void ChatWebServer::configure(const std::string& web_root, const std::string& default_page) {
  web_root_ = web_root;
  default_page_ = default_page;
  files_.clear();
  // Files are served only from inside this folder, whatever links say.
  files_.restrict_to(web_root);
}

void ChatWebServer::take_address_settings() {
  MainObject* main = main_object();
  if (!main) return;
  const ServerSettings& s = main->site().settings;
  trusted_proxies_ = address_list(s.trusted_proxies);
  ConnectionLimits bounds = limits();
  bounds.connections_per_address = s.max_connections_per_address;
  bounds.exempt_addresses = trusted_proxies_;
  set_limits(bounds);
}

namespace {

// The host name of a Host header without its port, or empty when it is no
// plain name or address (nothing else may go into the Location line).
std::string_view host_without_port(std::string_view host) {
  if (!host.empty() && host.front() == '[') {
    const std::size_t close = host.find(']');
    if (close == std::string_view::npos) return {};
    const std::string_view inner = host.substr(1, close - 1);
    if (inner.empty() || inner.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos)
      return {};
    return host.substr(0, close + 1);
  }
  host = host.substr(0, host.find(':'));
  if (host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_") !=
      std::string_view::npos)
    return {};
  return host;
}

}  // namespace

bool ChatWebServer::answer_tls_redirect(const std::string& request, const RequestLine& line,
                                        std::string_view date, bool keep_alive,
                                        std::string& response) const {
  std::string_view host;
  int hosts = 0;
  for_each_header(request, "host", [&](std::string_view value) {
    host = value;
    ++hosts;
  });
  host = hosts == 1 ? host_without_port(host) : std::string_view();
  if (host.empty() || !line.has_path || line.path.empty() || line.path.front() != '/') return false;
  std::string location = "Location: https://";
  location += host;
  location += ':';
  location += std::to_string(tls_redirect_port_);
  location += line.path;
  location += "\r\n";
  append_standard_answer(response, "301 Moved Permanently", date, std::string_view(), keep_alive,
                         kHtml, location);
  return true;
}

int ChatWebServer::OnConnect(const std::string&, int) { return 0; }

int ChatWebServer::OnSent(std::size_t) { return 0; }

int ChatWebServer::IsRequestComplete(const std::string& request) {
  return request_length(request) != 0 ? 1 : 0;
}

std::size_t ChatWebServer::RequestLength(const std::string& request) {
  return request_length(request);
}

const std::string& ChatWebServer::content_type_for(const std::string& file_name) const {
  static const std::string html(kHtml);
  auto it = content_types_.find(path_extension(file_name));
  return it == content_types_.end() ? html : it->second;
}

int ChatWebServer::HandleRequest(const std::string& ip, const std::string& request,
                                 std::string& response, int& keep_alive) {
  response.clear();
  const RequestLine line = parse_request_line(request);
  // Decided anew for every request: an earlier one that asked to keep the
  // connection says nothing about this one.
  keep_alive = wants_keep_alive(request, line.version) ? 1 : 0;
  const std::string_view date = http_date_now();

  MainObject* main = main_object();
  if (!main) return 0;

  const std::string client = client_address(ip, request, trusted_proxies_);
  if (ip_refused(main->site(), client)) {
    append_standard_answer(response, kStatusOk, date, kIpRefusalBody, keep_alive != 0, kHtml);
    return 1;
  }
  if (!line.has_method) {
    ReportError("tvl.log", "No 'space' found in Request String #2", "ParseRequest", 0);
    return 0;
  }
  if (tls_redirect_port_ != 0 && !OnSecureConnection() && tls_listening()) {
    if (answer_tls_redirect(request, line, date, keep_alive != 0, response)) return 1;
    keep_alive = 0;
    append_short_answer(response, "400 Bad Request", date, std::string_view());
    return 1;
  }
  if (line.method != "HEAD") return answer(*main, client, line, request, date, response, keep_alive);
  // HEAD: the answer a GET would get, without its body.
  RequestLine as_get = line;
  as_get.method = "GET";
  if (!answer(*main, client, as_get, request, date, response, keep_alive)) return 0;
  const std::size_t end = response.find("\r\n\r\n");
  if (end != std::string::npos) response.resize(end + 4);
  (void)AttachBody(nullptr);  // drops a body or stream; false off a client thread
  return 1;
}

int ChatWebServer::answer(MainObject& main, const std::string& client, const RequestLine& line,
                          const std::string& request, std::string_view date,
                          std::string& response, int& keep_alive) {
  const char* status = kStatusOk;
  std::string path;
  if (line.method == "GET") {
    if (!line.has_path) {
      ReportError("tvl.log", "No 'space' found in Request String #1", "ParseRequest", 0);
      return 0;
    }
    path.assign(line.path);
    if (path == "/") path = default_page_;
  } else if (line.method == "POST") {
    path.assign(line.has_path ? line.path : request_path(request));
    if (posts_exit(path) && !request_from_this_site(request)) {
      // A page of another site may not end a visitor's place through the
      // visitor's browser: nothing changes, and the beacon gets an empty page.
      append_standard_answer(response, kStatusOk, date, std::string(), keep_alive != 0, kHtml,
                             kNoStoreLine);
      return 1;
    }
    if (!posts_exit(path)) {
      // Only the page of the request line decides which form this is, never
      // a text found elsewhere (a chat line may well name the other page).
      const std::string_view page = std::string_view(path).substr(0, path.find('?'));
      std::string answer_page;
      if (PageHandlers* pages = main.page_handlers()) {
        if (contains(page, "registresult.htm"))
          pages->registration_post(client, request, answer_page);
        else
          pages->chat_post(client, request, answer_page);
      }
      append_standard_answer(response, kStatusOk, date, answer_page, keep_alive != 0, kHtml,
                             kNoStoreLine);
      return 1;
    }
    // The leaving is handled as the same address asked for with GET.
  } else {
    status = kStatusNotImplemented;
    path = "/mna.html";
  }

  for (const PageName& row : kPages) {
    if (!contains(path, row.name)) continue;
    std::string page;
    PageHandlers* pages = main.page_handlers();
    if (pages && pages->page(row.page, client, path, page)) {
      append_standard_answer(response, status, date, page, keep_alive != 0, kHtml, kNoStoreLine);
    } else {
      keep_alive = 0;
      append_short_answer(response, kStatusPageNotFound, date, std::string_view(), kNoStoreLine);
    }
    return 1;
  }

  if (contains(path, "test.ghp")) {
    keep_alive = 1;
    append_test_stream(response);
    return 1;
  }

  // The query (cache-busting pages add one) does not name the file.
  const std::string file_path = path.substr(0, path.find('?'));
  // A path that could leave the web-pages folder, and the files the program
  // keeps for itself in its folder, are refused like the private folders.
  if (forbidden_folder(path) || unsafe_path(path) || unsafe_path(file_path) ||
      private_file(path) || private_file(file_path)) {
    append_standard_answer(response, kStatusForbidden, date, kForbiddenBody, keep_alive != 0,
                           kHtml);
    return 1;
  }

  answer_file(file_path, status, request, keep_alive, date, response);
  return 1;
}

void ChatWebServer::answer_file(const std::string& path, const char* status,
                                const std::string& request, int& keep_alive,
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

  // On a client thread a file over the cache limit goes out from the file
  // in pieces, so no connection holds a copy of it; elsewhere (a test
  // calling HandleRequest) the response holds the whole answer.
  const bool on_client_thread = CanAttachBody();
  std::shared_ptr<const std::string> bytes;
  std::unique_ptr<FileStream> stream;
  const std::size_t stream_from =
      on_client_thread ? WebFiles::kMaxCachedFile + 1 : static_cast<std::size_t>(-1);
  if (!files_.fetch(name, stream_from, bytes, stream)) {
    // Missing: the not-found page of the folder, or nothing.
    std::shared_ptr<const std::string> body;
    std::string fnf = web_root_ + "/fnf.html";
    keep_alive = 0;
    if (files_.read(fnf, body))
      append_short_answer(response, kStatusFileNotFound, date, *body);
    else
      append_short_answer(response, kStatusFileNotFound, date, std::string_view());
    return;
  }
  const std::uint64_t size = bytes ? bytes->size() : stream->size();

  // A single byte range of a file answered "200 OK"; anything the server
  // does not serve gets the whole file.
  RangeAsk ask = RangeAsk::Whole;
  ByteRange range;
  if (std::string_view(status) == kStatusOk) {
    bool seen = false;
    for_each_header(request, "range", [&](std::string_view value) {
      if (!seen) ask = parse_range(value, size, range);
      else ask = RangeAsk::Whole;  // two Range lines: not a single range
      seen = true;
    });
  }
  char extra[96] = "";
  if (ask == RangeAsk::Unsatisfiable) {
    std::snprintf(extra, sizeof extra, "Content-Range: bytes */%llu\r\n",
                  static_cast<unsigned long long>(size));
    append_standard_answer(response, kStatusRangeRefused, date, std::string_view(), keep, type,
                           extra);
    return;
  }
  std::uint64_t first = 0, length = size;
  std::string_view status_text(status);
  if (ask == RangeAsk::Part) {
    first = range.first;
    length = range.last - range.first + 1;
    status_text = kStatusPartial;
    std::snprintf(extra, sizeof extra, "Content-Range: bytes %llu-%llu/%llu\r\n",
                  static_cast<unsigned long long>(range.first),
                  static_cast<unsigned long long>(range.last),
                  static_cast<unsigned long long>(size));
  }
  const std::string_view extra_lines(extra);
  if (stream) {
    append_standard_header(response, status_text, date, length, keep, type, extra_lines);
    stream->restrict(first, length);
    (void)AttachStream(std::move(stream));  // on a client thread: always taken
    return;
  }
  const bool attach = ask == RangeAsk::Whole && bytes->size() >= kAttachFrom;
  response.reserve(response.size() +
                   standard_header_capacity(status_text.size(), type.size(), extra_lines.size()) +
                   (attach ? 0 : length));
  append_standard_header(response, status_text, date, length, keep, type, extra_lines);
  // A large body goes out from the shared cached bytes; the answer on the
  // wire is the same.
  if (attach && AttachBody(bytes)) return;
  response.append(*bytes, static_cast<std::size_t>(first), static_cast<std::size_t>(length));
}

}  // namespace tvl
