// ChatEngine: the chat as one object: settings and loaded texts, the chat
// state, the chat log, the page handlers and the web server, which it
// builds with what the server needs of the rest. The service and the window
// each run their chat through one; tests use it to run the whole chat
// in-process. Nothing of it is reached through a process-wide pointer.
// Thread safety: load(), start() and stop() run on the owning thread;
// client threads reach the pages and the log through the server.
#pragma once
#include <functional>
#include <memory>
#include <string>

#include "chat/chat_pages.h"
#include "chat/chat_state.h"
#include "server/chat_web_server.h"
#include "storage/chat_log.h"

namespace tvl {

class ChatEngine {
 public:
  ChatEngine();
  ~ChatEngine();  // stops the server and waits for its client threads
  ChatEngine(const ChatEngine&) = delete;
  ChatEngine& operator=(const ChatEngine&) = delete;

  // load_settings() with the room loading step. When program_folder is
  // given it replaces the executable's folder (tests).
  void load(const std::string& program_folder = std::string());

  // Start(web_pages, default_page, port, 0). port < 0: the setting's port.
  int start(int port = -1);
  int stop();  // Shutdown(); 0 when not running

  // Why the last start serves no HTTPS although TlsPort, TlsCertificate and
  // TlsKey ask for it (a file that cannot be loaded, a port that cannot be
  // bound); empty when it does, or when HTTPS is not asked for.
  const std::string& tls_problem() const { return tls_problem_; }

  // Why the server cannot listen on `port` of the settings' ListenAddress
  // right now, for a person ("Address already in use", or a port outside
  // 1..65535); empty when a probe socket could listen there. The probe is
  // closed again at once. A server whose stop had to abandon its accept
  // thread may still hold the port.
  std::string listen_problem(int port) const;

  // A chat event's row for a window's log list. The sink runs first in
  // log_chat_event, on the calling client thread with the chat lock held, so
  // it must hand the row over without waiting for anybody (a queued call to
  // the user-interface thread). Set only while the server is stopped; an
  // empty function removes it.
  using LogRowSink = std::function<void(const std::string& address, const std::string& time,
                                        const std::string& text)>;
  void set_log_row_sink(LogRowSink sink) { log_row_sink_ = std::move(sink); }

  // With several servers, each chat event that the day's file gets also
  // goes to `sink` (same contract as the log row sink: it must not wait).
  // Set only while the server is stopped; an empty function removes it.
  void set_shared_log_sink(LogRowSink sink) { shared_log_sink_ = std::move(sink); }

  // Posted lines go to every server of a cluster through `publisher` (null:
  // this server alone). Set only while the server is stopped.
  void set_line_publisher(std::shared_ptr<LinePublisher> publisher) {
    pages_.context().lines = std::move(publisher);
  }
  // New places claim their names for the whole cluster through `claims`
  // (null: this server alone). Set only while the server is stopped.
  void set_name_claims(std::shared_ptr<NameClaims> claims) {
    pages_.context().names = std::move(claims);
  }

  // Changes of places go to every server of a cluster through `places`
  // (null: this server alone). Set only while the server is stopped.
  // The online table is then the cluster's, and MaxOnline counts it whole.
  void set_place_sharing(std::shared_ptr<PlaceSharing> places) {
    pages_.context().places = std::move(places);
    state_.set_max_online(site_.settings.max_online, pages_.context().places != nullptr);
  }

  // Member accounts live in `accounts` (null: the files of users/). Set
  // only while the server is stopped.
  void set_account_store(std::shared_ptr<AccountStore> accounts) {
    pages_.context().accounts =
        accounts ? std::move(accounts) : std::make_shared<FileAccountStore>(site_.program_folder);
  }

  // Rooms live in `rooms` (null: rooms.sdb). Set only while the server is
  // stopped.
  void set_room_records(std::shared_ptr<RoomRecords> rooms) {
    pages_.context().rooms =
        rooms ? std::move(rooms) : std::make_shared<FileRoomRecords>(site_.program_folder);
  }

  // One chat event: the window's row (log row sink), then the day's file.
  // Called with the chat lock held.
  void log_chat_event(const std::string& address, const std::string& time,
                      const std::string& text);

  SiteData& site() { return site_; }
  ChatState& state() { return state_; }
  ChatPages& pages() { return pages_; }
  ChatLog& chat_log() { return log_; }
  ChatWebServer& server() { return server_; }

 private:
  SiteData site_;
  ChatState state_;
  ChatLog log_;
  ChatPages pages_;
  ChatWebServer server_;  // last: its client threads use the rest
  LogRowSink log_row_sink_;  // written only while the server is stopped
  LogRowSink shared_log_sink_;  // written only while the server is stopped
  std::string tls_problem_;
  void prepare_tls();
};

}  // namespace tvl
