// The session, its requests, and the handlers of the server's messages.
#include "session/protocol.h"

#include <cassert>
#include <cstring>
#include <iterator>

#include "audio/formats.h"
#include "net/lock.h"
#include "net/loop.h"
#include "platform/bytes.h"
#include "platform/secrets.h"
#include "stream/endpoint.h"
#include "stream/stream.h"

namespace {

// The open-stream request of either direction, until its reply.
struct StreamRequest {
  StreamSlot *slot;  // bare until the reply binds it
  StreamOpenedCallback callback;
  void *user;
  void *owner;  // the PlaySource or RecordSink the stream will serve
};

struct QueryRequest {
  DWORD controlId;
  ControlQueriedCallback callback;
  void *user;
};

// A received message as the span its header gives: the connection hands on
// only whole messages.
std::span<const uint8_t> messageSpan(const BYTE *message) {
  return std::span<const uint8_t>(message, messageLength(message));
}

ServerSession *sessionOf(ControlConnection *connection) {
  return static_cast<ServerSession *>(connection->session);
}

// Queues a built message on the session's connection. When the send fails
// the connection closes, and with it the session: afterwards sessionGone
// tells so, and the caller touches nothing the owner's closed callback may
// have freed.
int sessionSend(ServerSession *session, const BYTE *message) {
  return connSend(session->connection, message);
}

bool sessionGone(ControlConnection *connection, ServerSession *session) {
  return sessionOf(connection) != session;
}

// Appends a pending request numbered for the request about to be counted.
// Null without memory.
PendingRequest *pendingAppend(ServerSession *session, PendingHandler handler, void *context) {
  PendingRequest *p = static_cast<PendingRequest *>(memAllocZero(sizeof *p));
  if (!p) return nullptr;
  p->sequence = session->requestCounter + 1;
  p->handler = handler;
  p->context = context;
  PendingRequest **link = &session->pending;
  while (*link) link = &(*link)->next;
  *link = p;
  return p;
}

// Unlinks the oldest pending request, runs its handler and frees it.
void pendingComplete(ServerSession *session, const BYTE *reply) {
  PendingRequest *p = session->pending;
  session->pending = p->next;
  p->handler(session, reply, p->context);
  LocalFree(p);
}

// A session that cannot go on (a refused or broken setup, no memory, a
// setup its owner rejects) closes its connection itself: the owner hears of
// the end through the closed callback and will not close it.

DWORD socketAddress(SOCKET s, bool peer, WORD *port = nullptr) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  socklen_t length = sizeof address;
  int result = peer ? getpeername(s, reinterpret_cast<sockaddr *>(&address), &length)
                    : getsockname(s, reinterpret_cast<sockaddr *>(&address), &length);
  if (port) *port = result == 0 ? ntohs(address.sin_port) : 0;
  return result == 0 ? ntohl(address.sin_addr.s_addr) : 0;
}

// The user's key for the server at address ("a.b.c.d:port"): the one
// stored for the address and port, else the one for the address.
bool keyFind(const char *address, BYTE key[KEY_BYTES]) {
  char text[KEY_TEXT_CHARS + 8];
  if (lvUserKeyText(address, text, sizeof text) && keyTextParse(text, key)) return true;
  char host[24];
  size_t n = 0;
  while (address[n] && address[n] != ':' && n + 1 < sizeof host) host[n] = address[n], ++n;
  host[n] = 0;
  return address[n] == ':' && lvUserKeyText(host, text, sizeof text) && keyTextParse(text, key);
}

// Stores that the compiler may not drop although the block is freed next.
void keyWipe(BYTE *key) {
  volatile BYTE *at = key;
  for (size_t i = 0; i < KEY_BYTES; ++i) at[i] = 0;
}

// Answers the setup's challenge with the proof of the session's key, as
// the first request. Returns 0 when it cannot be sent (the session may be
// gone then).
int sessionProveKey(ServerSession *session, const uint8_t challenge[CHALLENGE_NONCE_BYTES]) {
  SOCKET s = session->connection->socket;
  AddressPair pair;
  pair.driverAddress = socketAddress(s, false, &pair.driverPort);
  pair.serverAddress = socketAddress(s, true, &pair.serverPort);
  BYTE nonce[PROOF_NONCE_BYTES];
  BYTE m[KEY_PROOF_BYTES];
  if (!lvRandom(nonce, sizeof nonce) || !keyProofBuild(m, session->key, challenge, nonce, pair)) {
    return 0;
  }
  session->requestCounter += 1;
  return sessionSend(session, m);
}

int requestOpenStream(ServerSession *session, BYTE direction, void *owner, DWORD rate, DWORD lead,
                      WORD deviceId, PendingHandler handler, StreamOpenedCallback callback,
                      void *user) {
  assert(drvLockHeld());
  StreamRequest *request = static_cast<StreamRequest *>(memAllocZero(sizeof *request));
  if (!request) return 0;
  StreamSlot *slot = slotCreate();
  if (!slot) {
    LocalFree(request);
    return 0;
  }
  *request = {slot, callback, user, owner};
  BYTE m[OPEN_STREAM_BYTES];
  OpenStreamRequest open = {direction,
                            socketAddress(session->connection->socket, false),
                            slot->localPort,
                            REQUEST_ADAPTIVE,
                            rate,
                            slot->id,
                            lead,
                            REQUEST_MAX_LEAD,
                            deviceId};
  openStreamBuild(m, open);
  if (!pendingAppend(session, handler, request)) {
    slotClose(slot);
    LocalFree(request);
    return 0;
  }
  session->requestCounter += 1;
  return sessionSend(session, m);
}

// Whether a stream reply accepts and holds every field the binding reads.
bool streamAccepted(const BYTE *reply, StreamReply *fields) {
  return reply && streamReplyParse(messageSpan(reply), *fields) &&
         fields->status == STATUS_ACCEPTED;
}

// Ends a stream request: the callback learns the slot (or null), and the
// request record goes.
void streamRequestEnd(ServerSession *session, StreamRequest *request, StreamSlot *slot) {
  if (!slot) slotClose(request->slot);
  request->callback(session, slot, request->user);
  LocalFree(request);
}

}  // namespace

BYTE serverDeviceDirection(const ServerDevice *device) { return device->bytes[0]; }
WORD serverDeviceId(const ServerDevice *device) { return load16(device->bytes + 2); }
BYTE serverControlKind(const ServerControl *control) { return control->bytes[0]; }
WORD serverControlId(const ServerControl *control) { return load16(control->bytes + 2); }
WORD serverControlDevice(const ServerControl *control) { return load16(control->bytes + 4); }

namespace {

const MessageEntry SETUP_ENTRIES[] = {
    {"bbsss", sessionOnSetupRefused},
    {"lssssl", sessionOnSetupAccepted},
};
const MessageEntry RUNNING_ENTRIES[] = {
    {"bbslsbblll", sessionOnReply},
    {"bbslll", sessionOnReply},
    {"bbsssll", sessionOnEvent},
};

}  // namespace

const MessageTable sessionSetupTable = {SETUP_ENTRIES, DWORD(std::size(SETUP_ENTRIES))};
const MessageTable sessionRunningTable = {RUNNING_ENTRIES, DWORD(std::size(RUNNING_ENTRIES))};

ServerSession *sessionOpen(const char *address, SetupCallback setupCallback,
                           SessionClosedCallback closedCallback, void *user) {
  assert(drvLockHeld());
  ServerSession *session = static_cast<ServerSession *>(memAllocZero(sizeof *session));
  if (!session) return nullptr;
  ControlConnection *connection = connOpen(address, &sessionSetupTable, sessionOnClosed);
  if (!connection) {
    LocalFree(session);
    return nullptr;
  }
  connection->session = session;
  session->connection = connection;
  session->setupCallback = setupCallback;
  session->closedCallback = closedCallback;
  session->user = user;
  session->keyHeld = keyFind(address, session->key);
  // The setup request: version 1, three zero words. It is not counted.
  BYTE m[SETUP_REQUEST_BYTES];
  setupRequestBuild(m, session->keyHeld);
  if (!connSend(connection, m)) {
    connClose(connection);  // released already by the failed send's close
    return nullptr;
  }
  return session;
}

// Every pending request completes with no reply before the owner hears of
// the end, so nobody waits out a time-out for an answer that cannot come.
void sessionOnClosed(ControlConnection *connection) {
  assert(drvLockHeld());
  ServerSession *session = sessionOf(connection);
  if (!session) return;
  connection->session = nullptr;  // messages from now on find no session
  while (session->pending) pendingComplete(session, nullptr);
  if (session->closedCallback) session->closedCallback(session, session->user);
  LocalFree(session->devices);
  keyWipe(session->key);
  LocalFree(session);
}

void sessionClose(ServerSession *session) {
  assert(drvLockHeld());
  connClose(session->connection);
  loopWake();
}

int requestOpenPlayStream(ServerSession *session, PlaySource *owner, WORD deviceId,
                          StreamOpenedCallback callback, void *user) {
  return requestOpenStream(session, DIRECTION_PLAYBACK, owner, owner->ring->rate, PLAY_REQUEST_LEAD,
                           deviceId, onPlayStreamOpened, callback, user);
}

int requestOpenRecordStream(ServerSession *session, RecordSink *owner, WORD deviceId,
                            StreamOpenedCallback callback, void *user) {
  return requestOpenStream(session, DIRECTION_RECORDING, owner, owner->ring->rate,
                           2 * RECORD_MAX_BURST, deviceId, onRecordStreamOpened, callback, user);
}

void requestCloseStream(ServerSession *session, StreamSlot *slot) {
  assert(drvLockHeld());
  ControlConnection *connection = session->connection;
  BYTE m[CLOSE_STREAM_BYTES];
  closeStreamBuild(m, slot->id);
  session->requestCounter += 1;
  sessionSend(session, m);
  // A failed send ended the session, and the owner's closed callback has
  // closed its stream already.
  if (!sessionGone(connection, session)) slotClose(slot);
}

int requestSetControl(ServerSession *session, WORD controlId, DWORD value) {
  assert(drvLockHeld());
  BYTE m[SET_CONTROL_BYTES];
  setControlBuild(m, {controlId, value});
  session->requestCounter += 1;
  return sessionSend(session, m);
}

int requestQueryControl(ServerSession *session, WORD controlId, ControlQueriedCallback callback,
                        void *user) {
  assert(drvLockHeld());
  QueryRequest *request = static_cast<QueryRequest *>(memAllocZero(sizeof *request));
  if (!request) return 0;
  *request = {controlId, callback, user};
  if (!pendingAppend(session, onControlQueried, request)) {
    LocalFree(request);
    return 0;
  }
  BYTE m[QUERY_CONTROL_BYTES];
  queryControlBuild(m, controlId);
  session->requestCounter += 1;
  return sessionSend(session, m);
}

void requestPauseStream(ServerSession *session, StreamSlot *slot, DWORD paused) {
  assert(drvLockHeld());
  ControlConnection *connection = session->connection;
  PlaySender *sender = slot->kind == SLOT_PLAY ? slot->sender : nullptr;
  CaptureReceiver *receiver = slot->kind == SLOT_CAPTURE ? slot->receiver : nullptr;
  if (paused) {
    BYTE m[PAUSE_STREAM_BYTES];
    pauseStreamBuild(m, {slot->id, sender     ? sender->consumed
                                   : receiver ? receiver->creditedPos
                                              : 0});
    session->requestCounter += 1;
    sessionSend(session, m);
    if (sessionGone(connection, session)) return;  // the owner's stream is gone with it
  }
  if (sender) {
    playSenderSetPaused(sender, paused);
  } else if (receiver && paused) {
    receiverStop(receiver);
  }
}

void sessionOnSetupRefused(ControlConnection *connection, const BYTE *message) {
  ServerSession *session = sessionOf(connection);
  if (!session) return;
  session->setupRefused = 1;
  if (message[1] == SETUP_REFUSED_NO_KEY) session->keyProblem = SESSION_KEY_MISSING;
  connClose(connection);
}

void sessionOnSetupAccepted(ControlConnection *connection, const BYTE *message) {
  ServerSession *session = sessionOf(connection);
  if (!session) return;
  uint16_t devices = 0, controls = 0;
  // Counts that promise more entries than the message holds: nothing is
  // copied from beyond it, and the session ends.
  if (!setupAcceptedCounts(messageSpan(message), devices, controls)) {
    connClose(connection);
    return;
  }
  DWORD listBytes = (DWORD(devices) + controls) * SETUP_ENTRY_BYTES;
  BYTE *block = nullptr;
  if (listBytes > 0) {
    block = static_cast<BYTE *>(memAllocZero(listBytes));
    if (!block) {
      connClose(connection);
      return;
    }
    std::memcpy(block, message + SETUP_LIST_OFFSET, listBytes);
  }
  session->deviceCount = devices;
  session->controlCount = controls;
  session->devices = reinterpret_cast<ServerDevice *>(block);
  session->controls =
      reinterpret_cast<ServerControl *>(block ? block + devices * SETUP_ENTRY_BYTES : nullptr);
  connection->table = &sessionRunningTable;
  // A challenge answers only an offer; a server that sets the byte
  // unasked is not one that takes proofs.
  uint8_t challenge[CHALLENGE_NONCE_BYTES];
  if (session->keyHeld && setupAcceptedChallenge(messageSpan(message), challenge) &&
      !sessionProveKey(session, challenge)) {
    if (!sessionGone(connection, session)) connClose(connection);
    return;
  }
  if (!session->setupCallback(session, session->user) && !sessionGone(connection, session)) {
    connClose(connection);
  }
}

void sessionOnReply(ControlConnection *connection, const BYTE *message) {
  DWORD sequence = load32(message + 4);
  // A handler may end the session: the session is read afresh each time.
  for (ServerSession *s = sessionOf(connection); s && s->pending; s = sessionOf(connection)) {
    LONG behind = LONG(s->pending->sequence - sequence);
    if (behind > 0) return;  // the head is newer: no request of this number waits
    pendingComplete(s, behind == 0 ? message : nullptr);
    if (behind == 0) return;
  }
}

void sessionOnEvent(ControlConnection *connection, const BYTE *message) {
  ServerSession *session = sessionOf(connection);
  if (!session) return;
  // The server ends the connection next.
  if (message[0] == TYPE_EVENT && message[1] == EVENT_KEY_REFUSED) {
    session->keyProblem = SESSION_KEY_REFUSED;
  }
  if (message[0] >= SESSION_EVENT_HANDLERS) return;
  if (SessionEventHandler handler = session->eventHandlers[message[0]]) handler(session, message);
}

// The request's slot when the reply grants the stream, else null. The
// datagrams go to the host the control connection reached, whatever the
// reply says, and the receiver takes them from no other; *server is that
// host.
static StreamSlot *streamGranted(ServerSession *session, StreamRequest *request,
                                 const BYTE *reply, StreamReply *fields, DWORD *server) {
  *server = streamAccepted(reply, fields) ? socketAddress(session->connection->socket, true) : 0;
  return *server != 0 ? request->slot : nullptr;
}

void onPlayStreamOpened(ServerSession *session, const BYTE *reply, void *context) {
  StreamRequest *request = static_cast<StreamRequest *>(context);
  StreamReply fields;
  DWORD server;
  StreamSlot *slot = streamGranted(session, request, reply, &fields, &server);
  if (slot) {
    slotBindPlay(slot, static_cast<PlaySource *>(request->owner), server, fields.port,
                 fields.minLead, fields.maxLead, fields.adaptive, fields.rate);
  }
  streamRequestEnd(session, request, slot);
}

void onRecordStreamOpened(ServerSession *session, const BYTE *reply, void *context) {
  StreamRequest *request = static_cast<StreamRequest *>(context);
  StreamReply fields;
  DWORD server;
  StreamSlot *slot = streamGranted(session, request, reply, &fields, &server);
  if (slot) slotBindCapture(slot, static_cast<RecordSink *>(request->owner), server, fields.rate);
  streamRequestEnd(session, request, slot);
}

void onControlQueried(ServerSession *session, const BYTE *reply, void *context) {
  QueryRequest *request = static_cast<QueryRequest *>(context);
  uint32_t value = QUERY_NO_VALUE;
  if (reply && !queryReplyParse(messageSpan(reply), value)) value = QUERY_NO_VALUE;
  request->callback(session, request->controlId, value, request->user);
  LocalFree(request);
}
