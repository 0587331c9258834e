// The network streams of the endpoints: the play sender, which reads a
// play source's ring, converts and sends it in datagrams paced by the
// server's acknowledgements, and the capture receiver, which places the
// server's datagrams on a record sink's ring and earns the server credit as
// the application reads.
//
// A StreamSlot is the record behind one stream that the control protocol
// negotiates: it is created bare with its own UDP socket when the server is
// asked for a stream, then bound to a play sender or a capture receiver when
// the server accepts it, and closed when the stream ends.
//
// The slots and the streams' creation, pause and close are in
// stream/slot.cpp, the running sender in stream/sender.cpp, the receiver in
// stream/receiver.cpp. Everything is called with drvLock held: the slots
// and streams are made on application threads, and run on the I/O thread.
#pragma once

#include "audio/convert.h"
#include "audio/formats.h"
#include "net/loop.h"
#include "wire/datagram.h"

struct PlaySource;
struct RecordSink;
struct PlaySender;
struct CaptureReceiver;

enum { SLOT_BARE = 0, SLOT_PLAY = 1, SLOT_CAPTURE = 2 };
// Ports are tried upwards from here; SLOT_PORT_END itself is never tried.
constexpr uint32_t SLOT_PORT_BASE = 10000;
constexpr uint32_t SLOT_PORT_END = 65535;

struct StreamSlot {
  uint32_t id;                // from a process-wide counter, first 1
  uint8_t kind;               // SLOT_*
  uint16_t localPort;         // bound UDP port, host order
  SOCKET socket;              // owned: closed by slotClose or by the stream's close
  PlaySender *sender;         // SLOT_PLAY: the stream, or null when it could not be made
  CaptureReceiver *receiver;  // SLOT_CAPTURE: the same
};

// Whether the slot's stream exists: bound, and its creation succeeded.
inline bool slotHasStream(const StreamSlot *slot) { return slot->sender || slot->receiver; }

// A bare slot with a non-blocking datagram socket bound to the first free
// port from SLOT_PORT_BASE, or null with nothing left open.
StreamSlot *slotCreate(void);
// Bind the slot to a new play sender / capture receiver. A failed creation
// leaves the slot bound without a stream (slotHasStream false); it later
// frees only itself and its socket.
void slotBindPlay(StreamSlot *slot, PlaySource *owner, uint32_t serverAddress, uint16_t serverPort,
                  uint32_t minLead, uint32_t maxLead, uint8_t adaptive, uint32_t serverRate);
// serverAddress (host order) is the audio server's, the control
// connection's peer: the receiver takes datagrams from that host only.
void slotBindCapture(StreamSlot *slot, RecordSink *owner, uint32_t serverAddress,
                     uint32_t timebaseRate);
// Closes the stream (which closes the socket) or the bare socket, and frees
// the slot.
void slotClose(StreamSlot *slot);

// Creation, pause and close of the streams a slot is bound to. The running
// behaviour is in stream/sender.cpp and stream/receiver.cpp.
PlaySender *playSenderCreate(PlaySource *owner, SOCKET socket, uint32_t serverAddress,
                             uint16_t serverPort, uint32_t minLead, uint32_t maxLead,
                             uint8_t adaptive, uint32_t serverRate);
void playSenderClose(PlaySender *sender);
void playSenderSetPaused(PlaySender *sender, uint32_t paused);
// Drops what a started sender has not taken from its source's ring: the
// ring is cleared up to the source's produced position and the sender
// continues from there, its wire positions unbroken. A reset calls it, so
// that discarded audio is not sent and a close need not wait for it.
void playSenderDiscard(PlaySender *sender);
CaptureReceiver *captureReceiverCreate(RecordSink *owner, SOCKET socket, uint32_t serverAddress,
                                       uint32_t timebaseRate);
void captureReceiverClose(CaptureReceiver *receiver);

// Reads one datagram of a stream's socket into buffer (PACKET_MAX_DATAGRAM
// bytes) and its sender into *from; returns its length, or -1 when there
// was none.
int streamReceive(SOCKET s, uint8_t *buffer, sockaddr_in *from);

// Loop priorities of the streams' records.
constexpr DWORD SENDER_ACK_PRIORITY = 40;
constexpr DWORD SENDER_SEND_PRIORITY = 30;
constexpr DWORD SENDER_TIMER_PRIORITY = 20;
constexpr DWORD RECEIVER_PRIORITY = 30;

// Packets kept in flight at most, and the log of their send times.
constexpr uint32_t SENDER_MAX_IN_FLIGHT = 4;
// Retransmit timeout before the first round trip, ms.
constexpr uint32_t SENDER_FIRST_TIMEOUT_MS = 5000;
// Lead bounds, application frames: at least a coding unit's worth of
// packets, at most the ring.
constexpr uint32_t SENDER_LEAD_FLOOR = 256;
constexpr uint32_t SENDER_LEAD_CEILING = RING_FRAMES;
// The lowest rate limit a server can set, Hz (a limit of 0 means this).
constexpr uint32_t SENDER_RATE_FLOOR = 8000;
// The round-trip value of the first format switch, ms.
constexpr uint32_t SENDER_FIRST_RTT = 10;
// A stream that hears nothing from its server for this long while it waits
// for an answer (packets or a probe in flight, or the server's queue
// reported full) is offered to its endpoint as stalled, ms. A playback's
// retransmit timeout is at most a tenth of a second's worth of packets, so
// ten seconds is many lost round trips, and it is the longest wait the
// driver puts on an application anywhere else: every close, stop and
// header waiting on a dead path or a silent server ends within it.
constexpr uint32_t STREAM_STALL_MS = 10000;
constexpr DWORD RECEIVER_WATCHDOG_PRIORITY = 20;
// A synchronised capture receiver that has heard nothing for this long
// repeats its last acknowledgement, ms: a server that paces by credit and
// lost the last report would otherwise wait for it for good.
constexpr uint32_t RECEIVER_REPEAT_MS = 1000;
// The highest timebase a capture receiver follows, Hz. Its positions are
// 32-bit and compared by signed difference, so a ring's length must span
// far fewer than 2^31 of them: at this rate a ring at the slowest rate
// (8.2 s) spans about 2^23. A faster timebase is no audio clock; the
// receiver takes it as 0 and decodes nothing.
constexpr uint32_t RECEIVER_TIMEBASE_MAX = 1000000;

// The wire position a new play sender starts at. The wire counts from 0;
// tests start streams just below the wraps of the 32-bit positions.
extern uint32_t senderFirstPosition;

struct SentPacket {
  DWORD tick;         // GetTickCount at sending, ms
  uint32_t start;     // application frames
  uint32_t duration;  // application frames
};

struct PlaySender {
  Watcher watcher;           // read watcher on the slot's socket: senderOnAck, priority 40
  sockaddr_in server;        // the server's address and UDP port, network order
  Timer timer;               // retransmit timer: senderOnTimeout, priority 20
  WorkItem work;             // senderRun, priority 30
  uint32_t consumed;         // application frames taken from the ring since base
  uint32_t sent;             // application frames: where the next packet starts
  uint32_t base;             // ring position that consumed counts from
  uint32_t packetFrames;     // application frames per packet
  uint32_t adaptive;         // 1: choose the first format by round-trip time
  uint32_t started;          // 0 until the first valid round trip
  uint32_t paused;           // 1 while playback is paused
  const WireFormat *format;  // the current row of wireFormats
  uint32_t leadTarget;       // application frames the server should have queued
  uint32_t leadMin;          // application frames, at least SENDER_LEAD_FLOOR
  uint32_t leadMax;          // application frames, at most SENDER_LEAD_CEILING
  uint32_t rateLimit;        // highest wire rate the server allows, Hz
  uint32_t ackedEnd;         // highest receivedEnd acknowledged, application frames
  uint32_t ackedPlayed;      // highest consumed acknowledged, application frames
  uint32_t smoothedRtt;      // ms
  uint32_t lastRtt;          // ms
  uint32_t timeout;          // retransmit timeout, ms
  SentPacket sentLog[SENDER_MAX_IN_FLIGHT];  // by packet number mod 4
  uint32_t sentCount;                        // packets sent, probes included
  uint32_t inFlight;     // packets neither acknowledged nor written off, at most 4 data
  uint32_t stepUpAt;     // ackedEnd position before a faster format is tried
  uint32_t stepDownAt;   // ackedEnd position before a slower format is tried
  PlaySource *endpoint;  // the source this sender reads
  PlaySender *next;      // next sender of the same source
  Resampler resampler;   // ring rate to the row's rate, timebase the ring rate
  GsmCoder coder;        // this stream's GSM encoder, made on first use
  // 1 while the sender waits for the server: packets in flight, or its
  // queue full. quietSince is when it last heard from the server or began
  // to wait, movedAt when the played or the sent position last moved or it
  // began to wait (GetTickCount ms).
  uint32_t awaiting;
  DWORD quietSince;
  DWORD movedAt;
  // The last acknowledgement said that the server had played all it had
  // received; the next send that finds audio counts the lead as run out.
  uint32_t serverDry;
  uint32_t leadRanOut;  // times the lead ran out while audio waited here
  // What this sender adds to leadMin after its own lateness let the server
  // run dry (application frames); when the stream started, when the lead
  // last ran out, and when the quiet that lowers the addition began
  // (GetTickCount ms).
  uint32_t leadExtra;
  DWORD startedAt;
  DWORD ranOutAt;
  DWORD leadQuietFrom;
  uint32_t drained;  // 1 when the last send found nothing to send
};

struct CaptureReceiver {
  Watcher watcher;           // read watcher on the slot's socket: receiverOnDatagram, priority 30
  sockaddr_in source;        // sender of the last datagram; acknowledgements go there
  uint32_t lastStart;        // timebase frames: start of the last packet
  uint16_t lastDuration;     // timebase frames: duration of the last packet
  uint32_t receivedEnd;      // timebase frames: highest start + duration seen
  uint32_t creditedPos;      // timebase frames reported to the server as consumed
  uint32_t pendingCredit;    // timebase frames earned and not yet reported
  uint32_t creditedRead;     // ring position up to which credit was earned
  uint32_t writePos;         // ring position where the next audio goes
  uint32_t creditRemainder;  // timebase frames x ring rate, left over from credit
  uint32_t synced;           // 1 after the first data packet
  uint32_t timebaseRate;     // Hz of the positions in packets
  RecordSink *endpoint;      // the sink this receiver writes
  CaptureReceiver *next;     // next receiver of the same sink
  Resampler resampler;       // packet rate to the ring rate
  GsmCoder coder;            // this stream's GSM decoder, made on first use
  in_addr serverAddress;     // the audio server, network order: other hosts are ignored
  // Repeats the last acknowledgement after RECEIVER_REPEAT_MS without a
  // datagram: receiverOnQuiet, priority 20. heardAt is the tick of the last
  // datagram taken or of the last repeat.
  Timer watchdog;
  DWORD heardAt;
};

// Loop handlers. The user value is the sender or receiver. The read
// handlers read one datagram and hand it to the take functions below.
int senderOnAck(void *sender);
void senderOnTimeout(void *sender);
void receiverOnQuiet(void *receiver);
void senderRun(void *sender);
int receiverOnDatagram(void *receiver);

// One datagram of `length` bytes from `from`. An acknowledgement counts
// from any port of the server's host; a position beyond what was sent
// counts as what was sent, and none moves the sender's positions back.
void senderTakeAck(PlaySender *sender, const uint8_t *datagram, int length,
                   const sockaddr_in *from);
// A datagram counts only from the server's host. Every packet there is
// acknowledged; decodable audio is placed, and one that starts more than a
// ring's length from the positions seen moves the stream to its position.
void receiverTakeDatagram(CaptureReceiver *receiver, const uint8_t *datagram, int length,
                          const sockaddr_in *from);

// Builds and sends one data packet; nonzero when another may follow at once.
int senderSend(PlaySender *sender);
// Sends the probe (not limited by the packets in flight).
void senderProbe(PlaySender *sender);
// Format choice: the first row after the first round trip, and one step
// slower or faster; the steps return nonzero when the row changed.
void senderSelectInitial(PlaySender *sender);
int senderStepDown(PlaySender *sender);
int senderStepUp(PlaySender *sender);
// Recomputes packetFrames and leadTarget for round-trip value rtt (ms).
void senderWindow(PlaySender *sender, uint32_t rtt);
// Makes row the current format: window for rtt, resampler from the ring's
// rate to the row's.
void senderSwitch(PlaySender *sender, const WireFormat *row, uint32_t rtt);
// Sends a StreamAck to the last datagram's source; unsolicited 1 reports
// progress only.
void receiverAck(CaptureReceiver *receiver, uint16_t unsolicited);
// After the application has read from the sink's ring: earns credit for
// every synchronised receiver, acknowledging when a packet's worth is due.
void receiverCredit(RecordSink *sink);
// Takes a synchronised receiver out of its sink's synchronised set.
void receiverStop(CaptureReceiver *receiver);
