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

namespace spooler::service {

inline constexpr const char* kSocketFile = "spool/mvnspoold.sock";
inline constexpr const char* kPidFile = "spool/mvnspoold.pid";
inline constexpr const char* kReadyFile = "spool/mvnspoold.ready";
inline constexpr const char* kTemporaryDirectory = "spool/temp";
inline constexpr const char* kJobsDirectory = "spool/jobs";

inline constexpr std::uint32_t kMaxFrame = 1u << 20;
inline constexpr std::size_t kMaxHeaderLine = 4096;

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

}  // namespace spooler::service
