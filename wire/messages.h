// The control messages of the connection between a driver and its audio
// server, for both ends: framing, the setup exchange and the running-phase
// requests and replies.
//
// Every message starts with a 4-byte header: type byte, a byte whose
// meaning depends on the message, and the length of the whole message in
// 4-byte words (little-endian). The functions here are plain parsers and builders
// over byte spans, with no I/O, so that every layout can be checked on its
// own. Parsers take the complete message (as framed by frameNext) and
// return false when it is too short for its fields; longer messages are
// accepted and the extra bytes ignored. Builders write into a caller's span
// and return the message's byte length, or 0 when the span is too small.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/bytes.h"

constexpr size_t MESSAGE_HEADER_BYTES = 4;
// Every message used is at least 8 bytes long.
constexpr size_t MESSAGE_MIN_BYTES = 8;
// The driver's receive and send buffers are 512 bytes, so no message of the
// protocol can be longer; anything longer is a framing error.
constexpr size_t MESSAGE_MAX_BYTES = 512;

// Message types from the driver, setup phase.
enum : uint8_t { TYPE_SETUP_REQUEST = 0 };
// Message types from the driver, running phase (type 4 is never sent).
enum : uint8_t {
  TYPE_OPEN_STREAM = 0,
  TYPE_CLOSE_STREAM = 1,
  TYPE_SET_CONTROL = 2,
  TYPE_QUERY_CONTROL = 3,
  TYPE_PAUSE_STREAM = 5,
  TYPE_KEY_PROOF = 6,  // wire/auth.h: only after a setup acceptance that challenged
};
// Message types to the driver.
enum : uint8_t {
  TYPE_SETUP_REFUSED = 0,   // setup phase
  TYPE_SETUP_ACCEPTED = 1,  // setup phase
  TYPE_STREAM_REPLY = 0,    // running phase, 28 bytes
  TYPE_QUERY_REPLY = 1,     // running phase, 16 bytes
  TYPE_EVENT = 2,           // running phase; drivers accept and ignore the ones they do not know
};

constexpr size_t SETUP_REQUEST_BYTES = 16;
constexpr uint16_t SETUP_VERSION = 1;  // the 16-bit field at offset 4 of the request
constexpr size_t SETUP_REFUSED_BYTES = 8;
constexpr size_t SETUP_ENTRY_BYTES = 8;  // one device or control entry
// The setup acceptance's lists start after its 16-byte head.
constexpr size_t SETUP_LIST_OFFSET = 16;
constexpr size_t OPEN_STREAM_BYTES = 36;
// An open-stream reply is written with 28 bytes. One read shorter than
// STREAM_REPLY_MIN_BYTES lacks the lead bounds and counts as a refusal; one
// shorter than 28 lacks the maximum lead, which then takes the ring's size.
constexpr size_t STREAM_REPLY_BYTES = 28;
constexpr size_t STREAM_REPLY_MIN_BYTES = 24;
constexpr uint32_t STREAM_REPLY_DEFAULT_MAX_LEAD = 65536;
constexpr size_t CLOSE_STREAM_BYTES = 8;
constexpr size_t SET_CONTROL_BYTES = 16;
constexpr size_t QUERY_CONTROL_BYTES = 8;
// A query reply is written with 16 bytes; its value ends at byte 12, the
// least a reader needs.
constexpr size_t QUERY_REPLY_BYTES = 16;
constexpr size_t QUERY_REPLY_MIN_BYTES = 12;
constexpr size_t PAUSE_STREAM_BYTES = 16;

constexpr uint8_t STATUS_ACCEPTED = 1;  // status byte of replies; anything else refuses
constexpr uint8_t STATUS_REFUSED = 0;

enum : uint8_t { DIRECTION_PLAYBACK = 0, DIRECTION_RECORDING = 1 };

// One audio device as the setup reply lists it.
struct DeviceEntry {
  uint8_t direction;  // DIRECTION_PLAYBACK or DIRECTION_RECORDING
  uint16_t id;
};

// One control as the setup reply lists it. The driver uses kind 0 (volume).
struct ControlEntry {
  uint8_t kind;
  uint16_t id;
  uint16_t deviceId;  // the device it belongs to
};

enum class FrameStatus {
  NEED_MORE,  // fewer bytes than the header or the message's length
  COMPLETE,   // a whole message of `bytes` bytes is at the front
  TOO_SHORT,  // length field 0 or 1: below the 8-byte minimum
  TOO_LONG,   // length above MESSAGE_MAX_BYTES
};

struct Frame {
  FrameStatus status;
  size_t bytes;  // the message's byte length (4 x its length field) once the header is in
};

// Looks at the bytes received so far, starting at a message boundary.
Frame frameNext(std::span<const uint8_t> received);

inline uint8_t messageType(std::span<const uint8_t> message) { return message[0]; }

// Setup request: type 0, at least 16 bytes. Gives the version field and
// byte 1, which a driver that holds a key sets to SETUP_OFFERS_KEY
// (wire/auth.h).
bool setupRequestParse(std::span<const uint8_t> message, uint16_t &version, uint8_t &offer);
// Setup refused: type 0, 8 bytes; byte 1 carries the reason (wire/auth.h),
// which drivers that do not know it never read.
size_t setupRefusedBuild(std::span<uint8_t> out, uint8_t reason = 0);
// Setup accepted: type 1, the device count at 12, the control count at 14,
// then the device entries and the control entries, 8 bytes each. With a
// challenge, byte 1 is SETUP_CHALLENGES and bytes 4 to 11 are the
// challenge's nonce (wire/auth.h); a driver that offered no key reads
// neither.
size_t setupAcceptedBuild(std::span<uint8_t> out, std::span<const DeviceEntry> devices,
                          std::span<const ControlEntry> controls,
                          const uint8_t *challenge = nullptr);

struct OpenStreamRequest {
  uint8_t direction;  // DIRECTION_PLAYBACK or DIRECTION_RECORDING
  uint32_t address;   // the driver's IPv4 address, first octet in the top byte
  uint16_t port;      // the driver's UDP port, host order
  uint8_t adaptive;   // the driver's adaptive flag
  uint32_t rate;      // the application's sample rate, Hz
  uint32_t id;        // the driver's stream slot id
  uint32_t lead;      // frames: 256 for playback, 2048 for recording
  uint32_t leadMax;   // frames: 65536
  uint16_t deviceId;  // the listed device it wants
};
bool openStreamParse(std::span<const uint8_t> message, OpenStreamRequest &request);

struct StreamReply {
  uint32_t sequence;  // of the open-stream request answered
  uint8_t status;     // STATUS_ACCEPTED or anything else
  uint16_t port;      // the server's UDP port for the stream, host order
  uint8_t adaptive;   // the server's adaptive flag
  uint32_t rate;      // Hz: playback's highest wire rate, recording's timebase rate
  uint32_t id;        // the stream id, echoed (the driver does not read it)
  uint32_t minLead;   // frames
  uint32_t maxLead;   // frames
};
size_t streamReplyBuild(std::span<uint8_t> out, const StreamReply &reply);

bool closeStreamParse(std::span<const uint8_t> message, uint32_t &id);

struct PauseStreamRequest {
  uint32_t id;
  uint32_t position;  // frames of the stream's timebase: played or credited position
};
bool pauseStreamParse(std::span<const uint8_t> message, PauseStreamRequest &request);

struct SetControlRequest {
  uint16_t controlId;
  uint32_t value;  // the driver sends a 16-bit level in both halves
};
bool setControlParse(std::span<const uint8_t> message, SetControlRequest &request);

bool queryControlParse(std::span<const uint8_t> message, uint16_t &controlId);
// Query-control reply: type 1, the status byte, the sequence number at 4,
// the value at 8.
size_t queryReplyBuild(std::span<uint8_t> out, uint32_t sequence, uint8_t status, uint32_t value);

// The driver's side of the same messages: the requests it sends and the
// replies it reads (the driver itself, and bench/lumivox-load, which speaks
// to the server as many drivers do).

// A message's length in bytes, from its header (at least 4 bytes there).
inline size_t messageLength(const uint8_t *message) { return 4 * size_t(load16(message + 2)); }

// Setup request: type 0, 16 bytes, version SETUP_VERSION; byte 1 is
// SETUP_OFFERS_KEY when offerKey.
size_t setupRequestBuild(std::span<uint8_t> out, bool offerKey = false);
// Setup accepted: the device and control counts; false when the message is
// shorter than its head or its lists run past its end.
bool setupAcceptedCounts(std::span<const uint8_t> message, uint16_t &devices, uint16_t &controls);
// Setup accepted: the first device of `direction`; false when the message
// is not a setup acceptance, its lists run past its end, or no device of
// that direction is listed.
bool setupAcceptedFindDevice(std::span<const uint8_t> message, uint8_t direction,
                             uint16_t &deviceId);
// Open-stream request: type 0, 36 bytes, the fields of OpenStreamRequest.
size_t openStreamBuild(std::span<uint8_t> out, const OpenStreamRequest &request);
// Open-stream reply: false when it is shorter than STREAM_REPLY_MIN_BYTES;
// a reply without the maximum lead gives STREAM_REPLY_DEFAULT_MAX_LEAD.
bool streamReplyParse(std::span<const uint8_t> message, StreamReply &reply);
// Close-stream request: type 1, 8 bytes.
size_t closeStreamBuild(std::span<uint8_t> out, uint32_t id);
// Set-control request: type 2, 16 bytes, the control id at 4, the value at 8.
size_t setControlBuild(std::span<uint8_t> out, const SetControlRequest &request);
// Query-control request: type 3, 8 bytes, the control id at 4.
size_t queryControlBuild(std::span<uint8_t> out, uint16_t controlId);
// Pause-stream request: type 5, 16 bytes, the stream id at 4, the position at 8.
size_t pauseStreamBuild(std::span<uint8_t> out, const PauseStreamRequest &request);
// Query-control reply: the value; false when it is shorter than
// QUERY_REPLY_MIN_BYTES.
bool queryReplyParse(std::span<const uint8_t> message, uint32_t &value);
