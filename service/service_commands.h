// ServiceCommands: the command-line actions of tvlService on the service
// manager: install (-i), uninstall (-u), start (-s) and stop (-e), and the
// reading of the command line itself.
//
// Command line: only the arguments after the program path are looked at.
// Every argument must be one of the options "-i", "-u", "-s", "-e" (or with
// "/" for "-") or "--help" / "-h" (the usage on standard output, exit 0);
// anything else is refused with a message and the usage on standard error,
// exit 2, before anything is done. Of several options the first wins.
// Exit values: Install/Uninstall 1 on success or nothing to do, 0 on
// failure; StartTheService/StopTheService 1 when the service got to running
// / stopped, else 0, each printing its result (success on standard output,
// failure on standard error, both "<service name>: <text>").
// Install and Uninstall tell their results in message boxes.
// Thread safety: one object, one thread.
#pragma once
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "service/service_manager.h"
#include "service/service_numbers.h"

namespace tvl {

// The event-log source key of a service.
std::string event_source_key(const std::string& service_name);

class ServiceCommands {
 public:
  // What the arguments ask for, before any action is chosen.
  enum class Arguments { Action, Help, Unknown };

  ServiceCommands(std::string service_name, std::string display_name);

  // What the actions work with; each has a default taken from the running
  // program and its environment. Set before use.
  void set_manager(std::unique_ptr<ServiceManager> manager);
  void set_program_path(const std::string& path);      // full path of the program
  void set_program_folder(const std::string& folder);  // ends in "/"
  void set_poll_interval(std::chrono::milliseconds interval);

  int Install();
  int Uninstall();
  int StartTheService();
  int StopTheService();

  // Unknown names the first argument that is no option in `unknown`.
  static Arguments CheckArguments(const std::vector<std::string>& args, std::string& unknown);
  // The letter of the selected action ('i', 'u', 's', 'e') or 0.
  static char SelectAction(const std::vector<std::string>& args);
  // The usage text, several lines, ending in a line end.
  static std::string Usage();

 private:
  ServiceManager& manager();
  void SayResult(bool success, const char* text);
  // Polls the service's state while it is `pending` and says `reached` when
  // it came to `wanted` (1), else `missed` (0; also when the manager stopped
  // answering).
  int AwaitState(int pending, int wanted, const char* reached, const char* missed);
  // Opens the service manager and finds the service. False when either
  // fails, told with SayResult (`not_installed` for a missing service).
  [[nodiscard]] bool ReachService(const char* not_installed);

  const std::string service_name_;
  const std::string display_name_;
  std::string program_path_;
  std::string program_folder_;
  std::chrono::milliseconds poll_interval_{kCommandPollMs};
  std::unique_ptr<ServiceManager> manager_;
};

}  // namespace tvl
