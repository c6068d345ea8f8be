// The engine object of tvlService. It holds the
// chat (settings, list texts, chat state, web server) through ChatEngine,
// the running flag of the chat server, and the hidden window "Tavella Server
// Notification Sink" that exists exactly while the chat server runs.
// Lines it writes go to standard output and are flushed at once, because a
// supervisor or a test usually reads them through a pipe:
//   "<%Y-%m-%d %H:%M:%S> Chat Server started on port <port>"
//   "chat server stopped"
// Thread safety: load, start_chat_server and stop_chat_server run on the
// owning (service) thread; client threads reach the chat through the main
// object interface of ChatEngine.
#pragma once
#include <string>

#include "chat/engine.h"
#include "service/message_window.h"

namespace tvl {

class EngineObject {
 public:
  EngineObject();
  ~EngineObject();  // stops the chat server
  EngineObject(const EngineObject&) = delete;
  EngineObject& operator=(const EngineObject&) = delete;

  // Runs load_settings(). A non-empty program_folder replaces the
  // executable's folder (tests).
  void load(const std::string& program_folder = std::string());

  // Nothing when running (true). Otherwise creates the hidden window and
  // starts the chat server on the settings' address and port; on success
  // writes the "started" line and sets the running flag, on failure destroys
  // the window. False when the server does not run afterwards.
  [[nodiscard]] bool start_chat_server();

  // A new reading of option.ini, the IP lists and the rooms, as the window
  // does after its options are applied: the chat server stops, the files
  // are read again and the server starts on the settings now read. Online
  // visitors stay (the chat lives in memory). False when the server could
  // not be started again; it is then stopped.
  [[nodiscard]] bool reload();

  // Why the server cannot listen on the settings' address and port right
  // now, for a person ("Address already in use"); empty when a probe could
  // listen there (the failure then lay elsewhere).
  std::string listen_problem() const;

  // When running: Shutdown(); when that ends the server's threads in time
  // (1) writes "chat server stopped" and clears the flag. A Shutdown that
  // had to abandon threads leaves the flag set. Destroys the hidden window.
  void stop_chat_server();

  bool running() const { return running_; }
  bool window_exists() const { return window_.exists(); }
  ChatEngine& engine() { return engine_; }

 private:
  ChatEngine engine_;
  MessageWindow window_;
  bool running_ = false;
};

}  // namespace tvl
