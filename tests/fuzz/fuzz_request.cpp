// Request completion and dispatch: any bytes a client sends are cut into the
// requests they hold, as a connection does with pipelined requests, and each
// is handled by the web server with the whole chat behind it (pages, form
// posts, files of a small site in a scratch folder, byte ranges of them).
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "chat/engine.h"
#include "storage/record_file.h"
#include "storage/record_file_create.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

tvl::ChatEngine* g_engine = nullptr;

void make_site(const std::string& folder) {
  using tvl::fuzz::write_file;
  const char* pages[] = {"index.htm", "body.htm", "chatsubmit.htm", "chat.htm", "users.htm",
                         "users2.htm", "ad.htm", "register.htm", "previewicons.htm",
                         "findresult.htm"};
  for (const char* page : pages)
    write_file(folder + page,
               std::string("<html><!--roominfo--><!--onlineusers--><!--$user-->|<!--$pass-->|"
                           "<!--$room--><script><!--$msg--></script><!--users--><!--count-->"
                           "<!--roomname--><!--link--><!--$Find--><!--$Icon-->") +
                   page + "</html>");
  write_file(folder + "option.ini", "[Server]\r\nport=8080\r\nRegNew=1\r\n");
  write_file(folder + "fnf.html", "not found");
  write_file(folder + "hello.txt", "hello");
  write_file(folder + "acceptip.txt", "");
  write_file(folder + "rejectip.txt", "10.6.6.6\r\n");
  ::mkdir((folder + "users").c_str(), 0755);
  ::mkdir((folder + "images").c_str(), 0755);
  write_file(folder + "images/1.gif", "GIF89a");
  write_file(folder + "users/boss", "[main]\r\npassword=pw\r\nIcon=2.gif\r\n");

  tvl::RecordSchema schema;
  schema.fields = {{"id", tvl::FT_AUTOINC, 0}, {"name", tvl::FT_STRING, 64},
                   {"admin", tvl::FT_STRING, 128}, {"guest", tvl::FT_BYTE, 0},
                   {"admin_only", tvl::FT_BYTE, 0}};
  tvl::RecordKeySpec key;
  key.segments = {tvl::RecordSegmentSpec{}};
  schema.keys = {key};
  tvl::Reason error;
  if (!tvl::create_record_file(folder + "rooms.sdb", schema, error)) std::abort();
  tvl::RecordFile rooms;
  if (!rooms.open(folder + "rooms.sdb")) std::abort();
  const struct { const char* name; const char* admin; uint8_t guest, admin_only; } list[] = {
      {"Lobby", "boss", 1, 0}, {"Members", "joanna;bob", 0, 0}, {"Staff", "boss", 1, 1}};
  for (const auto& r : list) {
    rooms.set_field_text(r.name, "name");
    rooms.set_field_text(r.admin, "admin");
    rooms.set_field(&r.guest, "guest");
    rooms.set_field(&r.admin_only, "admin_only");
    if (!rooms.insert_record()) std::abort();
  }
  if (!rooms.close()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string folder = tvl::fuzz::scratch_folder() + "site/";
  ::mkdir(folder.c_str(), 0755);
  make_site(folder);
  g_engine = new tvl::ChatEngine();  // lives as long as the process
  g_engine->load(folder);
  g_engine->pages().context().first_poll_delay_ms = 0;
  g_engine->server().configure(folder, "index.ghp");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string rest(reinterpret_cast<const char*>(data), size);
  tvl::ChatWebServer& server = g_engine->server();
  // At most a few requests per input, so one input stays quick.
  for (int round = 0; round < 8 && !rest.empty(); ++round) {
    const std::size_t length = server.RequestLength(rest);
    if ((length != 0) != (server.IsRequestComplete(rest) != 0)) std::abort();
    if (length > rest.size()) std::abort();
    // An incomplete rest is handled too: the hook must bear any bytes.
    const std::string request = length == 0 ? rest : rest.substr(0, length);
    (void)server.HandleRequest("127.0.0.1", request, false);
    if (length == 0) break;
    rest.erase(0, length);
  }
  return 0;
}
