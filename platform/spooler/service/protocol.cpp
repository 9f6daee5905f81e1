#include "platform/spooler/service/protocol.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/kernel/win32.h"

namespace mvn::spooler::service {

std::string RootPath(const char* relative, bool createParents) {
  char path[4096];
  if (!MvnRootPath(relative, path, sizeof path, createParents)) return std::string();
  return path;
}

bool ReadAll(int fd, void* buffer, std::size_t size) {
  char* at = static_cast<char*>(buffer);
  while (size > 0) {
    ssize_t got = read(fd, at, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    at += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

bool WriteAll(int fd, const void* buffer, std::size_t size) {
  const char* at = static_cast<const char*>(buffer);
  while (size > 0) {
    ssize_t put = write(fd, at, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    at += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

void PutFrameLength(std::uint32_t length, unsigned char bytes[4]) {
  bytes[0] = length & 0xFF;
  bytes[1] = (length >> 8) & 0xFF;
  bytes[2] = (length >> 16) & 0xFF;
  bytes[3] = (length >> 24) & 0xFF;
}

std::uint32_t FrameLength(const unsigned char bytes[4]) {
  return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

bool SocketAddress(const std::string& path, sockaddr_un* address) {
  *address = sockaddr_un{};
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace mvn::spooler::service
