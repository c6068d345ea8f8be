// The chat's page handlers. Each is a plain function of the chat context and
// the request text, so it can be tested without sockets; ChatPages routes the
// HTTP layer's dispatch to them.
//
// Query values are found by fixed keys that include their separators
// ("?username=", "&password=", "&room="); a value runs to the next expected
// key. Room numbers are valid from 1 to the room count.
#pragma once
#include <functional>
#include <string>

#include "chat/chat_state.h"
#include "server/page_handlers.h"
#include "storage/settings.h"

namespace tvl {

// What a page needs: settings, program folder and templates; the chat state;
// and the sink of chat events (log_chat_event of the main object, called with
// the chat lock held).
struct ChatContext {
  SiteData& site;
  ChatState& state;
  std::function<void(const std::string& address, const std::string& time,
                     const std::string& text)>
      log_event;
  // Wait before answering a user's first poll (the browser needs its frames).
  int first_poll_delay_ms = 200;
};

// Local time as "%H:%M:%S".
std::string local_time_hms();

// Pages (true: answer out; false: decline, answered 404).
bool page_index(ChatContext& ctx, const std::string& path, std::string& out);
bool page_chat(ChatContext& ctx, const std::string& ip, const std::string& path, std::string& out);
bool page_ad(ChatContext& ctx, const std::string& path, std::string& out);
bool page_exit(ChatContext& ctx, const std::string& ip, const std::string& path, std::string& out);
bool page_users(ChatContext& ctx, const std::string& path, std::string& out);
bool page_body(ChatContext& ctx, const std::string& path, std::string& out);
bool page_chatsubmit(ChatContext& ctx, const std::string& path, std::string& out);
bool page_register(ChatContext& ctx, const std::string& path, std::string& out);
bool page_previewicons(ChatContext& ctx, const std::string& path, std::string& out);
bool page_finduser(ChatContext& ctx, const std::string& path, std::string& out);

// Form posts (whole request text in; out may stay empty).
void chat_post(ChatContext& ctx, const std::string& ip, const std::string& request, std::string& out);
void registration_post(ChatContext& ctx, const std::string& request, std::string& out);

class ChatPages : public PageHandlers {
 public:
  explicit ChatPages(ChatContext context) : ctx_(std::move(context)) {}
  bool page(Page which, const std::string& client_ip, const std::string& path,
            std::string& out) override;
  void registration_post(const std::string& request, std::string& out) override;
  void chat_post(const std::string& client_ip, const std::string& request,
                 std::string& out) override;
  ChatContext& context() { return ctx_; }

 private:
  ChatContext ctx_;
};

}  // namespace tvl
