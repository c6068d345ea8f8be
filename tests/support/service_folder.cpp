#include "tests/support/service_folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <system_error>

#include "platform/fs.h"

namespace tvl::test {

namespace fs = std::filesystem;

ServiceFolder::ServiceFolder(const std::string& relative, const std::string& options)
    : path_(root_.path() + relative) {
  std::error_code error;
  fs::create_directories(path_, error);
  if (!error)
    fs::copy(TAVELLA_DIST_DIR, path_, fs::copy_options::recursive | fs::copy_options::overwrite_existing,
             error);
  if (error) ADD_FAILURE() << "cannot copy " << TAVELLA_DIST_DIR << " to " << path_ << ": " << error.message();
  fs::remove(path_ + "service.log", error);
  if (!write_options("[Server]\r\n" + options + "port=" + std::to_string(port_) + "\r\n"))
    ADD_FAILURE() << "cannot write " << path_ << "option.ini";
}

bool ServiceFolder::write_options(const std::string& text) const {
  return write_whole_file(path_ + "option.ini", text);
}

std::string ServiceFolder::started_line(int port) const {
  return " Chat Server started on port " + std::to_string(port ? port : port_) + "\n";
}

bool ServiceFolder::start_service(ChildProcess& service, int port) const {
  return service.start(path_ + "tvlService", {}) && service.wait_for_output(started_line(port));
}

}  // namespace tvl::test
