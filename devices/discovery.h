// Session address discovery: on which terminal the calling user's session is
// displayed, as the terminal's IPv4 address and a display number (the audio
// server listens on AUDIO_PORT_BASE plus the display number).
//
// The answer comes from operating-system objects that other components of
// the terminal-server installation provide, asked afresh on every attach:
//   1. the kernel access device "\Device\KVTKernelAccess" tells the calling
//      process's session number;
//   2. the shared record "XDisplayAddress-<session>" holds the terminal of
//      that session;
//   3. when there is no usable record, the Hookup channel "CSSQueryIP" is
//      asked for the session's address.
//
// Addresses are 32-bit host-order integers whose most significant byte is
// the first octet of the dotted form. Discovery keeps no state between
// calls, never writes to the shared record, and releases every handle, view
// and record it opened before it returns, on every path. It runs on the
// application thread that opens a device, with drvLock held; its only
// blocking waits are the Hookup channel's, each bounded to HOOKUP_WAIT_MS.
#pragma once

#include "platform/platform.h"

// The Hookup waits' bound, in milliseconds: the same as a device open's own
// wait for its connection, so that a channel server that never answers
// fails the open (drvLock is held meanwhile) instead of hanging every
// audio open in the process.
constexpr DWORD HOOKUP_WAIT_MS = 5000;

// The audio server of display N listens on TCP port AUDIO_PORT_BASE + N.
constexpr DWORD AUDIO_PORT_BASE = 9000;

// Called once per destination found: returns what the discovery returns.
typedef int (*ServerVisitor)(void *context, DWORD address, DWORD port);
// Finds the terminal of the caller's session and calls the visitor once
// with its address and AUDIO_PORT_BASE plus the display number. Returns the
// visitor's result, or 0 without calling it when discovery fails or the
// display number would put the port beyond 65535.
int discoverServer(ServerVisitor visitor, void *context);

// The session number that means "no session": discovery stops.
constexpr LONG SESSION_NONE = -1;

// The kernel access device's control request: device type 0x11, function
// 0x68, METHOD_BUFFERED, FILE_ANY_ACCESS.
constexpr ULONG KERNEL_ACCESS_QUERY_SESSION = 0x001101A0;

// Byte offsets in the display address record (little-endian dwords), and
// the shortest view that holds every field read.
constexpr SIZE_T RECORD_PRIMARY_ADDRESS = 0;
constexpr SIZE_T RECORD_PRIMARY_DISPLAY = 4;
constexpr SIZE_T RECORD_VALID = 16;
constexpr SIZE_T RECORD_OVERRIDE_ADDRESS = 76;
constexpr SIZE_T RECORD_OVERRIDE_DISPLAY = 80;
constexpr SIZE_T RECORD_MIN_BYTES = 84;

// Channel path buffers, in wide characters including the terminator.
constexpr int HOOKUP_PATH_CHARS = 128;

// A Hookup request/reply channel, owned by its opener and released with
// CloseHookupChannel. Each handle is null while not open.
struct HookupChannel {
  HANDLE request;  // file handle on "\Device\Hookup\req-<service>"
  HANDLE reply;    // file handle on "\Device\Hookup\rep-<service>"
  HANDLE event;    // notification event for the pending reads and writes
};

// The calling process's session number from the kernel access device, or 0
// when the device cannot be opened or the request fails. queryValue is the
// request's input dword (always 0).
LONG QuerySessionNumber(ULONG queryValue);
// The record first, the Hookup channel as the fallback. On success (status
// not negative) both outputs are written; on failure neither is.
NTSTATUS LookupDisplayAddress(LONG session, DWORD *address, DWORD *display);
// A read-only view of the session's record, or null; *length gets the
// bytes the view holds from its start. The caller unmaps it.
const BYTE *MapDisplayAddress(LONG session, SIZE_T *length);
// Reads the address and display of a record of length bytes: the override
// pair when its address is not 0, else the primary pair. A record shorter
// than RECORD_MIN_BYTES or not marked valid counts as none: false, and
// neither output is written.
bool ParseDisplayRecord(const BYTE *record, SIZE_T length, DWORD *address, DWORD *display);
// Reads the address from a Hookup reply of length bytes (network order,
// first octet first). A reply shorter than the address, or an address of
// 0, is no answer: false, and *address is not written.
bool ParseHookupReply(const BYTE *reply, SIZE_T length, DWORD *address);
// Asks the Hookup channel for the session's address; the display number
// it yields is always 0.
NTSTATUS QueryHookupAddress(LONG session, DWORD *address, DWORD *display);
// Opens the request and reply names of a channel, or returns null with
// nothing left open.
HookupChannel *OpenHookupChannel(LPCWSTR requestService, LPCWSTR replyService);
// One write of the request, then one read of the reply into reply
// (capacity bytes); *replyLength is written with the bytes read once the
// read has completed. Returns the first failing status, or the read's.
NTSTATUS HookupTransact(HookupChannel *channel, const void *request, ULONG requestLength,
                        void *reply, ULONG replyCapacity, ULONG *replyLength);
// Closes the event, the request and the reply handles (those present), in
// that order, and frees the record. Null is accepted.
void CloseHookupChannel(HookupChannel *channel);
