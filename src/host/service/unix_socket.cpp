// Local-socket plumbing (see unix_socket.h).
#include "host/service/unix_socket.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace dualcam::host::service {

void UniqueFd::Reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::optional<std::pair<sockaddr_un, socklen_t>> SocketAddressIn(int folder_fd, const std::filesystem::path& folder,
                                                                 const std::string& name) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string path = (folder / name).string();
  if (path.size() >= sizeof address.sun_path) path = "/proc/self/fd/" + std::to_string(folder_fd) + "/" + name;
  if (path.size() >= sizeof address.sun_path) return std::nullopt;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return std::make_pair(address, static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1));
}

std::optional<PeerCredentials> PeerOf(int fd) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 || length != sizeof credentials)
    return std::nullopt;
  return PeerCredentials{credentials.pid, credentials.uid};
}

}  // namespace dualcam::host::service
