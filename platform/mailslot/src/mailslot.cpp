// Mailslots over AF_UNIX datagram sockets.
//
// A slot "\\.\mailslot\a\b" consists of two entries in <root>/mailslot/a/:
//   b        the server's datagram socket (mode 0600, plus any writers the
//            server allowed);
//   b.LOCK   a lock file (mode 0644): the live server holds an exclusive
//            flock on it, and it holds the server's maximum message size as
//            decimal text, so writers can refuse oversized messages.
// Components are folded to lower case, so the upper-case suffixes ".LOCK"
// and ".TMP" can never be the name of another slot. Directories below
// <root>/mailslot are created with mode 01777 (like /tmp): every user can
// serve slots there, nobody can remove another user's entries.
//
// The server binds its socket under a temporary name, sets its mode and then
// renames it over the slot's name, so the socket is never reachable with the
// wrong mode and a stale socket is replaced atomically. Closing the server
// removes both entries. A server that died leaves them behind: the next
// server of the same user (or root) takes them over; another user cannot,
// the directory being sticky.
//
// Socket paths longer than sun_path are reached through /proc/self/fd.
#include "platform/mailslot/mailslot.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/handles.h"

namespace {

constexpr char kLockSuffix[] = ".LOCK";
constexpr size_t kMaxComponent = NAME_MAX - (sizeof(kLockSuffix) - 1);
constexpr mode_t kSharedDirMode = 01777;
constexpr mode_t kSocketMode = 0600;
constexpr mode_t kLockMode = 0644;

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Length of the "\\.\mailslot\" prefix at the start of name ("\" and "/"
// alike, "mailslot" in any case), or 0 when name does not start with it.
size_t MailslotPrefixLength(const char* name) {
  if (!name || !IsSeparator(name[0]) || !IsSeparator(name[1]) || name[2] != '.' || !IsSeparator(name[3]))
    return 0;
  static const char kWord[] = "mailslot";
  for (size_t i = 0; i < 8; ++i)
    if (FoldAscii(name[4 + i]) != kWord[i]) return 0;
  return IsSeparator(name[12]) ? 13 : 0;
}

// Splits the part after the prefix into lower-cased components. Empty
// components, "." and "..", and components too long for the lock file's
// name are refused.
bool ParseMailslotName(const char* name, std::vector<std::string>* components) {
  size_t prefix = MailslotPrefixLength(name);
  if (prefix == 0) return false;
  components->clear();
  std::string current;
  for (const char* p = name + prefix;; ++p) {
    if (*p == '\0' || IsSeparator(*p)) {
      if (current.empty() || current == "." || current == ".." || current.size() > kMaxComponent) return false;
      components->push_back(current);
      current.clear();
      if (*p == '\0') break;
    } else {
      current += FoldAscii(*p);
    }
  }
  return !components->empty();
}

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : m_fd(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      m_fd = other.Release();
    }
    return *this;
  }
  int Get() const { return m_fd; }
  bool Valid() const { return m_fd >= 0; }
  int Release() {
    int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  void Reset(int fd = -1) {
    if (m_fd >= 0) close(m_fd);
    m_fd = fd;
  }

 private:
  int m_fd = -1;
};

// The directory of a slot, open, and its path (for socket addresses).
struct SlotDirectory {
  UniqueFd fd;
  std::string path;
};

// Whether this process may make the shared directories below
// <root>/mailslot: root, or the owner of the machine's root (a private root
// of one user). Any other user's launcher would own a folder where other
// users' slots live, and could remove or replace their entries; such a
// user serves slots only in directories that exist already.
bool MayCreateSharedDirectories() {
  uid_t self = geteuid();
  if (self == 0) return true;
  struct stat st;
  const char* root = MvnRootDirectory();
  return root && stat(root, &st) == 0 && st.st_uid == self;
}

// A shared directory is fit for a server's socket when root or the owner
// of the machine's root owns it: nobody else can then remove or swap the
// entries of other users (the directories are sticky).
bool TrustedSharedDirectory(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  if (st.st_uid == 0) return true;
  // A folder of the server's own that nobody else may write (a user's
  // launcher slot folder): nobody else can put or swap an entry there.
  if (st.st_uid == geteuid() && (st.st_mode & 022) == 0) return true;
  struct stat root;
  const char* rootPath = MvnRootDirectory();
  return rootPath && stat(rootPath, &root) == 0 && st.st_uid == root.st_uid;
}

// Makes a shared directory: mode 01777, like /tmp. mkdir's mode passes the
// umask, so the mode is set on the directory made, through its descriptor.
// A directory that cannot be made (other than one that is there) is
// reported once, naming shown, the path a user would look at.
void MakeSharedDirectory(int at, const char* name, const std::string& shown) {
  if (mkdirat(at, name, kSharedDirMode) != 0) {
    if (errno != EEXIST) MvnReportRootDirectoryFailure(shown.c_str(), errno);
    return;
  }
  int fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  if (fd >= 0) {
    fchmod(fd, kSharedDirMode);
    close(fd);
  }
}

// Opens (creating when asked and allowed) <root>/mailslot and the
// directories of all components but the last (all of them when
// allComponents). A server (create) refuses a directory that another user
// owns. Sets the last error on failure.
bool OpenSlotDirectory(const std::vector<std::string>& components, bool create, SlotDirectory* out,
                       bool allComponents = false) {
  char rootPath[4096];
  if (!MvnRootPath("mailslot", rootPath, sizeof(rootPath), false)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  // (MvnRootPath has created the machine's root itself on demand.)
  std::string path = rootPath;
  auto openDir = [](int at, const char* name) {
    return openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  };
  const bool makeDirectories = create && MayCreateSharedDirectories();
  if (makeDirectories) MakeSharedDirectory(AT_FDCWD, path.c_str(), path);
  UniqueFd fd(openDir(AT_FDCWD, path.c_str()));
  if (!fd.Valid()) {
    // A server that may not make the shared folder (the service makes it)
    // says which folder is missing.
    if (errno == ENOENT && create && !makeDirectories) MvnReportRootDirectoryFailure(path.c_str(), EACCES);
    SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : Win32ErrorFromErrno(errno, path.c_str()));
    return false;
  }
  if (create && !TrustedSharedDirectory(fd.Get())) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  const size_t directories = allComponents ? components.size() : components.size() - 1;
  for (size_t i = 0; i < directories; ++i) {
    const char* name = components[i].c_str();
    if (makeDirectories) MakeSharedDirectory(fd.Get(), name, path + "/" + components[i]);
    UniqueFd next(openDir(fd.Get(), name));
    if (!next.Valid()) {
      int err = errno;
      if (err == ENOENT && create && !makeDirectories)
        MvnReportRootDirectoryFailure((path + "/" + components[i]).c_str(), EACCES);
      // A missing directory means no slot of that name exists.
      SetLastError(err == ENOENT                    ? ERROR_FILE_NOT_FOUND
                   : (err == ENOTDIR || err == ELOOP) ? ERROR_INVALID_NAME
                                                      : Win32ErrorFromErrno(err, nullptr));
      return false;
    }
    if (create && !TrustedSharedDirectory(next.Get())) {
      SetLastError(ERROR_ACCESS_DENIED);
      return false;
    }
    fd = std::move(next);
    path += '/';
    path += components[i];
  }
  out->fd = std::move(fd);
  out->path = std::move(path);
  return true;
}

// Parses a slot's name into its components and opens its directory as
// OpenSlotDirectory does. Sets the last error on failure.
bool OpenNamedSlotDirectory(const char* name, bool create, std::vector<std::string>* components,
                            SlotDirectory* out) {
  if (!ParseMailslotName(name, components)) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  return OpenSlotDirectory(*components, create, out);
}

// The address of the entry leaf in an open directory: its path when that
// fits in sun_path, else the path through /proc/self/fd.
bool SocketAddressIn(const SlotDirectory& dir, const std::string& leaf, sockaddr_un* address, socklen_t* length) {
  std::memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  std::string path = dir.path + "/" + leaf;
  if (path.size() >= sizeof(address->sun_path)) path = "/proc/self/fd/" + std::to_string(dir.fd.Get()) + "/" + leaf;
  if (path.size() >= sizeof(address->sun_path)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  return true;
}

DWORD ReadMaxMessageSize(int lockFd) {
  char text[32] = {};
  ssize_t n = pread(lockFd, text, sizeof(text) - 1, 0);
  if (n <= 0) return 0;
  text[n] = '\0';
  char* end = nullptr;
  unsigned long value = std::strtoul(text, &end, 10);
  if (end == text || value > 0xFFFFFFFFul) return 0;
  return static_cast<DWORD>(value);
}

// ---------------------------------------------------------------------------
// The server's end.

class MailslotServer : public mvn::KernelObject {
 public:
  MailslotServer(SlotDirectory dir, std::string leaf, UniqueFd lock, UniqueFd socket, dev_t dev, ino_t ino,
                 DWORD maxMessageSize, DWORD readTimeout)
      : m_dir(std::move(dir)),
        m_leaf(std::move(leaf)),
        m_lock(std::move(lock)),
        m_socket(std::move(socket)),
        m_dev(dev),
        m_ino(ino),
        m_maxMessageSize(maxMessageSize),
        m_readTimeout(readTimeout) {}
  ~MailslotServer() override { Shutdown(); }

  BOOL Read(void* buffer, DWORD toRead, DWORD* read) override;
  BOOL Write(const void*, DWORD, DWORD* written) override {
    if (written) *written = 0;
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  BOOL Close() override {
    Shutdown();
    return TRUE;
  }

  BOOL AllowWriter(uid_t uid);
  BOOL LastSender(MAILSLOT_SENDER* sender);

 private:
  void Shutdown();
  bool SocketIsOurs() const {
    struct stat st;
    return fstatat(m_dir.fd.Get(), m_leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == m_dev &&
           st.st_ino == m_ino;
  }

  std::mutex m_mutex;  // guards the sender record, the writer list and shutdown
  SlotDirectory m_dir;
  std::string m_leaf;
  UniqueFd m_lock;
  UniqueFd m_socket;
  dev_t m_dev;
  ino_t m_ino;
  DWORD m_maxMessageSize;
  DWORD m_readTimeout;
  bool m_haveSender = false;
  MAILSLOT_SENDER m_sender{};
  std::vector<uid_t> m_writers;
};

void MailslotServer::Shutdown() {
  std::lock_guard<std::mutex> guard(m_mutex);
  if (!m_socket.Valid()) return;
  // Still holding the lock: nobody else can have put a socket there under
  // our protocol, but only remove what is ours.
  if (SocketIsOurs()) unlinkat(m_dir.fd.Get(), m_leaf.c_str(), 0);
  m_socket.Reset();
  // Then the lock file, so a server of another user can follow; removed
  // while it is still locked, which the next server checks for.
  std::string lockName = m_leaf + kLockSuffix;
  struct stat held, named;
  if (fstat(m_lock.Get(), &held) == 0 && fstatat(m_dir.fd.Get(), lockName.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
      held.st_dev == named.st_dev && held.st_ino == named.st_ino)
    unlinkat(m_dir.fd.Get(), lockName.c_str(), 0);
  m_lock.Reset();
}

BOOL MailslotServer::Read(void* buffer, DWORD toRead, DWORD* read) {
  if (read) *read = 0;
  int fd = m_socket.Get();
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  using Clock = std::chrono::steady_clock;
  const bool forever = m_readTimeout == MAILSLOT_WAIT_FOREVER;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : m_readTimeout);
  for (;;) {
    int waitMs = -1;
    if (!forever) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      waitMs = left > 0 ? static_cast<int>(std::min<long long>(left, INT_MAX)) : 0;
    }
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, waitMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      SetLastErrorFromErrno(errno);
      return FALSE;
    }
    if (ready == 0) {
      SetLastError(ERROR_TIMEOUT);
      return FALSE;
    }
    // The real length of the next datagram, leaving it queued.
    ssize_t size = recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (size < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      SetLastErrorFromErrno(errno);
      return FALSE;
    }
    if (m_maxMessageSize != 0 && static_cast<size_t>(size) > m_maxMessageSize) {
      // Only a writer that bypassed this layer gets here: a message longer
      // than the slot takes is dropped whole, never handed on cut.
      char discard;
      recv(fd, &discard, 1, MSG_DONTWAIT);
      continue;
    }
    if (static_cast<size_t>(size) > toRead) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    sockaddr_un from{};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    iovec iov{buffer, toRead};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof(from);
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    ssize_t got = recvmsg(fd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (got < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      SetLastErrorFromErrno(errno);
      return FALSE;
    }
    MAILSLOT_SENDER sender{};
    sender.uid = static_cast<uid_t>(-1);
    sender.gid = static_cast<gid_t>(-1);
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
        ucred credentials;
        std::memcpy(&credentials, CMSG_DATA(c), sizeof(credentials));
        sender.uid = credentials.uid;
        sender.gid = credentials.gid;
        sender.pid = credentials.pid;
      }
    }
    size_t nameBytes = message.msg_namelen > offsetof(sockaddr_un, sun_path)
                           ? message.msg_namelen - offsetof(sockaddr_un, sun_path)
                           : 0;
    nameBytes = std::min(nameBytes, sizeof(sender.endpoint));
    sender.endpointLength = static_cast<DWORD>(nameBytes);
    std::memcpy(sender.endpoint, from.sun_path, nameBytes);
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_sender = sender;
      m_haveSender = true;
    }
    if (read) *read = static_cast<DWORD>(got);
    return TRUE;
  }
}

BOOL MailslotServer::LastSender(MAILSLOT_SENDER* sender) {
  std::lock_guard<std::mutex> guard(m_mutex);
  if (!m_haveSender) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  *sender = m_sender;
  return TRUE;
}

// The binary form of a POSIX access-control list as the kernel takes it in
// the "system.posix_acl_access" attribute.
struct AclEntry {
  std::uint16_t tag;
  std::uint16_t perm;
  std::uint32_t id;
};
constexpr std::uint32_t kAclVersion = 2;
constexpr std::uint16_t kAclUserObj = 0x01, kAclUser = 0x02, kAclGroupObj = 0x04, kAclMask = 0x10,
                        kAclOther = 0x20;
constexpr std::uint16_t kRead = 4, kWrite = 2;
constexpr std::uint32_t kAclUndefinedId = 0xFFFFFFFFu;

BOOL MailslotServer::AllowWriter(uid_t uid) {
  std::lock_guard<std::mutex> guard(m_mutex);
  if (!m_socket.Valid()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (uid == 0 || uid == geteuid()) return TRUE;
  if (std::find(m_writers.begin(), m_writers.end(), uid) == m_writers.end()) m_writers.push_back(uid);
  std::sort(m_writers.begin(), m_writers.end());

  std::vector<unsigned char> acl(sizeof(kAclVersion));
  std::memcpy(acl.data(), &kAclVersion, sizeof(kAclVersion));
  auto add = [&acl](std::uint16_t tag, std::uint16_t perm, std::uint32_t id) {
    AclEntry e{tag, perm, id};
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&e);
    acl.insert(acl.end(), bytes, bytes + sizeof(e));
  };
  // Entries in the order the kernel requires: by tag, users by id.
  add(kAclUserObj, kRead | kWrite, kAclUndefinedId);
  for (uid_t writer : m_writers) add(kAclUser, kWrite, writer);
  add(kAclGroupObj, 0, kAclUndefinedId);
  add(kAclMask, kWrite, kAclUndefinedId);
  add(kAclOther, 0, kAclUndefinedId);

  std::string path = "/proc/self/fd/" + std::to_string(m_dir.fd.Get()) + "/" + m_leaf;
  if (!SocketIsOurs()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0) return TRUE;
  if (errno == EOPNOTSUPP || errno == ENOTSUP) {
    // No access-control lists here: open the socket to every local user;
    // the server judges senders by their credentials.
    if (fchmodat(m_dir.fd.Get(), m_leaf.c_str(), 0622, 0) == 0) return TRUE;
  }
  SetLastErrorFromErrno(errno);
  return FALSE;
}

// ---------------------------------------------------------------------------
// A writer's end.

class MailslotClient : public mvn::KernelObject {
 public:
  MailslotClient(UniqueFd socket, DWORD maxMessageSize, uid_t owner)
      : m_socket(std::move(socket)), m_maxMessageSize(maxMessageSize), m_owner(owner) {}

  BOOL Read(void*, DWORD, DWORD* read) override {
    if (read) *read = 0;
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  BOOL Write(const void* buffer, DWORD toWrite, DWORD* written) override;
  uid_t Owner() const { return m_owner; }
  BOOL Close() override {
    m_socket.Reset();
    return TRUE;
  }

 private:
  UniqueFd m_socket;
  DWORD m_maxMessageSize;
  uid_t m_owner;  // the owner of the socket this writer reached
};

BOOL MailslotClient::Write(const void* buffer, DWORD toWrite, DWORD* written) {
  if (written) *written = 0;
  if (!m_socket.Valid()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (m_maxMessageSize != 0 && toWrite > m_maxMessageSize) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  for (;;) {
    ssize_t sent = send(m_socket.Get(), buffer, toWrite, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent >= 0) {
      if (written) *written = static_cast<DWORD>(sent);
      return TRUE;
    }
    switch (errno) {
      case EINTR:
        continue;
      case EAGAIN:
      case ENOBUFS:
        SetLastError(ERROR_BUSY);
        break;
      case EMSGSIZE:
        SetLastError(ERROR_INVALID_PARAMETER);
        break;
      case ECONNREFUSED:
      case ECONNRESET:
      case ENOTCONN:
      case EPIPE:
        SetLastError(ERROR_FILE_NOT_FOUND);
        break;
      default:
        SetLastErrorFromErrno(errno);
    }
    return FALSE;
  }
}

HANDLE OpenMailslotClient(const char* name, DWORD, DWORD, DWORD, DWORD) {
  std::vector<std::string> components;
  SlotDirectory dir;
  if (!OpenNamedSlotDirectory(name, false, &components, &dir)) return INVALID_HANDLE_VALUE;
  const std::string& leaf = components.back();

  // The entry is checked and connected through one descriptor: whatever the
  // name leads to later (another socket, a link to another user's socket),
  // the writer reaches the socket it checked.
  UniqueFd entry(openat(dir.fd.Get(), leaf.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!entry.Valid() || fstat(entry.Get(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // A slot is served when its lock file is a regular file of the socket's
  // owner. Opened without waiting and without following a link: a FIFO or
  // a device planted there must not hold the writer.
  UniqueFd lock(
      openat(dir.fd.Get(), (leaf + kLockSuffix).c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  struct stat lockStat;
  if (!lock.Valid() || fstat(lock.Get(), &lockStat) != 0 || !S_ISREG(lockStat.st_mode) ||
      lockStat.st_uid != st.st_uid) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  UniqueFd sock(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock.Valid()) {
    SetLastErrorFromErrno(errno);
    return INVALID_HANDLE_VALUE;
  }
  // An address of its own (autobind), so the server can tell this handle's
  // messages from those of other writers in the same process.
  sockaddr_un self{};
  self.sun_family = AF_UNIX;
  if (bind(sock.Get(), reinterpret_cast<sockaddr*>(&self), sizeof(sa_family_t)) != 0) {
    SetLastErrorFromErrno(errno);
    return INVALID_HANDLE_VALUE;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string target = "/proc/self/fd/" + std::to_string(entry.Get());
  std::memcpy(address.sun_path, target.c_str(), target.size() + 1);
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + target.size() + 1);
  if (connect(sock.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
    int err = errno;
    SetLastError(err == EACCES || err == EPERM ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // The server writes its limit before its socket appears, so a connected
  // writer reads the limit of the server it reached.
  DWORD maxMessageSize = ReadMaxMessageSize(lock.Get());

  HANDLE handle = mvn::HandleInsert(std::make_shared<MailslotClient>(std::move(sock), maxMessageSize, st.st_uid));
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  SetLastError(ERROR_SUCCESS);
  return handle;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Takes the slot's lock file: creates it or takes over a stale one, and
// holds an exclusive flock on it. A server removes its lock file when it
// closes, so after the flock the name must still lead to the file locked.
bool TakeSlotLock(const SlotDirectory& dir, const std::string& lockName, UniqueFd* out) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    UniqueFd lock(openat(dir.fd.Get(), lockName.c_str(),
                         O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, kLockMode));
    struct stat opened;
    if (lock.Valid() && (fstat(lock.Get(), &opened) != 0 || !S_ISREG(opened.st_mode))) {
      // Something other than a lock file sits under the name (a FIFO, a
      // device): not a slot this server can take.
      SetLastError(ERROR_ACCESS_DENIED);
      return false;
    }
    if (!lock.Valid()) {
      int err = errno;
      if (err == EACCES || err == EPERM) {
        // Another user's slot: served right now, or stale and not ours to
        // take over (only its owner or root can).
        UniqueFd probe(
            openat(dir.fd.Get(), lockName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        bool busy = probe.Valid() && flock(probe.Get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        SetLastError(busy ? ERROR_ALREADY_EXISTS : ERROR_ACCESS_DENIED);
      } else {
        SetLastError(err == ELOOP ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(err, nullptr));
      }
      return false;
    }
    if (flock(lock.Get(), LOCK_EX | LOCK_NB) != 0) {
      SetLastError(errno == EWOULDBLOCK ? ERROR_ALREADY_EXISTS : Win32ErrorFromErrno(errno, nullptr));
      return false;
    }
    struct stat held, named;
    if (fstat(lock.Get(), &held) == 0 && fstatat(dir.fd.Get(), lockName.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        SameFile(held, named)) {
      // The mode of a new file passed the umask; writers must read it.
      if (held.st_uid == geteuid()) fchmod(lock.Get(), kLockMode);
      *out = std::move(lock);
      return true;
    }
    // Its server closed and removed it meanwhile: try again.
  }
  SetLastError(ERROR_BUSY);
  return false;
}

std::string TemporarySocketName() {
  static std::atomic<unsigned> counter{0};
  return "S" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".TMP";
}

}  // namespace

HANDLE CreateMailslotA(LPCSTR name, DWORD maxMessageSize, DWORD readTimeout, LPSECURITY_ATTRIBUTES) {
  std::vector<std::string> components;
  SlotDirectory dir;
  if (!OpenNamedSlotDirectory(name, true, &components, &dir)) return INVALID_HANDLE_VALUE;
  const std::string leaf = components.back();
  const std::string lockName = leaf + kLockSuffix;

  UniqueFd lock;
  if (!TakeSlotLock(dir, lockName, &lock)) return INVALID_HANDLE_VALUE;
  // Until the server stands, a failure removes the lock file again (before
  // the lock is let go), so nothing of this attempt stays in the way.
  struct LockCleanup {
    const SlotDirectory& dir;
    const std::string& name;
    bool keep = false;
    ~LockCleanup() {
      if (!keep) unlinkat(dir.fd.Get(), name.c_str(), 0);
    }
  } cleanup{dir, lockName};
  char limit[32];
  int limitLength = std::snprintf(limit, sizeof(limit), "%lu\n", static_cast<unsigned long>(maxMessageSize));
  if (ftruncate(lock.Get(), 0) != 0 || pwrite(lock.Get(), limit, limitLength, 0) != limitLength) {
    SetLastErrorFromErrno(errno);
    return INVALID_HANDLE_VALUE;
  }

  UniqueFd sock(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock.Valid()) {
    SetLastErrorFromErrno(errno);
    return INVALID_HANDLE_VALUE;
  }
  int on = 1;
  setsockopt(sock.Get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof(on));

  const std::string temporary = TemporarySocketName();
  unlinkat(dir.fd.Get(), temporary.c_str(), 0);
  sockaddr_un address;
  socklen_t length;
  if (!SocketAddressIn(dir, temporary, &address, &length)) return INVALID_HANDLE_VALUE;
  if (bind(sock.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
    SetLastErrorFromErrno(errno);
    return INVALID_HANDLE_VALUE;
  }
  struct stat st;
  if (fchmodat(dir.fd.Get(), temporary.c_str(), kSocketMode, 0) != 0 ||
      fstatat(dir.fd.Get(), temporary.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      renameat(dir.fd.Get(), temporary.c_str(), dir.fd.Get(), leaf.c_str()) != 0) {
    int err = errno;
    unlinkat(dir.fd.Get(), temporary.c_str(), 0);
    SetLastError(err == EISDIR || err == ENOTEMPTY || err == EEXIST ? ERROR_ALREADY_EXISTS
                                                                    : Win32ErrorFromErrno(err, nullptr));
    return INVALID_HANDLE_VALUE;
  }
  cleanup.keep = true;  // from here on the server object owns the entries
  auto server = std::make_shared<MailslotServer>(std::move(dir), leaf, std::move(lock), std::move(sock), st.st_dev,
                                                 st.st_ino, maxMessageSize, readTimeout);
  HANDLE handle = mvn::HandleInsert(server);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    server->Close();
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_SUCCESS);
  return handle;
}

BOOL MailslotAllowWriter(HANDLE mailslot, uid_t uid) {
  auto server = mvn::HandleGetAs<MailslotServer>(mailslot);
  if (!server) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return server->AllowWriter(uid);
}

BOOL MailslotLastSender(HANDLE mailslot, MAILSLOT_SENDER* sender) {
  auto server = mvn::HandleGetAs<MailslotServer>(mailslot);
  if (!server || !sender) {
    SetLastError(server ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return server->LastSender(sender);
}

BOOL MailslotServerOwner(HANDLE writer, uid_t* owner) {
  auto client = mvn::HandleGetAs<MailslotClient>(writer);
  if (!client || !owner) {
    SetLastError(client ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *owner = client->Owner();
  return TRUE;
}

BOOL CreateMailslotDirectory(LPCSTR name) {
  std::vector<std::string> components;
  if (!ParseMailslotName(name, &components)) {
    SetLastError(ERROR_INVALID_NAME);
    return FALSE;
  }
  if (!MayCreateSharedDirectories()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  SlotDirectory dir;
  if (!OpenSlotDirectory(components, true, &dir, true)) return FALSE;
  // Made earlier without the sticky bit or the write bits: set them.
  struct stat st;
  if (fstat(dir.fd.Get(), &st) == 0 && (st.st_mode & 07777) != kSharedDirMode) fchmod(dir.fd.Get(), kSharedDirMode);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL CreateMailslotUserDirectory(LPCSTR name, uid_t uid, gid_t gid) {
  std::vector<std::string> components;
  if (!ParseMailslotName(name, &components) || components.size() < 2) {
    SetLastError(ERROR_INVALID_NAME);
    return FALSE;
  }
  if (!MayCreateSharedDirectories()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // <root>/mailslot itself, shared as for any slot.
  SlotDirectory dir;
  if (!OpenSlotDirectory({components.back()}, true, &dir)) return FALSE;
  const uid_t self = geteuid();
  // The folders above the user's: the caller's, 0755, so no user can make
  // (or has left) a name there that stands for another user's folder. One
  // made shared before loses its sticky and write bits.
  for (size_t i = 0; i + 1 < components.size(); ++i) {
    const char* part = components[i].c_str();
    if (mkdirat(dir.fd.Get(), part, 0755) != 0 && errno != EEXIST) {
      SetLastErrorFromErrno(errno);
      return FALSE;
    }
    UniqueFd next(openat(dir.fd.Get(), part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!next.Valid() || fstat(next.Get(), &st) != 0 || st.st_uid != self) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    if ((st.st_mode & 07777) != 0755 && fchmod(next.Get(), 0755) != 0) {
      SetLastErrorFromErrno(errno);
      return FALSE;
    }
    dir.fd = std::move(next);
    dir.path += "/" + components[i];
  }
  // The user's folder: kept when it is theirs and nobody else may write it;
  // anything else under the name (a socket or lock file another user left
  // while the folder above was shared, a folder of someone else) is moved
  // aside, so it never stands in for the user's own.
  const std::string& leaf = components.back();
  static std::atomic<unsigned> s_aside{0};
  for (int attempt = 0; attempt < 8; ++attempt) {
    struct stat st;
    if (fstatat(dir.fd.Get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISDIR(st.st_mode) && st.st_uid == uid && (st.st_mode & 022) == 0) break;
      const std::string aside =
          "." + leaf + ".stale-" + std::to_string(getpid()) + "-" + std::to_string(s_aside++);
      if (renameat(dir.fd.Get(), leaf.c_str(), dir.fd.Get(), aside.c_str()) != 0) {
        SetLastErrorFromErrno(errno);
        return FALSE;
      }
      continue;
    }
    if (errno != ENOENT) {
      SetLastErrorFromErrno(errno);
      return FALSE;
    }
    // Made private, given to the user, then opened to readers.
    if (mkdirat(dir.fd.Get(), leaf.c_str(), 0700) != 0 && errno != EEXIST) {
      SetLastErrorFromErrno(errno);
      return FALSE;
    }
    UniqueFd made(openat(dir.fd.Get(), leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!made.Valid() || fstat(made.Get(), &st) != 0) continue;
    if (st.st_uid == self && st.st_uid != uid && (fchown(made.Get(), uid, gid) != 0)) {
      SetLastErrorFromErrno(errno);
      return FALSE;
    }
    if (fchmod(made.Get(), 0755) != 0) {
      SetLastErrorFromErrno(errno);
      return FALSE;
    }
  }
  struct stat st;
  if (fstatat(dir.fd.Get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) ||
      st.st_uid != uid || (st.st_mode & 022) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL MailslotLastSender(HANDLE mailslot, uid_t* uid, pid_t* pid) {
  MAILSLOT_SENDER sender;
  if (!MailslotLastSender(mailslot, &sender)) return FALSE;
  if (uid) *uid = sender.uid;
  if (pid) *pid = sender.pid;
  return TRUE;
}

// CreateFileA hands "\\.\mailslot\" names to the writer's opener. This runs
// in every program that links the layer (the build forces this object in
// through the symbol below), so a program that only writes gets it too.
extern "C" {
int mvn_mailslot_link_anchor = 0;
}

__attribute__((constructor)) static void RegisterMailslotNamespace() {
  mvn::RegisterDeviceNamespace("\\\\.\\mailslot\\", OpenMailslotClient);
}
