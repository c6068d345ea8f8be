// ChatWebServer: the request layer on top of the connection server. It
// decides when a request is complete, reads the request line, applies the IP
// filter, and answers with a chat page (through the main object's
// PageHandlers), a form post, a refusal, the test stream or a file of the
// web-pages folder, with the exact headers browsers of this chat expect
// (server/http_answers.h lists them).
//
// Dispatch of a GET path (query included, case-sensitive substring search,
// first hit wins): the ten page names in the order of Page, then "test.ghp"
// (the built-in test stream), then "log/", "users/" or "rooms/" (refused
// "403 Forbidden"); a path holding a NUL byte or a ".." segment is refused
// the same way; anything else is the file web root + path.
//
// Thread safety: the hooks run on client threads concurrently; the fields
// are written only by Start, before any client thread of that run exists.
// The file cache guards itself.
#pragma once
#include <map>
#include <string>

#include "server/connection_server.h"
#include "server/web_files.h"

namespace tvl {

class ChatWebServer : public ConnectionServer {
 public:
  ChatWebServer();
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

  // Not complete below 4 bytes. A request whose header (up to the first empty
  // line) carries a Content-Length is complete once that many body bytes
  // followed the empty line. Otherwise complete when the text holds
  // "&chat_flag=" or "&submit1=" anywhere, or ends in "\r\n\r\n".
  int IsRequestComplete(const std::string& request) override;

  // Fills `response` (cleared first) with the whole answer; 0 closes the
  // connection without an answer (no main object yet, no blank in the
  // request, a GET without a second blank). Sets keep_alive when the request
  // holds "\nConnection: Keep-Alive"; clears it for the two not-found
  // answers; sets it for the test stream.
  int HandleRequest(const std::string& ip, const std::string& request, std::string& response,
                    int& keep_alive) override;

  // Content type for a requested path: the extension is the text after the
  // last "." of the path's last segment, query left out, lower-cased;
  // "text/html" when none matches.
  const std::string& content_type_for(const std::string& file_name) const;

  const std::string& web_root() const { return web_root_; }
  const std::string& default_page() const { return default_page_; }

  // Number of extensions in the content-type table (69).
  std::size_t content_type_count() const { return content_types_.size(); }

 private:
  void answer_file(const std::string& path, const char* status, int& keep_alive,
                   std::string_view date, std::string& response);

  std::string web_root_;
  std::string default_page_;
  std::map<std::string, std::string> content_types_;
  WebFiles files_;
};

}  // namespace tvl
