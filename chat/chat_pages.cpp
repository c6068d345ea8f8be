#include "chat/chat_pages.h"

#include <ctime>

#include "chat/body_stream.h"

namespace tvl {

std::string local_time_hms() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

bool ChatPages::page(Page which, const std::string& path, const HttpRequest& request,
                     std::string& out) {
  const std::string& ip = request.client;
  switch (which) {
    case Page::Index: return page_index(ctx_, path, out);
    case Page::Chat: return page_chat(ctx_, ip, path, out);
    case Page::Ad: return page_ad(ctx_, path, out);
    case Page::Exit: return page_exit(ctx_, ip, path, out);
    case Page::Users: return page_users(ctx_, path, out);
    case Page::Body: return page_body(ctx_, path, out);
    case Page::ChatSubmit: return page_chatsubmit(ctx_, path, out);
    case Page::Register: return page_register(ctx_, ip, path, out);
    case Page::PreviewIcons: return page_previewicons(ctx_, path, out);
    case Page::FindUser: return page_finduser(ctx_, path, out);
  }
  return false;
}

std::unique_ptr<LiveStream> ChatPages::live_page(Page which, const std::string& path,
                                                 const HttpRequest& request) {
  if (which != Page::Body) return nullptr;
  std::string resume;
  request.for_each_header("last-event-id", [&](std::string_view value) { resume.assign(value); });
  return open_body_stream(ctx_, path, resume);
}

void ChatPages::registration_post(const HttpRequest& request, std::string& out) {
  tvl::registration_post(ctx_, request, out);
}

void ChatPages::chat_post(const HttpRequest& request, std::string& out) {
  tvl::chat_post(ctx_, request, out);
}

void chat_post(ChatContext& ctx, const std::string& ip, const std::string& request,
               std::string& out) {
  chat_post(ctx, parse_request(request, ip), out);
}

void registration_post(ChatContext& ctx, const std::string& ip, const std::string& request,
                       std::string& out) {
  registration_post(ctx, parse_request(request, ip), out);
}

}  // namespace tvl
