// The spooler service's local socket: files below <root>/spool and the
// job submission exchange between mvnprint and mvnspoold.
//
// A client connects to <root>/spool/mvnspoold.sock (a stream socket) and
// sends header lines "key=value\n" ("printer", "user", "document"), an
// empty line, then the job's data in frames: a 4-byte little-endian length
// and that many bytes; a frame of length 0 ends the data. The service
// answers with one line once the job has run: "OK <job id> <bytes>\n" or
// "ERROR <text>\n". Data that ends without the closing frame is dropped
// and never printed.
//
// A client printing a regular file may hand the service its open file
// instead of the data: the header line "data=descriptor", the empty line,
// then one byte carrying the descriptor (SCM_RIGHTS). The service reads the
// file itself from the descriptor's position to the file's end, so the job
// is copied once, straight into the spool file. The descriptor is the
// client's own: the service reads only what the client could read. It
// takes only a regular file that is open for reading and lies on a file
// system it can read without waiting on anybody (FileRefusal); anything
// else is refused with a message. Data from a pipe goes in frames.
#pragma once

#include <sys/un.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace mvn::spooler::service {

inline constexpr const char* kSocketFile = "spool/mvnspoold.sock";
inline constexpr const char* kPidFile = "spool/mvnspoold.pid";
inline constexpr const char* kReadyFile = "spool/mvnspoold.ready";
inline constexpr const char* kTemporaryDirectory = "spool/temp";
inline constexpr const char* kJobsDirectory = "spool/jobs";

inline constexpr std::uint32_t kMaxFrame = 1u << 20;
// The header key and value that announce a handed-over file.
inline constexpr const char* kDataKey = "data";
inline constexpr const char* kDescriptorData = "descriptor";
inline constexpr std::size_t kMaxHeaderLine = 4096;
inline constexpr std::size_t kMaxHeaderLines = 32;

// The service's limits: values (REG_DWORD) of the key kLimitsKey below
// HKEY_LOCAL_MACHINE, read at start; a missing or zero value keeps the
// default.
inline constexpr const char* kLimitsKey = "SYSTEM\\CurrentControlSet\\Control\\Print";
// Connections served at once, and by one user (root is not counted per
// user); a connection beyond them is refused at once with an error line.
inline constexpr const char* kMaxConnectionsValue = "MaxConnections";
inline constexpr std::uint32_t kDefaultMaxConnections = 64;
inline constexpr const char* kMaxUserConnectionsValue = "MaxConnectionsPerUser";
inline constexpr std::uint32_t kDefaultMaxUserConnections = 8;
// Seconds a connection may stay silent while its job is received.
inline constexpr const char* kReceiveTimeoutValue = "ReceiveTimeout";
inline constexpr std::uint32_t kDefaultReceiveTimeout = 30;
// The largest job in bytes.
inline constexpr const char* kMaxJobSizeValue = "MaxJobSize";
inline constexpr std::uint32_t kDefaultMaxJobSize = 1u << 30;
// The bytes the jobs of one user (not root) may hold in the spool at once,
// received or being printed; a job that would go past it stops there with
// an error line, and what it spooled is removed.
inline constexpr const char* kMaxUserSpoolValue = "MaxSpoolPerUser";
inline constexpr std::uint32_t kDefaultMaxUserSpool = 256u << 20;

// The full path of a file below the root ("" when it does not fit).
std::string RootPath(const char* relative, bool createParents);

// Reads or writes exactly size bytes, going on after interrupted calls;
// false when the descriptor fails or ends first.
bool ReadAll(int fd, void* buffer, std::size_t size);
bool WriteAll(int fd, const void* buffer, std::size_t size);

// A frame's 4-byte little-endian length.
void PutFrameLength(std::uint32_t length, unsigned char bytes[4]);
std::uint32_t FrameLength(const unsigned char bytes[4]);

// The address of the socket at path; false when the path does not fit.
bool SocketAddress(const std::string& path, sockaddr_un* address);

// What a handed-over file holds for the job: the bytes from start on, size
// when it was looked at (it may grow or shrink while it is read).
struct HandedFile {
  std::uint64_t start = 0;
  std::uint64_t size = 0;
};

// Why the file behind fd is not read as a handed-over job, or "" when it
// may be (*file then says where its data lies). Only a regular file open
// for reading counts, on a file system of this machine's mounts that is
// neither the kernel's own (proc, sys ...) nor a user's (FUSE), whose reads
// could wait for ever on the user. Nothing here waits on the file: no read,
// and its attributes as the kernel holds them (statx without a sync).
std::string FileRefusal(int fd, HandedFile* file);

// Sends one byte carrying fd (SCM_RIGHTS); false when it cannot be sent.
bool SendDescriptor(int socket, int fd);
// Receives that byte with its descriptor (close-on-exec) into *received;
// false with *error unless exactly one came. *received is whatever
// descriptor arrived (-1 for none), also on failure: the caller closes it.
// The socket's receive time-out bounds the wait.
bool ReceiveDescriptor(int socket, int* received, std::string* error);

}  // namespace mvn::spooler::service
