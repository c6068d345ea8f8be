#include "server/chat_web_server.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "server/content_types.h"
#include "server/http_request.h"
#include "server/http_answers.h"
#include "server/ip_filter.h"
#include "server/page_handlers.h"
#include "server/same_site.h"
#include "storage/chat_log.h"
#include "storage/settings.h"

namespace tvl {

namespace {

constexpr std::string_view kHtml = "text/html";

// The answer to entering the chat from a page of another site.
constexpr std::string_view kEnterFromHerePage =
    "<BODY bgcolor=\"#EBEBD6\">Please enter the chat from its own start page!</body>";

// File bodies from this size on go out as the cache's shared bytes instead
// of being copied into the answer's text; below it the copy costs less than
// a second piece in the send.
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

// Whether a POST asks for the page that leaves a room. Browsers send the
// leaving as a POST when the chat window closes (a beacon); only the page
// name before the query counts, so a user name cannot turn a chat line into
// a leaving.
bool posts_exit(std::string_view path) {
  const std::string_view page = path.substr(0, path.find('?'));
  return page.size() >= 8 && page.substr(page.size() - 8) == "exit.ghp";
}

// Whether a POST enters the chat: "chat.ghp" without a query, its body the
// query an address would carry ("username=...&password=...&room=...&sex=...").
// The start page and the chat window enter this way, so that no password
// stands in an address (history, proxies' logs).
bool posts_entry(std::string_view path, std::string_view body) {
  return path.find('?') == std::string_view::npos && path.size() >= 8 &&
         path.substr(path.size() - 8) == "chat.ghp" && body.substr(0, 9) == "username=";
}

}  // namespace

ChatWebServer::ChatWebServer(SiteData& site, PageHandlers* pages, ChatLog& log)
    : site_(site), pages_(pages), log_(log) {
  fill_content_types(content_types_);
}

// Client threads call this object's hooks: they must end before it goes.
ChatWebServer::~ChatWebServer() { StopAndWaitClients(); }

int ChatWebServer::Start(const std::string& web_root, const std::string& default_page, int port,
                         unsigned idle_timeout_ms) {
  // A port outside 1..65535 is refused as one that cannot be bound. The
  // socket layer keeps only its low 16 bits, so 99999 would listen on 34463
  // and -1 on 65535 while the log names the port of the settings. Port 0
  // passes only when the system is asked to choose (set_any_port).
  if (port < (any_port() ? 0 : 1) || port > 65535) {
    ReportError("unavailable port number", "Start", 0);
    TellPortUnavailable(port);
    return 0;
  }
  configure(web_root, default_page);
  take_address_settings();
  log_.open_day();
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
  const ServerSettings& s = site_.settings;
  trusted_proxies_ = address_list(s.trusted_proxies);
  ConnectionLimits bounds = limits();
  bounds.connections_per_address = s.max_connections_per_address;
  bounds.max_connections = s.max_connections;
  // 0 lifts the bound on unfinished requests, and so the share of it too.
  const std::size_t pending = std::size_t(s.max_pending_kb) * 1024;
  bounds.pending_bytes = pending > 0 ? pending : SIZE_MAX;
  bounds.pending_bytes_per_address = pending / kPendingShareDivisor;
  bounds.exempt_addresses = trusted_proxies_;
  bounds.network_prefix_v4 = s.network_prefix_v4;
  bounds.network_prefix_v6 = s.network_prefix_v6;
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

Answer ChatWebServer::answer_tls_redirect(const HttpRequest& request,
                                          std::string_view date) const {
  std::string_view host;
  int hosts = 0;
  request.for_each_header("host", [&](std::string_view value) {
    host = value;
    ++hosts;
  });
  host = hosts == 1 ? host_without_port(host) : std::string_view();
  const std::string_view path = request.line.path;
  Answer answer;
  answer.keep_alive = request.keep_alive;
  if (host.empty() || !request.line.has_path || path.empty() || path.front() != '/') {
    answer.keep_alive = false;
    append_short_answer(answer.text, "400 Bad Request", date, std::string_view());
    return answer;
  }
  std::string location = "Location: https://";
  location += host;
  location += ':';
  location += std::to_string(tls_redirect_port_);
  location += path;
  location += "\r\n";
  append_standard_answer(answer.text, "301 Moved Permanently", date, std::string_view(),
                         answer.keep_alive, kHtml, location);
  return answer;
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

Answer ChatWebServer::HandleRequest(const std::string& ip, std::string_view text, bool secure) {
  const HttpRequest request = parse_request(text, ip, secure, trusted_proxies_);
  const std::string_view date = http_date_now();
  if (ip_refused(site_, request.client)) {
    Answer refusal;
    refusal.keep_alive = request.keep_alive;
    append_standard_answer(refusal.text, kStatusOk, date, kIpRefusalBody, refusal.keep_alive,
                           kHtml);
    return refusal;
  }
  if (!request.line.has_method) {
    ReportError("No 'space' found in Request String #2", "ParseRequest", 0);
    return Answer::none();
  }
  if (tls_redirect_port_ != 0 && !secure && tls_listening())
    return answer_tls_redirect(request, date);
  if (request.line.method != "HEAD") return answer(request, request.line.method, date);
  // HEAD: the answer a GET would get, without its body.
  Answer head = answer(request, "GET", date);
  head.drop_body();
  return head;
}

Answer ChatWebServer::answer(const HttpRequest& request, std::string_view method,
                             std::string_view date) {
  const char* status = kStatusOk;
  std::string path;
  if (method == "GET") {
    if (!request.line.has_path) {
      ReportError("No 'space' found in Request String #1", "ParseRequest", 0);
      return Answer::none();
    }
    path.assign(request.line.path);
    if (path == "/") path = default_page_;
  } else if (method == "POST") {
    path.assign(request.line.path);
    if (posts_entry(path, request.body)) {
      // Answered as the address with that query, the same-site rule and the
      // bounds of an entry included.
      path += '?';
      path += request.body;
    } else if (!posts_exit(path)) {
      return answer_form_post(request, path, date);
    } else if (!request_from_this_site(request)) {
      // A page of another site may not end a visitor's place through the
      // visitor's browser: nothing changes, and the beacon gets an empty page.
      Answer empty;
      empty.keep_alive = request.keep_alive;
      append_standard_answer(empty.text, kStatusOk, date, std::string(), empty.keep_alive, kHtml,
                             kNoStoreLine);
      return empty;
    }
    // The leaving is handled as the same address asked for with GET.
  } else {
    status = kStatusNotImplemented;
    path = "/mna.html";
  }

  for (const PageName& row : kPages) {
    if (!contains(path, row.name)) continue;
    if (row.page == Page::Chat && contains(path, "?username=") && !request_from_this_site(request)) {
      // Another site's page may not enter the chat in its visitor's
      // browser under a name it chose, nor spend the visitor's logins.
      Answer refused;
      refused.keep_alive = request.keep_alive;
      append_standard_answer(refused.text, status, date, kEnterFromHerePage, refused.keep_alive,
                             kHtml, kNoStoreLine);
      return refused;
    }
    return answer_page(row.page, request, path, status, date);
  }

  Answer answer;
  answer.keep_alive = request.keep_alive;
  if (contains(path, "test.ghp")) {
    answer.keep_alive = true;
    append_test_stream(answer.text);
    return answer;
  }
  // The query (cache-busting pages add one) does not name the file.
  const std::string file_path = path.substr(0, path.find('?'));
  // A path that could leave the web-pages folder, and the files the program
  // keeps for itself in its folder, are refused like the private folders.
  if (forbidden_folder(path) || unsafe_path(path) || unsafe_path(file_path) ||
      private_file(path) || private_file(file_path)) {
    append_standard_answer(answer.text, kStatusForbidden, date, kForbiddenBody,
                           answer.keep_alive, kHtml);
    return answer;
  }
  return answer_file(request, file_path, status, date);
}

Answer ChatWebServer::answer_form_post(const HttpRequest& request, const std::string& path,
                                       std::string_view date) {
  // Only the page of the request line decides which form this is, never a
  // text found elsewhere (a chat line may well name the other page).
  const std::string_view page = std::string_view(path).substr(0, path.find('?'));
  std::string answer_page;
  if (pages_) {
    if (contains(page, "registresult.htm"))
      pages_->registration_post(request, answer_page);
    else
      pages_->chat_post(request, answer_page);
  }
  Answer answer;
  answer.keep_alive = request.keep_alive;
  append_standard_answer(answer.text, kStatusOk, date, answer_page, answer.keep_alive, kHtml,
                         kNoStoreLine);
  return answer;
}

Answer ChatWebServer::answer_page(Page which, const HttpRequest& request, const std::string& path,
                                  const char* status, std::string_view date) {
  Answer answer;
  if (pages_ && std::string_view(status) == kStatusOk) {
    answer.live = pages_->live_page(which, path, request);
    if (answer.live) {
      append_event_stream_header(answer.text, date);
      return answer;
    }
  }
  answer.keep_alive = request.keep_alive;
  std::string page;
  if (pages_ && pages_->page(which, path, request, page)) {
    append_standard_answer(answer.text, status, date, page, answer.keep_alive, kHtml,
                           kNoStoreLine);
  } else {
    answer.keep_alive = false;
    append_short_answer(answer.text, kStatusPageNotFound, date, std::string_view(), kNoStoreLine);
  }
  return answer;
}

namespace {

// The byte range of a file of `size` bytes a request asks for: only a
// "200 OK" answer serves one, and a single Range line.
RangeAsk asked_range(const HttpRequest& request, const char* status, std::uint64_t size,
                     ByteRange& range) {
  RangeAsk ask = RangeAsk::Whole;
  if (std::string_view(status) != kStatusOk) return ask;
  bool seen = false;
  request.for_each_header("range", [&](std::string_view value) {
    if (!seen) ask = parse_range(value, size, range);
    else ask = RangeAsk::Whole;  // two Range lines: not a single range
    seen = true;
  });
  return ask;
}

}  // namespace

Answer ChatWebServer::answer_file(const HttpRequest& request, const std::string& path,
                                  const char* status, std::string_view date) {
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
  Answer answer;
  answer.keep_alive = request.keep_alive;

  // A file over the cache limit goes out from the file in pieces, so no
  // connection holds a copy of it.
  std::shared_ptr<const std::string> bytes;
  std::unique_ptr<FileStream> stream;
  if (!files_.fetch(name, WebFiles::kMaxCachedFile + 1, bytes, stream)) {
    // Missing: the not-found page of the folder, or nothing.
    std::shared_ptr<const std::string> body;
    answer.keep_alive = false;
    if (files_.read(web_root_ + "/fnf.html", body))
      append_short_answer(answer.text, kStatusFileNotFound, date, *body);
    else
      append_short_answer(answer.text, kStatusFileNotFound, date, std::string_view());
    return answer;
  }
  const std::uint64_t size = bytes ? bytes->size() : stream->size();
  ByteRange range;
  const RangeAsk ask = asked_range(request, status, size, range);
  char extra[96] = "";
  if (ask == RangeAsk::Unsatisfiable) {
    std::snprintf(extra, sizeof extra, "Content-Range: bytes */%llu\r\n",
                  static_cast<unsigned long long>(size));
    append_standard_answer(answer.text, kStatusRangeRefused, date, std::string_view(),
                           answer.keep_alive, type, extra);
    return answer;
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
    append_standard_header(answer.text, status_text, date, length, answer.keep_alive, type,
                           extra_lines);
    stream->restrict(first, length);
    answer.stream = std::move(stream);
    return answer;
  }
  // A large body goes out from the shared cached bytes; the answer on the
  // wire is the same.
  const bool share = ask == RangeAsk::Whole && bytes->size() >= kAttachFrom;
  answer.text.reserve(standard_header_capacity(status_text.size(), type.size(), extra_lines.size()) +
                      (share ? 0 : length));
  append_standard_header(answer.text, status_text, date, length, answer.keep_alive, type,
                         extra_lines);
  if (share)
    answer.body = std::move(bytes);
  else
    answer.text.append(*bytes, static_cast<std::size_t>(first), static_cast<std::size_t>(length));
  return answer;
}

}  // namespace tvl
