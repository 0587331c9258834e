// Windows Sockets 1.1 subset of the POSIX runtime.
//
// The BSD calls (socket, bind, connect, send, recv, sendto, recvfrom,
// getsockname, select, gethostbyname, inet_addr, htonl, ...) have the same
// names, arguments and results as their Winsock counterparts and are used as
// the system provides them. This family adds what Winsock has and POSIX lacks:
// the SOCKET type and its sentinels, WSAStartup, closesocket, ioctlsocket and
// WSAGetLastError with errno mapped to the WSAE* codes.
//
// Sets differ: a Winsock fd_set is a counted array of at most 64 handles and
// select ignores its first argument, while a POSIX fd_set is a bitmap indexed
// by descriptor. Callers therefore count the sockets they put in a set
// themselves, check lvSocketSelectable before FD_SET, and pass the highest
// descriptor plus one to select.
#pragma once

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "platform/posix/windef.h"

typedef int SOCKET;
#define INVALID_SOCKET (-1)
#define SOCKET_ERROR (-1)

// The Winsock set capacity that callers keep to.
#define LV_SELECT_SET_LIMIT 64

#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAEALREADY 10037
#define WSAENOTSOCK 10038
#define WSAEDESTADDRREQ 10039
#define WSAEMSGSIZE 10040
#define WSAEPROTOTYPE 10041
#define WSAEPROTONOSUPPORT 10043
#define WSAEOPNOTSUPP 10045
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAENETRESET 10052
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAEHOSTUNREACH 10065

#ifndef FIONBIO
#define FIONBIO 0x8004667Eu
#endif

struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
  char szDescription[257];
  char szSystemStatus[129];
  unsigned short iMaxSockets;
  unsigned short iMaxUdpDg;
  char *lpVendorInfo;
};
typedef WSADATA *LPWSADATA;

// Keeps: reports version 1.1 and succeeds. Leaves out: reference counting
// (there is nothing to set up).
int WSAStartup(WORD versionRequested, LPWSADATA data);
int WSACleanup(void);
// Keeps: the calling thread's last socket error, errno mapped to WSAE*; a
// connect in progress reads as WSAEWOULDBLOCK, as Winsock reports it.
int WSAGetLastError(void);
// Keeps: closes the descriptor. Returns 0 or SOCKET_ERROR.
int closesocket(SOCKET s);
// An IPv4 socket of type (SOCK_STREAM or SOCK_DGRAM) that no child process
// inherits: closed on exec from its creation on (SOCK_CLOEXEC), so that a
// program the application starts keeps none of the driver's connections
// or streams open. INVALID_SOCKET on failure, the error as socket's.
SOCKET lvSocket(int type);
// Keeps: FIONBIO (non-blocking on or off). Leaves out every other command.
int ioctlsocket(SOCKET s, long command, unsigned long *argument);

// Maps an errno value to its WSAE* code (exposed for tests).
int lvWsaErrorFromErrno(int error);

// Whether a socket can be placed in a POSIX bitmap set at all.
inline bool lvSocketSelectable(SOCKET s) { return s >= 0 && s < FD_SETSIZE; }
