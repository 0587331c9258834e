// The control connection: address texts and the connect, framing on
// receive, the send queue, and the orderly close.
//
// Three rules keep a connection from outliving its use, whatever the peer
// sends:
//   - a received length field of 0 or 1 (a message shorter than its own
//     header and length word) closes the connection: such a message would
//     be dispatched again every turn, or framed from a header the reader
//     never saw whole;
//   - a connect time-out discards the queued output even when it is the
//     first close, so that the connect watcher goes and the record is freed
//     (the I/O thread's stop waits for the write list to empty);
//   - once closed, a connection queues nothing more, since only the output
//     queued before the close is flushed, and a send registered on a
//     connect that never completes would never end;
//   - the flush after a close is bounded as the connect is: a peer that
//     stops reading would otherwise keep the write watcher, and with it the
//     I/O thread's stop, waiting for ever. The connect timer, rescheduled,
//     discards the output when the bound passes.
// A socket that reports readiness but then would block is simply waited on
// again: "would block" is no failure of the connection.
#include "net/control.h"

#include <cassert>
#include <cstring>

#include "net/lock.h"

static constexpr DWORD LOOPBACK_ADDRESS = 0x7F000001;  // 127.0.0.1, host order
static constexpr DWORD PORT_MODULUS = 65536;

DWORD parsePort(const char *text) {
  DWORD value = 0;
  for (; *text >= '0' && *text <= '9'; text++) value = value * 10 + DWORD(*text - '0');
  return value;
}

// The port of an address text, host order: the default without a colon,
// display numbers (below 100) counted from the default.
static WORD connPort(const char *colon) {
  if (!colon) return CONN_DEFAULT_PORT;
  DWORD port = parsePort(colon + 1) % PORT_MODULUS;
  if (port < CONN_SMALL_PORT_LIMIT) port += CONN_DEFAULT_PORT;
  return WORD(port);
}

// The host part (up to the last colon) as an address in network order.
// Returns 0 when the text is too long or the name is unknown.
static int connHostAddress(const char *text, const char *colon, in_addr *address) {
  if (colon == text) {
    address->s_addr = htonl(LOOPBACK_ADDRESS);
    return 1;
  }
  size_t length = colon ? size_t(colon - text) : std::strlen(text);
  if (length >= CONN_HOST_CHARS) return 0;
  char host[CONN_HOST_CHARS];
  std::memcpy(host, text, length);
  host[length] = '\0';
  unsigned long numeric = inet_addr(host);
  if (numeric != INADDR_NONE) {
    address->s_addr = numeric;
    return 1;
  }
  hostent *entry = gethostbyname(host);
  if (!entry || entry->h_addrtype != AF_INET || entry->h_length != 4 || !entry->h_addr_list[0]) {
    return 0;
  }
  std::memcpy(&address->s_addr, entry->h_addr_list[0], 4);
  return 1;
}

static void connSetNonBlocking(SOCKET s) {
  unsigned long on = 1;
  ioctlsocket(s, FIONBIO, &on);
}

ControlConnection *connCreate(SOCKET socket, const MessageTable *table,
                              ConnClosedCallback closedCallback) {
  assert(drvLockHeld());
  ControlConnection *c = static_cast<ControlConnection *>(memAllocZero(sizeof *c));
  if (!c) {
    closesocket(socket);
    return nullptr;
  }
  c->neededLength = CONN_MIN_MESSAGE_BYTES;
  c->table = table;
  c->closedCallback = closedCallback;
  c->socket = socket;
  workInit(&c->finalize, connFinalize, c, CONN_FINALIZE_PRIORITY);
  timerInit(&c->connectTimer, connOnConnectTimeout, c, CONN_FINALIZE_PRIORITY);
  return c;
}

ControlConnection *connOpen(const char *address, const MessageTable *table,
                            ConnClosedCallback closedCallback) {
  assert(drvLockHeld());
  int blocking = address[0] == '=';
  if (blocking) address++;
  const char *colon = std::strrchr(address, ':');
  sockaddr_in to;
  std::memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  if (!connHostAddress(address, colon, &to.sin_addr)) return nullptr;
  to.sin_port = htons(connPort(colon));

  SOCKET s = lvSocket(SOCK_STREAM);
  if (s == INVALID_SOCKET) return nullptr;
  if (!blocking) connSetNonBlocking(s);
  if (connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0) {
    int error = WSAGetLastError();
    if (error != WSAEINPROGRESS && error != WSAEWOULDBLOCK) {
      closesocket(s);
      return nullptr;
    }
  }
  if (blocking) connSetNonBlocking(s);

  ControlConnection *c = connCreate(s, table, closedCallback);
  if (!c) return nullptr;
  watcherInit(&c->writeWatcher, s, connOnConnected, c, CONN_WATCHER_PRIORITY);
  if (!c->writeRegistered) {
    c->writeRegistered = 1;
    loopAddWriter(&c->writeWatcher);
  }
  timerSchedule(&c->connectTimer, tickNow() + CONN_CONNECT_TIMEOUT_MS);
  return c;
}

// The connect has completed: the socket became writable, or (on Windows,
// for a refused or failed connect) reported an exception. A failed one is
// closed at once, its output with it, so that the owner learns of it now
// rather than at the end of its own wait.
int connOnConnected(void *user) {
  ControlConnection *c = static_cast<ControlConnection *>(user);
  assert(drvLockHeld());
  timerCancel(&c->connectTimer);
  if (c->writeRegistered) {
    c->writeRegistered = 0;
    loopRemoveWriter(&c->writeWatcher);
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(c->socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &length) == 0 &&
      error != 0) {
    c->sendFill = 0;
    c->sendDone = 0;
    connClose(c);
    return 0;
  }
  connStartIo(c);
  return 0;
}

// 37.5 s without a completed connect, or without the flush after a close
// completing. The output still queued (the setup request, or what the peer
// will not read) can never go out now, so it is dropped before the close;
// then the close removes the write watcher and the finalize work item frees
// the record, whether or not the owner closed first.
void connOnConnectTimeout(void *user) {
  ControlConnection *c = static_cast<ControlConnection *>(user);
  assert(drvLockHeld());
  c->sendFill = 0;
  c->sendDone = 0;
  connClose(c);
}

void connStartIo(ControlConnection *c) {
  assert(drvLockHeld());
  watcherInit(&c->readWatcher, c->socket, connOnReadable, c, CONN_WATCHER_PRIORITY);
  watcherInit(&c->writeWatcher, c->socket, connOnWritable, c, CONN_WATCHER_PRIORITY);
  if (!c->readRegistered && !c->closed) {
    c->readRegistered = 1;
    loopAddReader(&c->readWatcher);
  }
  if (!c->writeRegistered && c->sendFill != 0) {
    c->writeRegistered = 1;
    loopAddWriter(&c->writeWatcher);
  }
}

// Moves the unconsumed bytes to the front and reads once behind them.
// Returns 1 when bytes were added; 0 when the reader must wait (nothing
// there yet, or the buffer is full with a message that can never complete:
// reading stops for good) or the connection was closed.
static int connReceive(ControlConnection *c) {
  DWORD available = c->recvFill - c->recvStart;
  if (c->recvStart != 0) {
    std::memmove(c->recvBuffer, c->recvBuffer + c->recvStart, available);
    c->recvFill = available;
    c->recvStart = 0;
  }
  if (c->recvFill == CONN_BUFFER_BYTES) {
    if (c->readRegistered) {
      c->readRegistered = 0;
      loopRemoveReader(&c->readWatcher);
    }
    return 0;
  }
  int got = recv(c->socket, reinterpret_cast<char *>(c->recvBuffer + c->recvFill),
                 int(CONN_BUFFER_BYTES - c->recvFill), 0);
  if (got < 0 && WSAGetLastError() == WSAEWOULDBLOCK) return 0;
  if (got <= 0) {
    connClose(c);  // the peer closed, or the connection failed
    return 0;
  }
  c->recvFill += DWORD(got);
  return 1;
}

// Calls the current table's handler for the message's type, if any.
static void connDispatch(ControlConnection *c, const BYTE *message) {
  if (c->closed || message[0] >= c->table->count) return;
  MessageHandler handler = c->table->entries[message[0]].handler;
  if (handler) handler(c, message);
}

// One message per call. Returns 1 while a whole header more is buffered, so
// that the loop calls again next turn without waiting for the socket:
// messages that arrived together are dispatched one per turn.
int connOnReadable(void *user) {
  ControlConnection *c = static_cast<ControlConnection *>(user);
  assert(drvLockHeld());
  DWORD available = c->recvFill - c->recvStart;
  if (available < c->neededLength) {
    if (!connReceive(c)) return 0;
    available = c->recvFill - c->recvStart;
    if (available < c->neededLength) return 0;
  }
  const BYTE *message = c->recvBuffer + c->recvStart;
  DWORD length = connMessageBytes(message);
  if (length < CONN_MIN_MESSAGE_BYTES || length > CONN_BUFFER_BYTES) {
    // A length field of 0 or 1 cannot frame anything, and a message longer
    // than the buffer can never be read whole: a connection left open on
    // it would read nothing more, and every later request would wait out
    // its time-out.
    connClose(c);
    return 0;
  }
  if (c->neededLength < length) c->neededLength = length;
  if (available < length) return 0;

  connDispatch(c, message);
  c->recvStart += length;
  available -= length;
  c->neededLength = CONN_MIN_MESSAGE_BYTES;
  return available >= CONN_MIN_MESSAGE_BYTES;
}

int connSend(ControlConnection *c, const BYTE *message) {
  assert(drvLockHeld());
  if (c->closed) return 0;
  DWORD length = connMessageBytes(message);
  if (length < CONN_MIN_MESSAGE_BYTES) {
    connClose(c);  // would send nothing, and a send of 0 bytes reads as a failure
    return 0;
  }
  if (CONN_BUFFER_BYTES - c->sendFill < length) {
    if (c->sendDone != 0) {
      std::memmove(c->sendBuffer, c->sendBuffer + c->sendDone, c->sendFill - c->sendDone);
      c->sendFill -= c->sendDone;
      c->sendDone = 0;
    }
    if (CONN_BUFFER_BYTES - c->sendFill < length) {
      connClose(c);
      return 0;
    }
  }
  std::memcpy(c->sendBuffer + c->sendFill, message, length);
  // While connecting the connect watcher holds the flag: the message waits
  // for connStartIo.
  if (!c->writeRegistered) {
    c->writeRegistered = 1;
    loopAddWriter(&c->writeWatcher);
  }
  c->sendFill += length;
  return 1;
}

// Sends what is queued. Returns 1 once everything is out (the watcher has
// then removed itself), 0 while waiting for writability.
int connOnWritable(void *user) {
  ControlConnection *c = static_cast<ControlConnection *>(user);
  assert(drvLockHeld());
  if (c->sendDone < c->sendFill) {
    int sent = send(c->socket, reinterpret_cast<const char *>(c->sendBuffer + c->sendDone),
                    int(c->sendFill - c->sendDone), 0);
    if (sent < 0 && WSAGetLastError() == WSAEWOULDBLOCK) return 0;
    if (sent <= 0) {
      connClose(c);
      return 0;
    }
    c->sendDone += DWORD(sent);
    if (c->sendDone < c->sendFill) return 0;
  }
  c->sendFill = 0;
  c->sendDone = 0;
  if (c->writeRegistered) {
    c->writeRegistered = 0;
    loopRemoveWriter(&c->writeWatcher);
  }
  if (c->closed) workQueue(&c->finalize);
  return 1;
}

void connClose(ControlConnection *c) {
  assert(drvLockHeld());
  if (c->readRegistered) {
    c->readRegistered = 0;
    loopRemoveReader(&c->readWatcher);
  }
  if (c->closed) {
    c->sendFill = 0;  // a second close gives up the output
    c->sendDone = 0;
  }
  if (c->sendDone == c->sendFill && c->writeRegistered) {
    c->writeRegistered = 0;
    loopRemoveWriter(&c->writeWatcher);
  }
  if (!c->closed) {
    // While connecting the timer already runs from connOpen.
    if (c->sendDone != c->sendFill && c->writeWatcher.callback == connOnWritable) {
      timerSchedule(&c->connectTimer, tickNow() + CONN_FLUSH_TIMEOUT_MS);
    }
    c->closed = 1;
    if (c->closedCallback) c->closedCallback(c);
  }
  workQueue(&c->finalize);
}

// Frees the record once nothing is left to send; otherwise connOnWritable
// queues this again when the output is out, and a failing send closes again
// and discards it.
void connFinalize(void *user) {
  ControlConnection *c = static_cast<ControlConnection *>(user);
  assert(drvLockHeld());
  workDequeue(&c->finalize);
  if (c->sendDone != c->sendFill) return;
  // Both watchers went with the close and the last send.
  assert(!c->readRegistered && !c->writeRegistered);
  timerCancel(&c->connectTimer);
  closesocket(c->socket);
  LocalFree(c);
}
