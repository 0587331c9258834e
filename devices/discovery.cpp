// Session address discovery over the native device calls and the named
// display address record.
//
// Every object opened here is local to the call and released before the
// call returns. The Hookup channel's reads and writes are asynchronous: a
// pending one is waited for on the channel's event for at most
// HOOKUP_WAIT_MS, and one still in flight after the wait is cancelled before
// its status block and buffer (both on the caller's stack) go out of scope.
#include "devices/discovery.h"

#include "platform/bytes.h"

namespace {

const WCHAR KERNEL_ACCESS_PATH[] = LV_WTEXT("\\Device\\KVTKernelAccess");
const WCHAR HOOKUP_ROOT[] = LV_WTEXT("\\Device\\Hookup");
const WCHAR HOOKUP_REQUEST[] = LV_WTEXT("\\req-");
const WCHAR HOOKUP_REPLY[] = LV_WTEXT("\\rep-");
const WCHAR HOOKUP_SERVICE[] = LV_WTEXT("CSSQueryIP");

// Relative time-outs of the native waits count 100 ns units, negated.
constexpr LONGLONG NT_UNITS_PER_MS = 10000;

// Counted string over text of count characters (no terminator counted).
void countedInit(UNICODE_STRING *counted, const WCHAR *text, int count) {
  counted->Length = USHORT(count * sizeof(WCHAR));
  counted->MaximumLength = counted->Length;
  counted->Buffer = const_cast<WCHAR *>(text);
}

// Attributes naming an object by its full native path. The length is the
// record's own size: 24 bytes in a 32-bit process, 48 in a 64-bit one,
// which is what the system checks.
void attributesInit(OBJECT_ATTRIBUTES *attributes, UNICODE_STRING *name) {
  attributes->Length = sizeof(OBJECT_ATTRIBUTES);
  attributes->RootDirectory = nullptr;
  attributes->ObjectName = name;
  attributes->Attributes = 0;
  attributes->SecurityDescriptor = nullptr;
  attributes->SecurityQualityOfService = nullptr;
}
static_assert(sizeof(void *) != 4 || sizeof(OBJECT_ATTRIBUTES) == 24, "32-bit layout");

// Appends text to path at position at; returns the new length, or -1 when
// path (HOOKUP_PATH_CHARS with the terminator) would overflow.
int pathAppend(WCHAR *path, int at, const WCHAR *text) {
  if (at < 0) return -1;
  for (; *text; ++text) {
    if (at >= HOOKUP_PATH_CHARS - 1) return -1;
    path[at++] = *text;
  }
  path[at] = 0;
  return at;
}

// The bytes the view holds from its start, or 0 when it cannot be asked.
SIZE_T viewLength(const BYTE *view) {
  MEMORY_BASIC_INFORMATION info;
  return VirtualQuery(view, &info, sizeof info) != 0 ? info.RegionSize : 0;
}

// Opens "\Device\Hookup" + kind + service into *handle. Only a status of
// exactly 0 counts; a handle opened with another success code is closed
// again, so that nothing is left open on the failing path.
bool hookupOpen(HANDLE *handle, const WCHAR *kind, LPCWSTR service) {
  WCHAR path[HOOKUP_PATH_CHARS];
  int length = pathAppend(path, pathAppend(path, pathAppend(path, 0, HOOKUP_ROOT), kind), service);
  if (length < 0) return false;
  UNICODE_STRING name;
  countedInit(&name, path, length);
  OBJECT_ATTRIBUTES attributes;
  attributesInit(&attributes, &name);
  IO_STATUS_BLOCK io = {};
  HANDLE opened = nullptr;
  // Share access 0 and create options 0: an exclusive, asynchronous handle.
  NTSTATUS status = ZwCreateFile(&opened, GENERIC_READ | GENERIC_WRITE, &attributes, &io, nullptr,
                                 FILE_ATTRIBUTE_NORMAL, 0, FILE_CREATE, 0, nullptr, 0);
  if (status != STATUS_SUCCESS) {
    if (status >= 0 && opened) ZwClose(opened);
    return false;
  }
  *handle = opened;
  return true;
}

// The pending rule of both halves of a transaction: a pending operation is
// waited for (alertable, at most HOOKUP_WAIT_MS) and the wait's status
// replaces the call's. When the wait ends without the event, the operation
// is cancelled; the cancel returns once it has completed, so nothing is
// written into the caller's buffers afterwards.
NTSTATUS hookupComplete(HANDLE file, HANDLE event, NTSTATUS status) {
  if (status != NTSTATUS(STATUS_PENDING)) return status;
  LARGE_INTEGER timeout;
  timeout.QuadPart = -LONGLONG(HOOKUP_WAIT_MS) * NT_UNITS_PER_MS;
  NTSTATUS waited = ZwWaitForSingleObject(event, TRUE, &timeout);
  if (waited != STATUS_SUCCESS) {
    IO_STATUS_BLOCK cancel;
    ZwCancelIoFile(file, &cancel);
  }
  return waited;
}

}  // namespace

LONG QuerySessionNumber(ULONG queryValue) {
  UNICODE_STRING name;
  countedInit(&name, KERNEL_ACCESS_PATH, int(sizeof KERNEL_ACCESS_PATH / sizeof(WCHAR)) - 1);
  OBJECT_ATTRIBUTES attributes;
  attributesInit(&attributes, &name);
  IO_STATUS_BLOCK io = {};
  HANDLE device = nullptr;
  NTSTATUS status =
      ZwCreateFile(&device, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, nullptr,
                   0, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE, 0, nullptr, 0);
  if (status < 0) return 0;
  BYTE input[4];
  BYTE output[4] = {0, 0, 0, 0};
  store32(input, queryValue);
  // The device completes the request before the call returns; any status
  // that is not negative is taken as that completion.
  status =
      ZwDeviceIoControlFile(device, nullptr, nullptr, nullptr, &io, KERNEL_ACCESS_QUERY_SESSION,
                            input, sizeof input, output, sizeof output);
  ZwClose(device);
  return status >= 0 ? LONG(load32(output)) : 0;
}

NTSTATUS LookupDisplayAddress(LONG session, DWORD *address, DWORD *display) {
  if (session == SESSION_NONE) return STATUS_UNSUCCESSFUL;
  SIZE_T length = 0;
  const BYTE *view = MapDisplayAddress(session, &length);
  if (view) {
    bool found = ParseDisplayRecord(view, length, address, display);
    UnmapViewOfFile(view);
    if (found) return STATUS_SUCCESS;
  }
  return QueryHookupAddress(session, address, display);
}

const BYTE *MapDisplayAddress(LONG session, SIZE_T *length) {
  // "XDisplayAddress-" is 16 characters and a signed dword at most 11.
  CHAR name[28];
  wsprintfA(name, "XDisplayAddress-%d", session);
  HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, name);
  if (!mapping) return nullptr;
  const BYTE *view = static_cast<const BYTE *>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
  CloseHandle(mapping);  // the view, if any, keeps the object
  if (view) *length = viewLength(view);
  return view;
}

bool ParseDisplayRecord(const BYTE *record, SIZE_T length, DWORD *address, DWORD *display) {
  // A record too short for the fields read counts as no record at all.
  if (length < RECORD_MIN_BYTES || load32(record + RECORD_VALID) == 0) return false;
  // The record is in host order already: no byte swap, no validation.
  DWORD overrideAddress = load32(record + RECORD_OVERRIDE_ADDRESS);
  if (overrideAddress != 0) {
    *address = overrideAddress;
    *display = load32(record + RECORD_OVERRIDE_DISPLAY);
  } else {
    *address = load32(record + RECORD_PRIMARY_ADDRESS);
    *display = load32(record + RECORD_PRIMARY_DISPLAY);
  }
  return true;
}

bool ParseHookupReply(const BYTE *reply, SIZE_T length, DWORD *address) {
  // A reply shorter than the address (an empty read included) is no answer:
  // the bytes it did not fill would otherwise count as part of it.
  if (length < 4 || load32(reply) == 0) return false;
  // Network order, first octet first.
  *address = DWORD(reply[0]) << 24 | DWORD(reply[1]) << 16 | DWORD(reply[2]) << 8 | reply[3];
  return true;
}

NTSTATUS QueryHookupAddress(LONG session, DWORD *address, DWORD *display) {
  HookupChannel *channel = OpenHookupChannel(HOOKUP_SERVICE, HOOKUP_SERVICE);
  if (!channel) return STATUS_UNSUCCESSFUL;
  BYTE request[4];
  BYTE reply[4] = {0, 0, 0, 0};
  ULONG replyLength = 0;
  store32(request, DWORD(session));
  NTSTATUS status =
      HookupTransact(channel, request, sizeof request, reply, sizeof reply, &replyLength);
  CloseHookupChannel(channel);
  if (status < 0) return status;
  if (!ParseHookupReply(reply, replyLength, address)) return STATUS_UNSUCCESSFUL;
  *display = 0;
  return status;
}

HookupChannel *OpenHookupChannel(LPCWSTR requestService, LPCWSTR replyService) {
  HookupChannel *channel = static_cast<HookupChannel *>(LocalAlloc(LPTR, sizeof(HookupChannel)));
  if (!channel) return nullptr;
  // The status is not looked at: without an event the first wait fails,
  // and that failure ends the transaction.
  ZwCreateEvent(&channel->event, EVENT_ALL_ACCESS, nullptr, NotificationEvent, FALSE);
  if (!hookupOpen(&channel->request, HOOKUP_REQUEST, requestService) ||
      !hookupOpen(&channel->reply, HOOKUP_REPLY, replyService)) {
    CloseHookupChannel(channel);
    return nullptr;
  }
  return channel;
}

NTSTATUS HookupTransact(HookupChannel *channel, const void *request, ULONG requestLength,
                        void *reply, ULONG replyCapacity, ULONG *replyLength) {
  IO_STATUS_BLOCK written = {};
  IO_STATUS_BLOCK read = {};
  NTSTATUS status = ZwWriteFile(channel->request, channel->event, nullptr, nullptr, &written,
                                const_cast<void *>(request), requestLength, nullptr, nullptr);
  status = hookupComplete(channel->request, channel->event, status);
  if (status != STATUS_SUCCESS) return status;
  if (written.Status != STATUS_SUCCESS) return written.Status;
  status = ZwReadFile(channel->reply, channel->event, nullptr, nullptr, &read, reply, replyCapacity,
                      nullptr, nullptr);
  status = hookupComplete(channel->reply, channel->event, status);
  if (status != STATUS_SUCCESS) return status;
  *replyLength = ULONG(read.Information);
  return read.Status;
}

void CloseHookupChannel(HookupChannel *channel) {
  if (!channel) return;
  if (channel->event) ZwClose(channel->event);
  if (channel->request) ZwClose(channel->request);
  if (channel->reply) ZwClose(channel->reply);
  LocalFree(channel);
}

// The highest display number whose port still fits 16 bits.
static constexpr DWORD DISPLAY_MAX = 0xFFFF - AUDIO_PORT_BASE;

int discoverServer(ServerVisitor visitor, void *context) {
  DWORD address = 0;
  DWORD display = 0;
  LONG session = QuerySessionNumber(0);
  if (LookupDisplayAddress(session, &address, &display) < 0) return 0;
  // Written by another component: a display number whose port would not
  // fit 16 bits names no server the driver could reach.
  if (display > DISPLAY_MAX) return 0;
  return visitor(context, address, AUDIO_PORT_BASE + display);
}
