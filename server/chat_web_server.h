// ChatWebServer: the request layer on top of the connection server. It
// decides when a request is complete, reads each complete one once into an
// HttpRequest, applies the IP filter, and answers with a chat page (through
// the PageHandlers it was built with), a form post, a refusal, the test
// stream or a file of the web-pages folder, with the exact headers browsers
// of this chat expect (server/http_answers.h lists them).
//
// Dispatch of a GET or HEAD path (query included, case-sensitive substring search,
// first hit wins): the ten page names in the order of Page, then "test.ghp"
// (the built-in test stream), then "log/", "users/" or "rooms/" (refused
// "403 Forbidden"); a path holding a NUL byte or a ".." segment is refused
// the same way; anything else is the file web root + path.
//
// Ownership: the site data, the page handlers and the chat log belong to
// whoever builds the server (ChatEngine) and outlive it.
// Thread safety: the hooks run on client threads concurrently; the fields
// are written only by Start, before any client thread of that run exists.
// The site's settings and lists are read without a lock (their owner
// replaces them only while the server is stopped, or as SharedText). The
// file cache guards itself.
#pragma once
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "server/connection_server.h"
#include "server/http_request.h"
#include "server/page_handlers.h"
#include "server/web_files.h"

namespace tvl {

class ChatLog;
class PageHandlers;
struct SiteData;

class ChatWebServer : public ConnectionServer {
 public:
  // `pages` may be null: every page then declines (404) and form posts
  // answer an empty page.
  ChatWebServer(SiteData& site, PageHandlers* pages, ChatLog& log);
  ~ChatWebServer() override;

  // Stores web root and default page, opens the day's chat log under the web
  // root, then Run(port, idle_timeout_ms). A port outside 1..65535 gives 0
  // at once with the message of a port that cannot be bound.
  // A web root is used as a plain prefix of the requested path, so it
  // normally ends in "/".
  int Start(const std::string& web_root, const std::string& default_page, int port,
            unsigned idle_timeout_ms);

  // The first step of Start: takes web root and default page and forgets
  // cached files. Only while the server is stopped (tests call it alone).
  void configure(const std::string& web_root, const std::string& default_page);

  // Do nothing; return 0.
  int OnConnect(const std::string& ip, int port) override;
  int OnSent(std::size_t count) override;

  // Complete once request_length (server/http_request.h) finds the end of
  // the request at the start of the text; RequestLength gives that end, so
  // pipelined requests after it wait for their own answers.
  int IsRequestComplete(const std::string& request) override;
  std::size_t RequestLength(const std::string& request) override;

  // The answer to one request; Answer::none() (closed without an answer)
  // for a request without a blank, and a GET or HEAD without a second one.
  // keep_alive is decided for each request (HttpRequest::keep_alive);
  // cleared for the two not-found answers; set for the test stream. The
  // client's address is the peer's, or behind a trusted proxy the one it
  // forwards; it is what the IP filter, the pages and the log see. HEAD gets
  // the answer of a GET without its body. A file of the folder is found by
  // the path without its query; a single Range of a file is answered "206
  // Partial Content" (or "416 Range Not Satisfiable" outside the file), any
  // other the whole file. Answers of the chat's pages and posts carry
  // "Cache-Control: no-store".
  Answer HandleRequest(const std::string& ip, std::string_view request, bool secure) override;

  // Content type for a requested path: the extension is the text after the
  // last "." of the path's last segment, query left out, lower-cased;
  // "text/html" when none matches.
  const std::string& content_type_for(const std::string& file_name) const;

  // With a port (0: none), every request to the plain port is answered by
  // a redirect to the same path on that HTTPS port, while the server
  // listens there. Only while stopped.
  void set_tls_redirect(int tls_port) { tls_redirect_port_ = tls_port; }

  const std::string& web_root() const { return web_root_; }
  const std::string& default_page() const { return default_page_; }

  // Number of extensions in the content-type table (78).
  std::size_t content_type_count() const { return content_types_.size(); }

 private:
  // Takes MaxConnectionsPerAddress and TrustedProxies from the settings
  // into the bounds of the next run.
  void take_address_settings();
  // The answer for `method` (HEAD is answered as GET); `date` is the
  // request's date text.
  Answer answer(const HttpRequest& request, std::string_view method, std::string_view date);
  Answer answer_form_post(const HttpRequest& request, const std::string& path,
                          std::string_view date);
  Answer answer_page(Page page, const HttpRequest& request, const std::string& path,
                     const char* status, std::string_view date);
  Answer answer_file(const HttpRequest& request, const std::string& path, const char* status,
                     std::string_view date);
  // The redirect to HTTPS, or "400 Bad Request" when the request's Host
  // cannot name one.
  Answer answer_tls_redirect(const HttpRequest& request, std::string_view date) const;

  SiteData& site_;
  PageHandlers* pages_;
  ChatLog& log_;
  int tls_redirect_port_ = 0;
  std::vector<std::string> trusted_proxies_;
  std::string web_root_;
  std::string default_page_;
  std::map<std::string, std::string> content_types_;
  WebFiles files_;
};

}  // namespace tvl
