// ChatWebServer: the request layer on top of the connection server. It
// decides when a request is complete, reads the request line, applies the IP
// filter, and answers with a chat page (through the main object's
// PageHandlers), a form post, a refusal, the test stream or a file of the
// web-pages folder, with the exact headers browsers of this chat expect.
// Thread safety: the hooks run on client threads concurrently; the fields
// are written only by Start, before any client thread of that run exists.
#pragma once
#include <map>
#include <string>

#include "server/connection_server.h"

namespace tvl {

class ChatWebServer : public ConnectionServer {
 public:
  ChatWebServer();
  ~ChatWebServer() override;

  // Stores web root and default page, opens the day's chat log under the web
  // root, then Run(port, idle_timeout_ms).
  int Start(const std::string& web_root, const std::string& default_page, int port,
            unsigned idle_timeout_ms);

  int OnConnect(const std::string& ip, int port) override;
  int OnSent(std::size_t count) override;
  int IsRequestComplete(const std::string& request) override;
  int HandleRequest(const std::string& ip, const std::string& request, std::string& response,
                    int& keep_alive) override;

  // Content type for a file name's extension (text after the last "."),
  // "text/html" when none matches.
  const std::string& content_type_for(const std::string& file_name) const;

  const std::string& web_root() const { return web_root_; }
  const std::string& default_page() const { return default_page_; }

 private:
  std::string web_root_;
  std::string default_page_;
  std::map<std::string, std::string> content_types_;
};

}  // namespace tvl
