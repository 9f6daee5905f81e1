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

}  // namespace mvn::spooler::service
