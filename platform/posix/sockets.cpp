// The Winsock additions over BSD sockets.
#include "platform/posix/sockets.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

// The Linux value of FIONBIO, accepted too in case a caller's headers
// defined it before ours.
static constexpr unsigned long LINUX_FIONBIO = 0x5421;
static constexpr unsigned long WINSOCK_FIONBIO = 0x8004667Eu;

int WSAStartup(WORD versionRequested, LPWSADATA data) {
  // Winsock never raises signals; a send on a reset connection must fail
  // with an error, not end the process. Only a default disposition is
  // changed, so a host that handles SIGPIPE itself keeps its handler.
  struct sigaction current;
  if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
    signal(SIGPIPE, SIG_IGN);
  }
  if (data) {
    std::memset(data, 0, sizeof *data);
    data->wVersion = 0x0101;
    data->wHighVersion = 0x0101;
    std::strcpy(data->szDescription, "POSIX sockets");
    std::strcpy(data->szSystemStatus, "Running");
    data->iMaxSockets = 0xFFFF;
    data->iMaxUdpDg = 0xFFFF;
  }
  (void)versionRequested;
  return 0;
}

int WSACleanup(void) { return 0; }

int lvWsaErrorFromErrno(int error) {
  switch (error) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF:
    case ENOTSOCK: return WSAENOTSOCK;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS: return WSAEWOULDBLOCK;  // Winsock's connect in progress
    case EALREADY: return WSAEALREADY;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTUNREACH:
    case EHOSTDOWN: return WSAEHOSTUNREACH;
    default: return WSAEINVAL;
  }
}

int WSAGetLastError(void) { return lvWsaErrorFromErrno(errno); }

int closesocket(SOCKET s) { return close(s) == 0 ? 0 : SOCKET_ERROR; }

SOCKET lvSocket(int type) { return socket(AF_INET, type | SOCK_CLOEXEC, 0); }

int ioctlsocket(SOCKET s, long command, unsigned long *argument) {
  unsigned long cmd = (unsigned long)command & 0xFFFFFFFFu;
  if ((cmd != WINSOCK_FIONBIO && cmd != LINUX_FIONBIO) || argument == nullptr) {
    errno = EINVAL;
    return SOCKET_ERROR;
  }
  int flags = fcntl(s, F_GETFL);
  if (flags < 0) return SOCKET_ERROR;
  flags = *argument ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(s, F_SETFL, flags) == 0 ? 0 : SOCKET_ERROR;
}
