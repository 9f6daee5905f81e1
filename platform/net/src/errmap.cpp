// errno and resolver results as Winsock error numbers: explicit tables, so
// that every number the layer reports is one the system's error table
// knows. (This unit sees the system's headers, so the numbers are written
// out here; they equal the WSA... constants of platform/net/winsock.h.)
#include <netdb.h>

#include <cerrno>

int WsaErrorFromErrno(int err);
int WsaErrorFromResolver(int eaiCode, int err);

namespace {

struct ErrnoRow {
  int err;
  int wsa;
};

constexpr ErrnoRow kErrnoTable[] = {
    {EINTR, 10004},            // WSAEINTR
    {EACCES, 10013},           // WSAEACCES
    {EPERM, 10013},            // WSAEACCES
    {EFAULT, 10014},           // WSAEFAULT
    {EINVAL, 10022},           // WSAEINVAL
    {EMFILE, 10024},           // WSAEMFILE
    {ENFILE, 10024},           // WSAEMFILE
    {EAGAIN, 10035},           // WSAEWOULDBLOCK (EWOULDBLOCK is the same value)
    {EINPROGRESS, 10036},      // WSAEINPROGRESS
    {EALREADY, 10037},         // WSAEALREADY
    {ENOTSOCK, 10038},         // WSAENOTSOCK
    {EBADF, 10038},            // WSAENOTSOCK
    {EDESTADDRREQ, 10039},     // WSAEDESTADDRREQ
    {EMSGSIZE, 10040},         // WSAEMSGSIZE
    {EPROTOTYPE, 10041},       // WSAEPROTOTYPE
    {ENOPROTOOPT, 10042},      // WSAENOPROTOOPT
    {EPROTONOSUPPORT, 10043},  // WSAEPROTONOSUPPORT
    {ESOCKTNOSUPPORT, 10044},  // WSAESOCKTNOSUPPORT
    {EOPNOTSUPP, 10045},       // WSAEOPNOTSUPP
    {EPFNOSUPPORT, 10046},     // WSAEPFNOSUPPORT
    {EAFNOSUPPORT, 10047},     // WSAEAFNOSUPPORT
    {EADDRINUSE, 10048},       // WSAEADDRINUSE
    {EADDRNOTAVAIL, 10049},    // WSAEADDRNOTAVAIL
    {ENETDOWN, 10050},         // WSAENETDOWN
    {ENETUNREACH, 10051},      // WSAENETUNREACH
    {ENETRESET, 10052},        // WSAENETRESET
    {ECONNABORTED, 10053},     // WSAECONNABORTED
    {ECONNRESET, 10054},       // WSAECONNRESET
    {EPIPE, 10054},            // WSAECONNRESET: the peer has closed the stream
    {ENOBUFS, 10055},          // WSAENOBUFS
    {ENOMEM, 10055},           // WSAENOBUFS
    {EISCONN, 10056},          // WSAEISCONN
    {ENOTCONN, 10057},         // WSAENOTCONN
    {ESHUTDOWN, 10058},        // WSAESHUTDOWN
    {ETIMEDOUT, 10060},        // WSAETIMEDOUT
    {ECONNREFUSED, 10061},     // WSAECONNREFUSED
    {EHOSTDOWN, 10064},        // WSAEHOSTDOWN
    {EHOSTUNREACH, 10065},     // WSAEHOSTUNREACH
};

}  // namespace

int WsaErrorFromErrno(int err) {
  if (err == 0) return 0;
  for (const ErrnoRow& row : kErrnoTable)
    if (row.err == err) return row.wsa;
  return 10107;  // WSASYSCALLFAILURE
}

int WsaErrorFromResolver(int eaiCode, int err) {
  switch (eaiCode) {
    case 0:
      return 0;
    case EAI_NONAME:
      return 11001;  // WSAHOST_NOT_FOUND
    case EAI_AGAIN:
      return 11002;  // WSATRY_AGAIN
    case EAI_FAIL:
      return 11003;  // WSANO_RECOVERY
#ifdef EAI_NODATA
    case EAI_NODATA:
      return 11004;  // WSANO_DATA
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
      return 11004;  // WSANO_DATA: the name has no IPv4 address
#endif
    case EAI_FAMILY:
      return 10047;  // WSAEAFNOSUPPORT
    case EAI_SOCKTYPE:
      return 10044;  // WSAESOCKTNOSUPPORT
    case EAI_SERVICE:
      return 10109;  // WSATYPE_NOT_FOUND
    case EAI_MEMORY:
      return 8;  // WSA_NOT_ENOUGH_MEMORY
    case EAI_BADFLAGS:
      return 10022;  // WSAEINVAL
    case EAI_SYSTEM:
      return WsaErrorFromErrno(err);
    default:
      return 11003;  // WSANO_RECOVERY
  }
}
