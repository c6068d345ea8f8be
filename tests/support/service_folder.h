// A program folder for the tests that run tvlService (and tvlctl) as real
// processes: a copy of the ready folder build/dist (the programs, the site,
// rooms.sdb) inside a fresh temporary folder, without the build's
// service.log, whose option.ini names a port reserved for it; and private
// state and configuration folders for the life of the object.
#pragma once
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/test_util.h"

namespace tvl::test {

class ServiceFolder {
 public:
  // The copy is made at root()/relative (relative ends in "/"); option.ini
  // holds "[Server]", then `options` (whole lines), then "port=<port>".
  // A copy that cannot be made is a test failure.
  explicit ServiceFolder(const std::string& relative, const std::string& options = std::string());
  ServiceFolder(const ServiceFolder&) = delete;
  ServiceFolder& operator=(const ServiceFolder&) = delete;

  const TestEnvironment& environment() const { return env_; }
  const TempDir& root() const { return root_; }
  const std::string& path() const { return path_; }  // ends in "/"
  int port() const { return port_; }

  // Replaces option.ini; false when it cannot be written.
  [[nodiscard]] bool write_options(const std::string& text) const;
  // The end of the line tvlService prints once it serves on `port` (0: the
  // folder's own).
  std::string started_line(int port = 0) const;
  // Starts this folder's tvlService and waits for its started line; false
  // when it could not be started or did not announce itself in time.
  [[nodiscard]] bool start_service(ChildProcess& service, int port = 0) const;

 private:
  TestEnvironment env_;
  TempDir root_;
  std::string path_;
  PortReservation reserved_;
  int port_ = reserved_.port();
};

}  // namespace tvl::test
