#include "fuzz/fuzz_datagram.h"

#include <cstring>

#include "fuzz/fuzz_peer.h"

namespace {
void noPoll(void *) { fuzzFail("the poll timer ran"); }
}  // namespace

sockaddr_in fuzzAddress(uint32_t host, uint16_t port) {
  sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(host);
  a.sin_port = htons(port);
  return a;
}

SOCKET fuzzServerSocket(sockaddr_in *address) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  *address = fuzzAddress(FUZZ_SERVER_HOST, 0);
  socklen_t length = sizeof *address;
  if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr *>(address), sizeof *address) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr *>(address), &length) != 0) {
    fuzzFail("server socket");
  }
  unsigned long on = 1;
  ioctlsocket(s, FIONBIO, &on);
  return s;
}

void fuzzPollStart(Timer *poll) {
  timerInit(poll, noPoll, nullptr, 0);
  timerSchedule(poll, tickNow());
}
