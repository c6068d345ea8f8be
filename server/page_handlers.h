// How the HTTP layer reaches the chat: the dispatch table names a page, the
// chat answers it. The HTTP layer knows nothing else of rooms or users.
// Thread safety: every call runs on a client thread, concurrently with others;
// implementations guard shared data themselves.
#pragma once
#include <memory>
#include <string>

#include "server/http_request.h"
#include "server/live_stream.h"

namespace tvl {

// Pages in dispatch order: the first whose name occurs in the path wins.
enum class Page {
  Index,         // "index.ghp"
  Chat,          // "chat.ghp"
  Ad,            // "ad.ghp"
  Exit,          // "exit.ghp"
  Users,         // "users.ghp"
  Body,          // "body.ghp"
  ChatSubmit,    // "chatsubmit.ghp"
  Register,      // "register.ghp"
  PreviewIcons,  // "previewicons.ghp"
  FindUser,      // "finduser.ghp"
};

class PageHandlers {
 public:
  virtual ~PageHandlers() = default;
  // path: the address the page answers as it stood in the request line,
  // query included (for "/", the default page). out starts empty. True:
  // send out as the page; false: decline (404).
  virtual bool page(Page which, const std::string& path, const HttpRequest& request,
                    std::string& out) = 0;
  // A page that asks to be answered as a live stream (an event stream that
  // stays open): the stream, or nullptr when the page asks for none, or for
  // one that cannot be had (the page is then answered by page()).
  virtual std::unique_ptr<LiveStream> live_page(Page which, const std::string& path,
                                                const HttpRequest& request) {
    (void)which, (void)path, (void)request;
    return nullptr;
  }
  // The two form posts; whatever they leave in out (possibly nothing) is
  // sent.
  virtual void registration_post(const HttpRequest& request, std::string& out) = 0;
  virtual void chat_post(const HttpRequest& request, std::string& out) = 0;
};

}  // namespace tvl
