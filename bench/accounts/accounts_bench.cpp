// The time of a guest's entry (chat.ghp) with many member accounts in
// users/: the entry looks names up in the in-memory index of accounts and
// must not list the folder each time. Also the first entry after the folder
// changed (the index is made again) and a registration.
// Works in a temporary folder under $TMPDIR (removed at the end); the
// accounts are small files written once.
// Usage: accounts_bench [accounts (100000)] [entries (200)]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <ftw.h>
#include <unistd.h>

#include "chat/chat_pages.h"
#include "platform/fs.h"

namespace {

double ms_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

}  // namespace

int main(int argc, char** argv) {
  const int accounts = argc > 1 ? std::atoi(argv[1]) : 100000;
  const int entries = argc > 2 ? std::atoi(argv[2]) : 200;
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tvl-accounts-XXXXXX";
  if (!::mkdtemp(pattern.data())) return 1;
  const std::string folder = pattern + "/";
  tvl::make_directory(folder + "users");
  tvl::make_directory(folder + "images");
  (void)tvl::write_whole_file(folder + "images/1.gif", "G");

  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < accounts; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "member%06d", i);
    if (!tvl::write_whole_file(folder + "users/" + name, "[main]\r\npassword=pw\r\nsex=1\r\n")) return 1;
  }
  std::printf("wrote %d accounts in %.0f ms\n", accounts, ms_since(start));
  // The index trusts a folder only once its stamp is older than the settle
  // time; a live server meets a settled folder.
  ::sleep(static_cast<unsigned>(tvl::folder_stamp_settle_ns() / 1'000'000'000LL) + 1);

  tvl::SiteData site;
  site.program_folder = folder;
  site.settings.max_failed_logins = 0;
  site.templates[tvl::T_CHAT].set("chat:<!--$user-->");
  tvl::ChatState state;
  tvl::RoomInfo lobby{};
  std::strcpy(lobby.name, "Lobby");
  std::strcpy(lobby.admin, "admin");
  lobby.guest = true;
  state.replace_rooms({lobby});
  tvl::ChatContext ctx{site, state, nullptr, 0};

  auto enter = [&](int i) {
    char path[96];
    std::snprintf(path, sizeof path, "/chat.ghp?username=guest%d&password=&room=1&sex=1", i);
    std::string out;
    tvl::page_chat(ctx, "127.0.0.1", path, out);
    if (out.rfind("chat:", 0) != 0) {
      std::fprintf(stderr, "entry refused: %s\n", out.c_str());
      std::exit(1);
    }
  };

  start = std::chrono::steady_clock::now();
  enter(0);
  std::printf("first entry (index made from %d accounts): %.1f ms\n", accounts, ms_since(start));
  start = std::chrono::steady_clock::now();
  for (int i = 1; i <= entries; ++i) enter(i);
  std::printf("guest entry with %d accounts: %.3f ms each (%d entries)\n", accounts,
              ms_since(start) / entries, entries);

  start = std::chrono::steady_clock::now();
  const std::vector<std::string> listed = tvl::list_folder(folder + "users/");
  std::printf("for comparison, one listing of users/ (%zu entries): %.1f ms\n", listed.size(),
              ms_since(start));

  ::nftw(pattern.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
  return 0;
}
