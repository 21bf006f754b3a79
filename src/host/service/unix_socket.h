// Small pieces of local-socket plumbing shared by the control server and its
// client: a descriptor that closes itself, the address of a socket file in a
// folder, and the credentials of the process at the other end.
//
// Hard part: a socket address holds at most 107 bytes of path, and data
// folders (a test's temporary folder, a deep home) can be longer. A name in
// a folder is therefore reached through the folder's open descriptor
// (/proc/self/fd/N/name) when its full path does not fit, which names the
// same file.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

namespace dualcam::host::service {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  explicit operator bool() const { return fd_ >= 0; }
  void Reset();

 private:
  int fd_ = -1;
};

inline std::error_code LastError() { return {errno, std::generic_category()}; }

// The address of `name` in the folder open as `folder_fd` (whose path is
// `folder`), or an error when even the descriptor form does not fit.
std::optional<std::pair<sockaddr_un, socklen_t>> SocketAddressIn(int folder_fd, const std::filesystem::path& folder,
                                                                 const std::string& name);

struct PeerCredentials {
  pid_t pid = 0;
  uid_t uid = 0;
};
// SO_PEERCRED of a connected local socket.
std::optional<PeerCredentials> PeerOf(int fd);

}  // namespace dualcam::host::service
