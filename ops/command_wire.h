// The wire form of one operator command between tvlctl and a running server
// (the control socket, ops/control_server.h). Every text is written as
// "<decimal length>\n<bytes>":
//   request: "tvlctl 1\n", the program folder, the argument count as a
//            text, each argument, the input
//   answer:  the exit status as a text, out, err
// A length has at most 9 digits, a number at most 6, and a request at most
// 1000 arguments.
// Thread safety: pure functions.
#pragma once
#include <string>
#include <vector>

#include "ops/command_result.h"

namespace tvl {

struct CommandRequest {
  std::string folder;  // the program folder, ending in "/"
  std::vector<std::string> args;
  std::string input;
};

// The exit status an answer carries when the running server serves another
// program folder than the request names: the caller works on the files.
constexpr int kOtherFolderStatus = 125;

std::string encode_request(const CommandRequest& request);
// False when `data` is not one whole request (wrong magic, a malformed or
// cut text, bytes left over); `request` is then unchanged.
[[nodiscard]] bool decode_request(const std::string& data, CommandRequest& request);
std::string encode_result(const CommandResult& result);
// False when `data` is not one whole answer; `result` is then unchanged.
[[nodiscard]] bool decode_result(const std::string& data, CommandResult& result);

}  // namespace tvl
