#include "platform/notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace tvl {

namespace {
const char* socket_name() {
  const char* name = std::getenv("NOTIFY_SOCKET");
  return (name && (name[0] == '/' || name[0] == '@') && name[1] != 0) ? name : nullptr;
}
}  // namespace

bool notify_socket_present() { return socket_name() != nullptr; }

bool notify_service_manager(const std::string& assignments) {
  const char* name = socket_name();
  if (!name) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  size_t length = std::strlen(name);
  if (length >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, name, length);
  if (name[0] == '@') address.sun_path[0] = 0;  // abstract namespace
  socklen_t address_length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (name[0] == '@' ? 0 : 1));
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ssize_t sent = ::sendto(fd, assignments.data(), assignments.size(), MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr*>(&address), address_length);
  ::close(fd);
  return sent == static_cast<ssize_t>(assignments.size());
}

}  // namespace tvl
