#include "platform/spooler/service/protocol.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

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

namespace {

const char* KindOf(unsigned mode) {
  switch (mode & S_IFMT) {
    case S_IFIFO: return "a FIFO";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    case S_IFSOCK: return "a socket";
    case S_IFDIR: return "a directory";
    case S_IFLNK: return "a symbolic link";
    default: return "no file";
  }
}

// The type of the file system a file lies on, as this process's mount table
// names it: the mount of the file's mount id, else one of its device; ""
// when neither is among the mounts this process sees.
std::string FileSystemType(const struct statx& st) {
  FILE* table = std::fopen("/proc/self/mountinfo", "re");
  if (!table) return std::string();
  const std::string device = std::to_string(st.stx_dev_major) + ":" + std::to_string(st.stx_dev_minor);
  const bool byId = (st.stx_mask & STATX_MNT_ID) != 0;
  std::string ofDevice;
  char* line = nullptr;
  std::size_t capacity = 0;
  std::string found;
  while (getline(&line, &capacity, table) > 0) {
    // "<id> <parent> <major:minor> <root> <mount point> <options> [<tags>] - <type> <source> <options>"
    std::istringstream fields(line);
    std::string id, parent, numbers, word, type;
    fields >> id >> parent >> numbers;
    while (fields >> word && word != "-") {
    }
    if (!(fields >> type)) continue;
    if (byId && id == std::to_string(st.stx_mnt_id)) {
      found = type;
      break;
    }
    if (ofDevice.empty() && numbers == device) ofDevice = type;
  }
  std::free(line);
  std::fclose(table);
  return found.empty() ? ofDevice : found;
}

// The kernel's file systems whose files are no documents: reading them
// through another's descriptor as root is nothing a job needs.
bool KernelFileSystem(const std::string& type) {
  static const char* const kTypes[] = {"proc",    "sysfs",    "debugfs",  "tracefs", "securityfs", "configfs",
                                       "efivarfs", "bpf",     "cgroup",   "cgroup2", "pstore",     "devpts",
                                       "mqueue",   "nsfs",    "pidfs",    "binfmt_misc", "autofs", "rpc_pipefs",
                                       "anon_inodefs", "hugetlbfs", "devtmpfs"};
  for (const char* kernel : kTypes)
    if (type == kernel) return true;
  return false;
}

}  // namespace

std::string FileRefusal(int fd, HandedFile* file) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return "no open file came with the job";
  if ((flags & O_PATH) == O_PATH || ((flags & O_ACCMODE) != O_RDONLY && (flags & O_ACCMODE) != O_RDWR))
    return "the file handed over is not open for reading";
  // The attributes as the kernel holds them: asking a file system for fresh
  // ones could wait on whoever serves it.
  struct statx st{};
  if (statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_TYPE | STATX_SIZE | STATX_MNT_ID, &st) != 0)
    return std::string("the file handed over cannot be looked at: ") + std::strerror(errno);
  if (!(st.stx_mask & STATX_TYPE) || !S_ISREG(st.stx_mode))
    return std::string("the file handed over is not a regular file but ") + KindOf(st.stx_mode);
  std::string type = FileSystemType(st);
  if (type.empty()) return "the file handed over lies on a file system this service does not see";
  if (type.rfind("fuse", 0) == 0)
    return "the file handed over lies on a file system a user serves (" + type + ")";
  if (KernelFileSystem(type)) return "the file handed over lies on the kernel's " + type + " file system";
  off_t at = lseek(fd, 0, SEEK_CUR);
  if (at < 0) return std::string("the file handed over has no position: ") + std::strerror(errno);
  file->start = static_cast<std::uint64_t>(at);
  file->size = st.stx_size;
  return std::string();
}

namespace {

// A message of one byte with room for one descriptor (CMSG_LEN: the padded
// CMSG_SPACE would hold two).
struct OneDescriptorMessage {
  char byte = 'F';
  struct iovec data = {&byte, 1};
  alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  struct msghdr message{};
  OneDescriptorMessage() {
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = CMSG_LEN(sizeof(int));
  }
  OneDescriptorMessage(const OneDescriptorMessage&) = delete;
  OneDescriptorMessage& operator=(const OneDescriptorMessage&) = delete;
};

}  // namespace

bool SendDescriptor(int socket, int fd) {
  OneDescriptorMessage one;
  struct msghdr& message = one.message;
  struct cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
  for (;;) {
    ssize_t sent = sendmsg(socket, &message, MSG_NOSIGNAL);
    if (sent == 1) return true;
    if (sent < 0 && errno == EINTR) continue;
    return false;
  }
}

bool ReceiveDescriptor(int socket, int* received, std::string* error) {
  *received = -1;
  // Room for exactly one descriptor: the kernel drops any more than that
  // without handing them to this process.
  OneDescriptorMessage one;
  struct msghdr& message = one.message;
  ssize_t got;
  do {
    errno = 0;
    got = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) {
    *error = errno == EAGAIN || errno == EWOULDBLOCK ? "no data in time: the connection is closed"
                                                     : "the request ended early";
    return false;
  }
  struct cmsghdr* header = CMSG_FIRSTHDR(&message);
  if (header && header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS &&
      header->cmsg_len >= CMSG_LEN(sizeof(int)))
    std::memcpy(received, CMSG_DATA(header), sizeof *received);
  if (*received < 0) {
    *error = "no file came with the job";
    return false;
  }
  if (message.msg_flags & MSG_CTRUNC) {
    *error = "more than one file came with the job";
    return false;
  }
  return true;
}

}  // namespace mvn::spooler::service
