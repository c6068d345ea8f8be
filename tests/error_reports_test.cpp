// The socket layer's error reports on their way to the operator: each kind
// told at once, then at most once a minute with the count of those between.
#include "server/error_reports.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/net.h"

namespace tvl {
namespace {

TEST(ErrorReports, EachKindIsToldAtMostOnceAMinuteWithTheCountSince) {
  std::vector<std::string> told;
  long long now = 1000;
  ErrorReports reports([&](const std::string& text) { told.push_back(text); },
                       [&] { return now; });
  const std::string reset = "ClientThread: WSARecv(...) failure (" + net::error_text(ECONNRESET) + ")";

  reports.report("WSARecv(...) failure", "ClientThread", ECONNRESET);
  reports.report("WSARecv(...) failure", "ClientThread", ECONNRESET);
  // Another kind is told on its own.
  reports.report("WSAAccept(...) failure", "AcceptThread", 0);
  now += ErrorReports::kQuietMs - 1;
  reports.report("WSARecv(...) failure", "ClientThread", ECONNRESET);
  ASSERT_EQ(told, (std::vector<std::string>{reset, "AcceptThread: WSAAccept(...) failure"}));

  now += 1;  // a minute after it was told
  reports.report("WSARecv(...) failure", "ClientThread", ECONNRESET);
  ASSERT_EQ(told.size(), 3u);
  EXPECT_EQ(told[2], reset + ", 2 more since");
  // A quiet minute later the count starts again.
  now += 2 * ErrorReports::kQuietMs;
  reports.report("WSARecv(...) failure", "ClientThread", ECONNRESET);
  ASSERT_EQ(told.size(), 4u);
  EXPECT_EQ(told[3], reset);
}

}  // namespace
}  // namespace tvl
