// tvlService: the chat server without a window. With an option it installs
// (-i), removes (-u), starts (-s) or stops (-e) the service and exits with
// the action's result; without one it is the service and serves the chat
// until SIGTERM or SIGINT (run by hand, in the foreground).
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/memory.h"
#include "server/connection_limits.h"
#include "service/log_file.h"
#include "service/service_host.h"

int main(int argc, char** argv) {
  using namespace tvl;

  return_large_blocks(kOwnBlockBytes);
  // The service log is opened by the service body once it holds the
  // program folder: a second server must not touch the running one's.

  // The socket layer needs no start-up here; a write to a closed connection
  // must fail with an error instead of ending the process.
  if (::signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
    std::printf("Error: Windows sockets initialization failed!\n");
    return 3;
  }

  std::printf("******************************************\n");
  std::printf("*   Tavella Service        *\n");
  std::printf("* %s *\n", "             Version 1.2              ");
  std::printf("*      KTR Software, Inc.                *\n");
  std::printf("******************************************\n");
  std::printf("\n");
  std::fflush(stdout);

  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  int result;
  {
    ServiceHost host("Tavella Service", "Tavella Service");
    result = host.ParseCommandLine(args);
    // Destroying the host destroys the chat engine, which waits for every
    // client thread. One still inside a page handler a few seconds after the
    // stop would keep the process alive as long as it works: the process
    // then ends here, with its output flushed, without tearing down what
    // that thread still uses.
    if (!host.clients_ended(kStopClientsMs)) {
      std::fflush(nullptr);
      std::_Exit(result);
    }
  }
  return result;
}
