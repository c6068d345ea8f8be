// The fixed numbers of tvlService, in one place. Most are the values the
// service protocol and the window's service dialog rely on; they are not
// tuning knobs.
//
//   name                      value   meaning
//   --- service states (reported to the manager, read back by -s / -e) ---
//   kServiceStopped             1
//   kServiceStartPending        2     reported at the service main and at Run
//   kServiceStopPending         3     after the stop message was handled
//   kServiceRunning             4     once the chat server listens
//   kServiceContinuePending     5     written by the continue control
//   kServicePausePending        6     written by the pause control
//   kServicePaused              7     never reported (pause changes nothing)
//   kAcceptStop                 1     controls accepted in every state but
//                                     start pending (none there)
//   kOwnProcessType          0x10     status record type: own process
//   --- wait hints (ms) ---
//   kStatusWaitHintMs        3000     start pending, running, stopped, interrogate
//   kStopWaitHintMs          5000     stop pending
//   --- controls (SIGTERM/SIGINT become kControlStop) ---
//   kControlStop ... kControlShutdown   1 ... 5
//   --- messages of the notification window ---
//   kWriteNextLineMessage    1227     a service-log line is queued
//   kStopMessage             1228     stop the chat server and the body
//   kReloadMessage           1229     SIGHUP / tvlctl reload
//   kControlMessage          1230     a tvlctl request waits for the service thread
//   --- command line ---
//   kCommandPollMs           1000     -s / -e ask the manager once a second
//   kUsageExitStatus            2     an argument that is no option
//   kDefaultLogLevel            3     "LogLevel" when it cannot be read
#pragma once

namespace tvl {

enum ServiceState {
  kServiceStopped = 1,
  kServiceStartPending = 2,
  kServiceStopPending = 3,
  kServiceRunning = 4,
  kServiceContinuePending = 5,
  kServicePausePending = 6,
  kServicePaused = 7,
};
constexpr int kAcceptStop = 1;
constexpr int kOwnProcessType = 0x10;

constexpr int kStatusWaitHintMs = 3000;
constexpr int kStopWaitHintMs = 5000;

enum ServiceControl {
  kControlStop = 1,
  kControlPause = 2,
  kControlContinue = 3,
  kControlInterrogate = 4,
  kControlShutdown = 5,
};

constexpr unsigned kWriteNextLineMessage = 1227;
constexpr unsigned kStopMessage = 1228;
constexpr unsigned kReloadMessage = 1229;
constexpr unsigned kControlMessage = 1230;

constexpr int kCommandPollMs = 1000;
constexpr int kUsageExitStatus = 2;
constexpr int kDefaultLogLevel = 3;

}  // namespace tvl
