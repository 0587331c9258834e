// The control connection: the one TCP connection from the driver to the
// audio server on the user's terminal.
//
// Every message in both directions is framed the same way: a 4-byte header
// (type byte, one message-specific byte, the whole message's length in
// 4-byte words, little-endian) followed by the body. The connection frames
// the received byte stream into messages and hands each complete one, in
// place in the receive buffer, to the handler its type byte selects in the
// connection's current message table. Messages to send are copied into a
// send buffer and go out when the socket is writable.
//
// Both buffers are 512 bytes inside the record: no allocation per message,
// and at most one move to the front when a message does not fit behind what
// is held. A received message larger than the buffer closes the
// connection as soon as its header is read, and so does a message to send
// that does not fit.
//
// Life of a connection: connOpen starts a non-blocking connect and watches
// for writability, with a 37.5 s connect timer. Once connected, the read
// watcher runs for good and the write watcher while output is queued. The
// first connClose stops reading, runs the owner's closed callback and lets
// the queued output flush, for at most 37.5 s; a second close (a send
// error, the connect timer) throws the output away. The record is freed only by its finalize work
// item, once nothing is left to send, so a record stays valid for the rest
// of the turn in which it was closed.
//
// Locking: everything here runs with drvLock held. connOpen, connSend and
// connClose are also called on application threads, which call loopWake
// after connSend so that the I/O thread sees the new write registration.
#pragma once

#include "net/loop.h"

struct ControlConnection;
struct ServerSession;

// A receive handler: called on the I/O thread with drvLock held, with the
// complete message in the receive buffer (valid only during the call;
// handlers copy what they keep). It may send, close the connection or
// replace the message table.
typedef void (*MessageHandler)(ControlConnection *connection, const BYTE *message);
// Called with drvLock held, exactly once, by the first connClose.
typedef void (*ConnClosedCallback)(ControlConnection *connection);

struct MessageEntry {
  const char *layout;      // fields as "b", "s", "l" codes; not read by the receive path
  MessageHandler handler;  // null: the message is consumed and ignored
};

// Constant data: messages whose type byte is count or more are consumed and
// ignored.
struct MessageTable {
  const MessageEntry *entries;
  DWORD count;  // entries
};

constexpr DWORD CONN_BUFFER_BYTES = 512;     // each of the receive and send buffers
constexpr DWORD CONN_MIN_MESSAGE_BYTES = 8;  // the shortest message of the protocol
constexpr DWORD CONN_HOST_CHARS = 512;       // host texts this long or longer fail
constexpr WORD CONN_DEFAULT_PORT = 9000;     // no port, or one below 100, counts from here
constexpr WORD CONN_SMALL_PORT_LIMIT = 100;  // ports below this are display numbers
constexpr DWORD CONN_CONNECT_TIMEOUT_MS = 37500;
constexpr DWORD CONN_FLUSH_TIMEOUT_MS = 37500;  // for the output queued at a close
constexpr DWORD CONN_WATCHER_PRIORITY = 10;     // read and write watchers
constexpr DWORD CONN_FINALIZE_PRIORITY = 1;     // finalize work item and connect timer

struct ControlConnection {
  Watcher readWatcher;   // connOnReadable, priority 10
  DWORD recvFill;        // bytes held in recvBuffer
  DWORD recvStart;       // offset of the first byte not yet consumed, <= recvFill
  DWORD readRegistered;  // 1 while readWatcher is on the read list
  BYTE recvBuffer[CONN_BUFFER_BYTES];
  DWORD neededLength;     // bytes wanted from recvStart: 8, or the pending message's length
  Watcher writeWatcher;   // connOnConnected while connecting, then connOnWritable; priority 10
  DWORD sendFill;         // bytes held in sendBuffer
  DWORD sendDone;         // bytes of sendBuffer already sent, <= sendFill
  DWORD writeRegistered;  // 1 while writeWatcher is on the write list
  BYTE sendBuffer[CONN_BUFFER_BYTES];
  const MessageTable *table;  // selects the receive handlers; handlers may replace it
  ConnClosedCallback closedCallback;
  DWORD closed;            // 1 after the first connClose
  SOCKET socket;           // TCP, non-blocking once connOpen returns
  WorkItem finalize;       // connFinalize, priority 1
  Timer connectTimer;      // connOnConnectTimeout, priority 1; bounds the connect, then a flush
  ServerSession *session;  // the owning session, or null
};

// Byte length of a framed message: 4 times its little-endian length field.
inline DWORD connMessageBytes(const BYTE *message) {
  return 4 * (DWORD(message[2]) | DWORD(message[3]) << 8);
}

// Opens a connection to "host:port". A leading "=" makes the connect
// blocking (the socket is non-blocking afterwards all the same). An empty
// host is 127.0.0.1; the host is a dotted address or a name. No port is
// 9000; a port below 100 is added to 9000. Returns the connection while its
// connect may still be in progress (messages may be queued at once), or
// null with nothing left behind. Called with drvLock held.
ControlConnection *connOpen(const char *address, const MessageTable *table,
                            ConnClosedCallback closedCallback);
// Copies a framed message (its length from its header) into the send
// buffer. Returns 1, or 0 when the connection is closed instead: it was
// already closed, or the message does not fit even after compaction, or it
// is shorter than a header and length word. Called with drvLock held; the
// caller then calls loopWake.
int connSend(ControlConnection *connection, const BYTE *message);
// Begins the orderly close; safe to call again. Called with drvLock held.
void connClose(ControlConnection *connection);

// The decimal digits at the start of a text, accumulated modulo 2^32 (so
// modulo 65536 is exact); 0 when there are none.
DWORD parsePort(const char *text);

// The connection's own steps, exposed for its tests and fuzz target. All run
// with drvLock held; the callbacks on the I/O thread.
ControlConnection *connCreate(SOCKET socket, const MessageTable *table,
                              ConnClosedCallback closedCallback);
void connStartIo(ControlConnection *connection);
int connOnConnected(void *connection);
void connOnConnectTimeout(void *connection);
int connOnReadable(void *connection);
int connOnWritable(void *connection);
void connFinalize(void *connection);
