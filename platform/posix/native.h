// Native device family of the POSIX runtime: the few ntdll calls with which
// the driver asks the terminal-server installation for the caller's session
// and its terminal.
//
// A native object name "\Device\..." reaches a Unix-domain socket of type
// SOCK_SEQPACKET under devices/ in the session's runtime directory
// (platform/posix/rundir.h), served by lumivox-session:
//
//   \Device\KVTKernelAccess       devices/KVTKernelAccess
//   \Device\Hookup\req-NAME       devices/Hookup/NAME (a new connection)
//   \Device\Hookup\rep-NAME       the connection of this process's latest
//                                 req-NAME handle that has no reply handle yet
//
// The request and reply halves of a Hookup channel therefore share one
// connection: the least that lets "write the request, read the reply"
// behave as on Windows. Every write is one message and every read takes one
// message, so message boundaries hold as on a message-mode channel.
//
// A device control is one message [u32 control code][u32 output capacity]
// [input bytes] answered by one message [u32 status][output bytes], all
// little-endian.
//
// Reads and writes are asynchronous only, as the driver opens its handles
// (no FILE_SYNCHRONOUS_IO_* option): each call resets its event, returns
// STATUS_PENDING, and a worker thread completes it by filling the status
// block and then setting the event, as the I/O manager does. One operation
// may be pending per handle. ZwCancelIoFile and ZwClose end a pending
// operation with STATUS_CANCELLED and return only after it has completed,
// so its buffers and status block are free again when they return.
#pragma once

#include "platform/posix/windef.h"

#define NTAPI

typedef LONG NTSTATUS;
typedef uint8_t BOOLEAN;
typedef uint16_t USHORT;
typedef int64_t LONGLONG;
typedef void *PVOID;
typedef HANDLE *PHANDLE;
typedef ULONG *PULONG;
typedef DWORD ACCESS_MASK;
typedef WCHAR *PWSTR;

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;  // for time-outs: 100 ns units, negative means relative
};
typedef LARGE_INTEGER *PLARGE_INTEGER;

// A counted UTF-16 string: lengths in bytes, no terminator counted.
struct UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
};
typedef UNICODE_STRING *PUNICODE_STRING;

// x64 layout (48 bytes); Length must hold sizeof(OBJECT_ATTRIBUTES).
struct OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
};
typedef OBJECT_ATTRIBUTES *POBJECT_ATTRIBUTES;

struct IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;  // bytes transferred, or the create outcome
};
typedef IO_STATUS_BLOCK *PIO_STATUS_BLOCK;

typedef void(NTAPI *PIO_APC_ROUTINE)(PVOID apcContext, PIO_STATUS_BLOCK ioStatusBlock,
                                     ULONG reserved);

enum EVENT_TYPE { NotificationEvent, SynchronizationEvent };

static_assert(sizeof(UNICODE_STRING) == 16, "x64 layout");
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48, "x64 layout");
static_assert(sizeof(IO_STATUS_BLOCK) == 16, "x64 layout");
static_assert(sizeof(LARGE_INTEGER) == 8, "x64 layout");

#define STATUS_SUCCESS ((NTSTATUS)0x00000000)
#define STATUS_ALERTED ((NTSTATUS)0x00000101)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102)
#define STATUS_PENDING ((NTSTATUS)0x00000103)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005)
#define STATUS_DEVICE_BUSY ((NTSTATUS)0x80000011)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000D)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009A)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120)
#define STATUS_PIPE_BROKEN ((NTSTATUS)0xC000014B)

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define SYNCHRONIZE 0x00100000u
#define EVENT_ALL_ACCESS 0x001F0003u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_OPEN 0x00000001u
#define FILE_CREATE 0x00000002u
#define FILE_SYNCHRONOUS_IO_ALERT 0x00000010u
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020u
#define FILE_OPENED 0x00000001u

// Longest object name accepted, in UTF-16 units.
#define LV_NATIVE_NAME_MAX 128
// Largest device control input and output, in bytes.
#define LV_DEVICE_CONTROL_MAX 256
// How long a device control waits for its answer, in milliseconds. The
// kernel access device answers at once; the bound only keeps a wedged
// stand-in from blocking its caller for ever.
#define LV_DEVICE_REPLY_MS 5000u

// Keeps: opens \Device\KVTKernelAccess and \Device\Hookup\req-*/rep-* by
// their native names (case-sensitive, as without OBJ_CASE_INSENSITIVE), any
// access, share mode and disposition (devices ignore them). Leaves out: a
// root directory, extended attributes, synchronous handles
// (FILE_SYNCHRONOUS_IO_* is refused with STATUS_INVALID_PARAMETER), every
// other name (STATUS_OBJECT_NAME_NOT_FOUND).
NTSTATUS NTAPI ZwCreateFile(PHANDLE fileHandle, ACCESS_MASK desiredAccess,
                            POBJECT_ATTRIBUTES objectAttributes, PIO_STATUS_BLOCK ioStatusBlock,
                            PLARGE_INTEGER allocationSize, ULONG fileAttributes, ULONG shareAccess,
                            ULONG createDisposition, ULONG createOptions, PVOID eaBuffer,
                            ULONG eaLength);
// Keeps: one request answered by the device, completed before the call
// returns (the status block is filled and the event, if any, set).
// Leaves out: APC routines; pending device controls.
NTSTATUS NTAPI ZwDeviceIoControlFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine,
                                     PVOID apcContext, PIO_STATUS_BLOCK ioStatusBlock,
                                     ULONG ioControlCode, PVOID inputBuffer,
                                     ULONG inputBufferLength, PVOID outputBuffer,
                                     ULONG outputBufferLength);
// Keeps: notification (manual-reset) and synchronization (auto-reset)
// events with their initial state. Leaves out: names, security, access.
NTSTATUS NTAPI ZwCreateEvent(PHANDLE eventHandle, ACCESS_MASK desiredAccess,
                             POBJECT_ATTRIBUTES objectAttributes, EVENT_TYPE eventType,
                             BOOLEAN initialState);
// Keeps: STATUS_PENDING, then completion through the status block and the
// event. The event is required and must come from ZwCreateEvent or
// CreateEventW. Leaves out: APC routines, byte offsets and keys (a socket
// has no position).
NTSTATUS NTAPI ZwWriteFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine,
                           PVOID apcContext, PIO_STATUS_BLOCK ioStatusBlock, PVOID buffer,
                           ULONG length, PLARGE_INTEGER byteOffset, PULONG key);
// As ZwWriteFile. A message longer than the buffer fills it and completes
// with STATUS_BUFFER_OVERFLOW (the rest is dropped); a peer that has gone
// gives STATUS_PIPE_BROKEN; an empty message succeeds with 0 bytes.
NTSTATUS NTAPI ZwReadFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine,
                          PVOID apcContext, PIO_STATUS_BLOCK ioStatusBlock, PVOID buffer,
                          ULONG length, PLARGE_INTEGER byteOffset, PULONG key);
// Keeps: events (from either family) and thread handles; no time-out or a
// relative one; STATUS_SUCCESS or STATUS_TIMEOUT. Leaves out: absolute
// time-outs (STATUS_INVALID_PARAMETER), alerts and APCs (an alertable wait
// is never alerted), waits on file handles.
NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout);
// Keeps: ends the handle's pending operation with STATUS_CANCELLED and
// returns after it has completed. Leaves out: the restriction to
// operations issued by the calling thread.
NTSTATUS NTAPI ZwCancelIoFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatusBlock);
// Keeps: closes native files (cancelling a pending operation first),
// events, and, through CloseHandle, every other handle. An event stays
// alive while an operation that sets it is pending, as the I/O manager
// keeps a reference.
NTSTATUS NTAPI ZwClose(HANDLE handle);

// Test seams. lvNativeWaitCap bounds every ZwWaitForSingleObject, those
// without a time-out included, to the given milliseconds (INFINITE lifts
// the bound), so that a test can take a bounded wait's time-out path
// without waiting the bound out. lvNativeLastWaitMs reports the time-out
// the latest wait asked for, in milliseconds rounded up (INFINITE for none).
void lvNativeWaitCap(DWORD milliseconds);
DWORD lvNativeLastWaitMs(void);
// Native files and events not yet closed, for leak checks in tests.
long lvNativeHandlesLive(void);
