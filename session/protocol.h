// The control protocol: the session with one audio server over one control
// connection, its messages in both directions, and the matching of replies
// to requests by sequence number.
//
// A session opens with the setup exchange: the driver's setup request is
// the first message on the connection, and the server either refuses or
// lists its devices and their controls. After that the driver sends
// requests (open a UDP stream for playback or recording, close or pause it,
// set or query a control); those that expect an answer are kept on a
// pending list, oldest first. Every request after the setup request counts,
// so sequence numbers run from 1 on each session, and a reply carries the
// number of the request it answers. A reply for a later request completes
// every older pending request with no reply: the server skipped them.
//
// Every message starts with the connection's 4-byte header (type, one
// message-specific byte, length in 4-byte words); all fields are
// little-endian, and every message is built and read by wire/messages.
//
// Locking: everything here is called with drvLock held: requests on
// application threads (which call loopWake afterwards), handlers and
// completions on the I/O thread.
//
// Ending: the owner ends a session with sessionClose, which closes its
// connection; the connection's closed callback, sessionOnClosed, then tells
// the owner (once),
// completes every pending request with no reply, and frees the session.
// Messages that reach a connection whose session is gone are ignored.
#pragma once

#include "audio/formats.h"
#include "net/control.h"
#include "platform/platform.h"
#include "wire/auth.h"
#include "wire/messages.h"

struct StreamSlot;
struct PlaySource;
struct RecordSink;

// The messages' layouts are those of wire/messages.h.

// What a query completion receives when the server skipped the request: no
// level in the high half (0x8000, the mixer's "unknown").
constexpr DWORD QUERY_NO_VALUE = 0x80000000;

// What the open-stream request asks for: a playback lead of 256 frames,
// recording bursts of twice the sink's largest delivery, and either bounded
// by the ring's 65536 frames.
constexpr DWORD PLAY_REQUEST_LEAD = 256;
constexpr DWORD REQUEST_MAX_LEAD = RING_FRAMES;
// The request's adaptive flag: the driver never asks the server to choose
// the first format by round-trip time, and follows what its reply says.
constexpr BYTE REQUEST_ADAPTIVE = 0;

// One device of the server, as listed in the setup reply (8 bytes, copied as
// they arrived): byte 0 direction (0 playback, 1 recording), bytes 2-3 id.
struct ServerDevice {
  BYTE bytes[SETUP_ENTRY_BYTES];
};
// One control: byte 0 kind, bytes 2-3 control id, bytes 4-5 device id.
struct ServerControl {
  BYTE bytes[SETUP_ENTRY_BYTES];
};

BYTE serverDeviceDirection(const ServerDevice *device);
WORD serverDeviceId(const ServerDevice *device);
BYTE serverControlKind(const ServerControl *control);
WORD serverControlId(const ServerControl *control);
WORD serverControlDevice(const ServerControl *control);

struct ServerSession;

// Completion of a request: reply is the message in the receive buffer
// (valid only during the call), or null when the server skipped the
// request or the session ended first.
typedef void (*PendingHandler)(ServerSession *session, const BYTE *reply, void *context);

struct PendingRequest {
  PendingRequest *next;
  DWORD sequence;  // the request's number on this session
  PendingHandler handler;
  void *context;  // the request's own record, freed by the handler
};

typedef int (*SetupCallback)(ServerSession *session, void *user);  // non-zero keeps the session
typedef void (*SessionClosedCallback)(ServerSession *session, void *user);
typedef void (*SessionEventHandler)(ServerSession *session, const BYTE *message);
// The outcome of an open-stream request: the bound slot, or null.
typedef void (*StreamOpenedCallback)(ServerSession *session, StreamSlot *slot, void *user);
// The outcome of a query: the control's 32-bit value, or QUERY_NO_VALUE.
typedef void (*ControlQueriedCallback)(ServerSession *session, DWORD controlId, DWORD value,
                                       void *user);

constexpr DWORD SESSION_EVENT_HANDLERS = 4;

// Why a server would not serve a session for want of a key (wire/auth.h),
// for the owner's closed callback to read.
enum : BYTE {
  SESSION_KEY_FINE = 0,
  SESSION_KEY_MISSING = 1,  // the server requires a key, and this user holds none for it
  SESSION_KEY_REFUSED = 2,  // the server did not take the proof of the key held
};

struct ServerSession {
  ControlConnection *connection;  // its session field points back here
  SetupCallback setupCallback;
  SessionClosedCallback closedCallback;  // may be null
  void *user;
  DWORD requestCounter;  // requests sent after the setup request
  WORD deviceCount;
  WORD controlCount;
  ServerDevice *devices;    // one block: the devices, then the controls; null before setup
  ServerControl *controls;  // the first control in that block
  PendingRequest *pending;  // oldest first
  SessionEventHandler eventHandlers[SESSION_EVENT_HANDLERS];  // by type byte; none set
  BYTE keyHeld;         // the user's store has a key for this server: the setup offers it
  BYTE keyProblem;      // SESSION_KEY_*
  BYTE setupRefused;    // 1 once the server refused the setup
  BYTE key[KEY_BYTES];  // wiped before the session is freed
};

// The receive tables of the two phases.
extern const MessageTable sessionSetupTable;
extern const MessageTable sessionRunningTable;

// Opens the connection to address (the "a.b.c.d:port" text) and queues the
// setup request, which offers a key when the user's store holds one for
// "a.b.c.d:port" or, failing that, for "a.b.c.d". Returns the session, or
// null with nothing left behind.
ServerSession *sessionOpen(const char *address, SetupCallback setupCallback,
                           SessionClosedCallback closedCallback, void *user);
// Ends the session: closes its connection, whose closed callback runs
// before this returns, and wakes the I/O thread to flush and free it.
void sessionClose(ServerSession *session);
// The connection's closed callback, and the common end of a session (see
// the header comment). Does not close the connection.
void sessionOnClosed(ControlConnection *connection);

// Requests. Each returns 1 when the request was queued, 0 when it was not
// (nothing is left pending then); those without a result cannot fail in a
// way the caller could act on.
int requestOpenPlayStream(ServerSession *session, PlaySource *owner, WORD deviceId,
                          StreamOpenedCallback callback, void *user);
int requestOpenRecordStream(ServerSession *session, RecordSink *owner, WORD deviceId,
                            StreamOpenedCallback callback, void *user);
// Tells the server and closes the slot locally.
void requestCloseStream(ServerSession *session, StreamSlot *slot);
int requestSetControl(ServerSession *session, WORD controlId, DWORD value);
int requestQueryControl(ServerSession *session, WORD controlId, ControlQueriedCallback callback,
                        void *user);
// A pause tells the server and pauses the local stream; a resume only
// resumes the local play sender.
void requestPauseStream(ServerSession *session, StreamSlot *slot, DWORD paused);

// Receive handlers of the tables (I/O thread); message is complete and at
// least 8 bytes long.
void sessionOnSetupRefused(ControlConnection *connection, const BYTE *message);
void sessionOnSetupAccepted(ControlConnection *connection, const BYTE *message);
void sessionOnReply(ControlConnection *connection, const BYTE *message);
void sessionOnEvent(ControlConnection *connection, const BYTE *message);

// Reply handlers of the pending requests.
void onPlayStreamOpened(ServerSession *session, const BYTE *reply, void *context);
void onRecordStreamOpened(ServerSession *session, const BYTE *reply, void *context);
void onControlQueried(ServerSession *session, const BYTE *reply, void *context);
