// The Winsock additions over BSD sockets, on real loopback sockets: start-up,
// error mapping, non-blocking mode, connects, select and the SIGPIPE rule.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/posix/sockets.h"

namespace {

// Bound on waits for something the loopback interface delivers at once.
constexpr long LONG_WAIT_MS = 10000;

// Closes the socket at the end of the test, whatever assertion ended it.
struct Socket {
  SOCKET s;
  explicit Socket(SOCKET adopted) : s(adopted) {}
  ~Socket() {
    if (s != INVALID_SOCKET) closesocket(s);
  }
  SOCKET release() { return std::exchange(s, INVALID_SOCKET); }
  operator SOCKET() const { return s; }
};

sockaddr_in loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = port;  // network order
  return a;
}

// Binds to an ephemeral loopback port and returns it, in network order.
uint16_t bindLoopback(SOCKET s) {
  sockaddr_in a = loopback(0);
  if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return 0;
  socklen_t length = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr *>(&a), &length);
  return a.sin_port;
}

int connectTo(SOCKET s, uint16_t port) {
  sockaddr_in to = loopback(port);
  return connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to);
}

bool waitFor(SOCKET s, bool writable, long ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval limit{ms / 1000, (ms % 1000) * 1000};
  int n = select(s + 1, writable ? nullptr : &set, writable ? &set : nullptr, nullptr, &limit);
  return n == 1 && FD_ISSET(s, &set);
}

TEST(Sockets, StartupReportsVersionOneOne) {
  WSADATA data;
  std::memset(&data, 0xFF, sizeof data);
  EXPECT_EQ(WSAStartup(0x0101, &data), 0);
  EXPECT_EQ(data.wVersion, 0x0101);
  EXPECT_EQ(data.wHighVersion, 0x0101);
  EXPECT_EQ(WSAStartup(0x0202, &data), 0);
  EXPECT_EQ(data.wVersion, 0x0101) << "a later version is answered with the one we have";
  EXPECT_EQ(WSACleanup(), 0);
  EXPECT_EQ(WSACleanup(), 0);
}

// The expected codes are written as Winsock's numbers, so that a wrong
// WSAE* definition fails here as well as a wrong mapping.
TEST(Sockets, ErrnoValuesMapToTheWinsockCodes) {
  const struct {
    int error;
    int code;
  } table[] = {
      {0, 0},
      {EINPROGRESS, 10035},   // WSAEWOULDBLOCK: how Winsock reports a connect in progress
      {EAGAIN, 10035},        // WSAEWOULDBLOCK
      {EWOULDBLOCK, 10035},   // WSAEWOULDBLOCK
      {ECONNREFUSED, 10061},  // WSAECONNREFUSED
      {ECONNRESET, 10054},    // WSAECONNRESET
      {EPIPE, 10054},         // WSAECONNRESET: Winsock has no broken pipe
      {EBADF, 10038},         // WSAENOTSOCK
      {ENOTSOCK, 10038},      // WSAENOTSOCK
      {ETIMEDOUT, 10060},     // WSAETIMEDOUT
      {EMSGSIZE, 10040},      // WSAEMSGSIZE
      {EDOM, 10022},          // WSAEINVAL for anything without a counterpart
      {99999, 10022},
  };
  for (const auto &row : table) EXPECT_EQ(lvWsaErrorFromErrno(row.error), row.code) << row.error;
  errno = ECONNREFUSED;
  EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
}

TEST(Sockets, NonBlockingModeMakesAnEmptyReceiveWouldBlock) {
  Socket udp(socket(AF_INET, SOCK_DGRAM, 0));
  ASSERT_NE(udp.s, INVALID_SOCKET);
  ASSERT_NE(bindLoopback(udp), 0);
  unsigned long on = 1, off = 0;
  ASSERT_EQ(ioctlsocket(udp, FIONBIO, &on), 0);
  char buffer[16];
  EXPECT_EQ(recv(udp, buffer, sizeof buffer, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  EXPECT_EQ(ioctlsocket(udp, FIONBIO, &off), 0);
  EXPECT_EQ(fcntl(udp, F_GETFL) & O_NONBLOCK, 0);

  const long FIONREAD_WINSOCK = 0x4004667F;
  EXPECT_EQ(ioctlsocket(udp, FIONREAD_WINSOCK, &on), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  EXPECT_EQ(ioctlsocket(udp, FIONBIO, nullptr), SOCKET_ERROR);
  EXPECT_EQ(ioctlsocket(INVALID_SOCKET, FIONBIO, &on), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(closesocket(INVALID_SOCKET), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(closesocket(udp.release()), 0);
}

TEST(Sockets, NonBlockingConnectToAListenerCompletes) {
  Socket listener(socket(AF_INET, SOCK_STREAM, 0)), client(socket(AF_INET, SOCK_STREAM, 0));
  ASSERT_TRUE(listener.s != INVALID_SOCKET && client.s != INVALID_SOCKET);
  uint16_t port = bindLoopback(listener);
  ASSERT_EQ(listen(listener, 1), 0);
  unsigned long on = 1;
  ASSERT_EQ(ioctlsocket(client, FIONBIO, &on), 0);
  if (connectTo(client, port) == SOCKET_ERROR) {
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  }
  EXPECT_TRUE(waitFor(client, true, LONG_WAIT_MS));
  int error = -1;
  socklen_t length = sizeof error;
  EXPECT_EQ(getsockopt(client, SOL_SOCKET, SO_ERROR, &error, &length), 0);
  EXPECT_EQ(error, 0);
  Socket accepted(accept(listener, nullptr, nullptr));
  EXPECT_NE(accepted.s, INVALID_SOCKET);
}

// Linux shows a refused connect as writable, where Winsock would not; the
// first read must then fail with the refusal so that the owner learns of it.
TEST(Sockets, RefusedConnectFailsNowOrOnTheFirstRead) {
  Socket bound(socket(AF_INET, SOCK_STREAM, 0)), client(socket(AF_INET, SOCK_STREAM, 0));
  ASSERT_TRUE(bound.s != INVALID_SOCKET && client.s != INVALID_SOCKET);
  uint16_t port = bindLoopback(bound);  // bound, never listening: the port stays refused
  ASSERT_NE(port, 0);
  unsigned long on = 1;
  ASSERT_EQ(ioctlsocket(client, FIONBIO, &on), 0);
  ASSERT_EQ(connectTo(client, port), SOCKET_ERROR);
  int code = WSAGetLastError();
  if (code == WSAEWOULDBLOCK) {
    EXPECT_TRUE(waitFor(client, true, LONG_WAIT_MS));
    char byte;
    EXPECT_EQ(recv(client, &byte, 1, 0), SOCKET_ERROR);
    code = WSAGetLastError();
  }
  EXPECT_EQ(code, WSAECONNREFUSED);
}

TEST(Sockets, SelectReportsOnlyTheSocketWithAPendingDatagram) {
  Socket rx(socket(AF_INET, SOCK_DGRAM, 0)), tx(socket(AF_INET, SOCK_DGRAM, 0));
  ASSERT_TRUE(rx.s != INVALID_SOCKET && tx.s != INVALID_SOCKET);
  uint16_t port = bindLoopback(rx);
  ASSERT_NE(port, 0);
  ASSERT_TRUE(lvSocketSelectable(rx) && lvSocketSelectable(tx));
  auto pending = [&](long ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(rx, &set);
    FD_SET(tx, &set);
    timeval limit{ms / 1000, (ms % 1000) * 1000};
    int n = select(std::max(rx.s, tx.s) + 1, &set, nullptr, nullptr, &limit);
    EXPECT_FALSE(FD_ISSET(tx, &set));
    return n == 1 && FD_ISSET(rx, &set);
  };
  EXPECT_FALSE(pending(0));
  sockaddr_in to = loopback(port);
  ASSERT_EQ(sendto(tx, "x", 1, 0, reinterpret_cast<sockaddr *>(&to), sizeof to), 1);
  EXPECT_TRUE(pending(LONG_WAIT_MS));
  char byte = 0;
  EXPECT_EQ(recv(rx, &byte, 1, 0), 1);
  EXPECT_EQ(byte, 'x');
  EXPECT_FALSE(pending(0));
}

// Without the start-up's SIGPIPE rule the second send below ends the process.
TEST(Sockets, SendToAResetPeerFailsInsteadOfRaisingSigpipe) {
  WSADATA wsa;
  ASSERT_EQ(WSAStartup(0x0101, &wsa), 0);
  Socket listener(socket(AF_INET, SOCK_STREAM, 0)), client(socket(AF_INET, SOCK_STREAM, 0));
  ASSERT_TRUE(listener.s != INVALID_SOCKET && client.s != INVALID_SOCKET);
  uint16_t port = bindLoopback(listener);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(connectTo(client, port), 0);
  {
    Socket peer(accept(listener, nullptr, nullptr));
    ASSERT_NE(peer.s, INVALID_SOCKET);
    linger reset{1, 0};  // closing with no linger time resets the connection
    ASSERT_EQ(setsockopt(peer, SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
  }
  ASSERT_TRUE(waitFor(client, false, LONG_WAIT_MS)) << "the reset arrives";
  const char data[64] = {};
  // Linux reports the reset once (ECONNRESET), then a broken pipe (EPIPE).
  EXPECT_EQ(send(client, data, sizeof data, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
  EXPECT_EQ(send(client, data, sizeof data, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
  EXPECT_EQ(WSACleanup(), 0);
}

TEST(Sockets, SelectableOnlyWithinTheBitmap) {
  EXPECT_FALSE(lvSocketSelectable(INVALID_SOCKET));
  EXPECT_FALSE(lvSocketSelectable(-2));
  EXPECT_TRUE(lvSocketSelectable(0));
  EXPECT_TRUE(lvSocketSelectable(FD_SETSIZE - 1));
  EXPECT_FALSE(lvSocketSelectable(FD_SETSIZE));
}

}  // namespace
