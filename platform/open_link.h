// open_link: opens a web address, a "mailto:" address, a file or a folder
// with the desktop's handler, the way the window's links and buttons need.
//
// 1. `xdg-open target`. Its exit status 0 is success; a run that is still
//    going after kOpenWaitMs counts as success too (some handlers stay in
//    the foreground until their window closes).
// 2. Otherwise the desktop's web browser: `xdg-mime query default text/html`
//    names a desktop file, found under $XDG_DATA_HOME/applications or
//    $XDG_DATA_DIRS/*/applications; its Exec line is the command.
// 3. The command is cut at the first %u/%U/%f/%F field code that stands
//    between double quotes (before the opening quote), else at the first
//    field code, else kept whole; the target is added as one more argument
//    (never through a shell, so blanks and quotes in it stay one argument).
// 4. The browser is started in a session of its own; a successful start is
//    success. If step 2 finds no browser, the result of step 1 is returned.
//
// Results follow the codes the link reasons are written for: above 32 is
// success; otherwise (LinkResult below)
//   xdg-open: status 2 (file missing) -> 2, status 3 or 4 (no tool for the
//     type, action failed) -> 31, not installed -> 31, status 1 or a crash
//     -> 1 (an unknown error)
//   starting a program: not found -> 2, permission -> 5, not an executable
//     -> 11, out of memory -> 8, anything else -> 0
// `show` is the window mode the caller would like; a Linux desktop lets the
// started program choose, so it is accepted and not used.
// Thread safety: any thread; the call waits at most about kOpenWaitMs.
#pragma once
#include <string>
#include <vector>

namespace tvl {

enum LinkResult {
  kLinkOutOfResources = 0,
  kLinkUnknownError = 1,
  kLinkFileNotFound = 2,
  kLinkAccessDenied = 5,
  kLinkOutOfMemory = 8,
  kLinkBadProgram = 11,
  kLinkNoAssociation = 31,
  kLinkOpened = 33,
};

constexpr int kShowNormal = 1;
constexpr int kOpenWaitMs = 3000;

int open_link(const std::string& target, int show = kShowNormal);

// Step 3 alone (tests): the argument list for `exec_line` and `target`;
// empty when the line holds no program.
std::vector<std::string> browser_command(const std::string& exec_line, const std::string& target);

}  // namespace tvl
