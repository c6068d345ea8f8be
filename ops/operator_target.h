// OperatorTarget: what an operator command acts on: the files of a program
// folder, and the running chat when there is one.
// Lifetime: the engine, when given, outlives the command; the command runs
// on the thread that owns it (the service thread, the window's
// user-interface thread).
#pragma once
#include <functional>
#include <string>

namespace tvl {

class AccountStore;
class ChatEngine;
class RoomRecords;

struct OperatorTarget {
  std::string program_folder;  // ends in "/"
  ChatEngine* engine = nullptr;  // the running chat; null: the stores below
  // Without a running chat: where the accounts and rooms live (a cluster's
  // Redis); null: the folder's files.
  AccountStore* accounts = nullptr;
  RoomRecords* rooms = nullptr;
  // Reads the options, the IP lists and the rooms again (running server
  // only); false when the server could not listen again. Empty for a server
  // that reloads only by its own means (the window): reload is refused.
  std::function<bool()> reload;
};

}  // namespace tvl
