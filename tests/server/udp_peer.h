// The driver's end of a stream's datagrams in tests: a UDP socket on
// loopback with bounded receives, and the packet and acknowledgement
// layouts written out byte by byte.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "tests/server/server_process.h"

class UdpPeer {
 public:
  UdpPeer() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr *>(&at), sizeof at);
    socklen_t size = sizeof at;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&at), &size);
    port_ = ntohs(at.sin_port);
  }
  ~UdpPeer() { close(fd_); }
  UdpPeer(const UdpPeer &) = delete;
  UdpPeer &operator=(const UdpPeer &) = delete;

  uint16_t port() const { return port_; }
  void sendTo(uint16_t port, const Bytes &bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
  }
  // One datagram, or empty when none came within waitMs; *from gets the
  // sender's port.
  Bytes receive(int waitMs = SERVER_WAIT_MS, uint16_t *from = nullptr) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, waitMs) != 1) return {};
    Bytes b(2048);
    sockaddr_in at{};
    socklen_t size = sizeof at;
    ssize_t got = recvfrom(fd_, b.data(), b.size(), 0, reinterpret_cast<sockaddr *>(&at), &size);
    if (got < 0) return {};
    b.resize(size_t(got));
    if (from) *from = ntohs(at.sin_port);
    return b;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

inline Bytes packet(uint32_t start, uint16_t wireFrames, uint16_t duration, uint8_t kind,
                    uint8_t stereo, uint8_t rateIndex, const Bytes &payload) {
  Bytes b(12, 0);
  put32(b, 0, start);
  put16(b, 4, wireFrames);
  put16(b, 6, duration);
  b[8] = kind;
  b[9] = stereo;
  b[10] = rateIndex;
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

inline Bytes probe() { return Bytes(1412, 0); }

inline Bytes streamAck(uint32_t consumed, uint32_t receivedEnd, uint32_t lastStart,
                       uint16_t lastDuration, uint16_t unsolicited) {
  Bytes b(16, 0);
  put32(b, 0, consumed);
  put32(b, 4, receivedEnd);
  put32(b, 8, lastStart);
  put16(b, 12, lastDuration);
  put16(b, 14, unsolicited);
  return b;
}
