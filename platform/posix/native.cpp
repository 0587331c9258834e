// The native device calls over SOCK_SEQPACKET Unix-domain sockets, with
// pending reads and writes completed by one worker thread per operation.
//
// Native files and events are records on one registry list, so that a
// handle is recognised by membership and never by reading through it; a
// handle that is on neither list is passed on to CloseHandle or
// WaitForSingleObject of the other families.
#include "platform/posix/native.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/bytes.h"
#include "platform/posix/rundir.h"
#include "platform/posix/sync.h"

namespace {

constexpr uint32_t KIND_FILE = 0x4C49464E;   // "NFIL"
constexpr uint32_t KIND_EVENT = 0x4E56454E;  // "NEVN"

enum Device { DEVICE_KERNEL_ACCESS, DEVICE_HOOKUP_REQUEST, DEVICE_HOOKUP_REPLY };

const char KERNEL_ACCESS_NAME[] = "\\Device\\KVTKernelAccess";
const char HOOKUP_REQUEST_PREFIX[] = "\\Device\\Hookup\\req-";
const char HOOKUP_REPLY_PREFIX[] = "\\Device\\Hookup\\rep-";

// The kind comes first in every record: sync's handle checks read the
// first word of whatever they are given, and these values are not theirs.
struct NativeObject {
  uint32_t kind;
  NativeObject *next;  // link in the registry, newest first
};

struct NativeEvent : NativeObject {
  HANDLE inner;           // the sync family's event
  std::atomic<int> refs;  // the handle, each pending operation, each wait
};

// One read or write in flight. The worker copies what it needs before it
// sets the event, since a woken caller may close the file at once.
struct Operation {
  bool write;
  char *buffer;
  ULONG length;            // bytes
  PIO_STATUS_BLOCK status;
  HANDLE event;            // the event to set (sync family)
  NativeEvent *eventRef;   // reference held while pending, or null
};

struct NativeFile : NativeObject {
  int fd;                      // connected SOCK_SEQPACKET, non-blocking
  int cancelFd;                // eventfd, readable to cancel the operation
  Device device;
  char service[LV_NATIVE_NAME_MAX + 1];  // Hookup service name, ASCII
  bool paired;                 // request half: a reply handle shares fd
  std::mutex lock;             // serialises starts, cancels and controls
  bool started;                // a worker exists and is not joined; lock held
  std::atomic<bool> pending;   // the worker has not completed yet
  pthread_t worker;
  Operation op;
};

std::mutex registryLock;  // guards registry and liveCount
NativeObject *registry = nullptr;
long liveCount = 0;
std::atomic<DWORD> waitCap{INFINITE};   // milliseconds, test seam
std::atomic<DWORD> lastWait{INFINITE};  // milliseconds, test seam


void registerObject(NativeObject *o) {
  std::lock_guard<std::mutex> hold(registryLock);
  o->next = registry;
  registry = o;
  liveCount += 1;
}

// Unlinks o if it is registered with the given kind; returns it or null.
NativeObject *unregisterObject(HANDLE h, uint32_t kind) {
  std::lock_guard<std::mutex> hold(registryLock);
  for (NativeObject **link = &registry; *link; link = &(*link)->next) {
    if (*link == h && (*link)->kind == kind) {
      NativeObject *o = *link;
      *link = o->next;
      liveCount -= 1;
      return o;
    }
  }
  return nullptr;
}

NativeFile *findFile(HANDLE h) {
  std::lock_guard<std::mutex> hold(registryLock);
  for (NativeObject *o = registry; o; o = o->next) {
    if (o == h && o->kind == KIND_FILE) return static_cast<NativeFile *>(o);
  }
  return nullptr;
}

// A referenced native event for h, or null when h is not one.
NativeEvent *acquireEvent(HANDLE h) {
  std::lock_guard<std::mutex> hold(registryLock);
  for (NativeObject *o = registry; o; o = o->next) {
    if (o == h && o->kind == KIND_EVENT) {
      NativeEvent *e = static_cast<NativeEvent *>(o);
      e->refs.fetch_add(1);
      return e;
    }
  }
  return nullptr;
}

void releaseEvent(NativeEvent *e) {
  if (e && e->refs.fetch_sub(1) == 1) {
    CloseHandle(e->inner);
    delete e;
  }
}

// Resolves an event argument to the sync event to set, taking a reference
// when it is a native event. Returns null for anything that is no event.
HANDLE resolveEvent(HANDLE event, NativeEvent **ref) {
  *ref = acquireEvent(event);
  HANDLE inner = *ref ? (*ref)->inner : event;
  if (!inner || !ResetEvent(inner)) {
    releaseEvent(*ref);
    *ref = nullptr;
    return nullptr;
  }
  return inner;
}

NTSTATUS statusFromErrno(int error) {
  switch (error) {
    case EPIPE: case ECONNRESET: case ENOTCONN: return STATUS_PIPE_BROKEN;
    default: return STATUS_UNSUCCESSFUL;
  }
}

// One transfer of the operation, waiting without limit for the socket or a
// cancel: the caller bounds its own wait on the event and cancels after it.
NTSTATUS transfer(int fd, int cancelFd, const Operation &op, ULONG_PTR *done) {
  for (;;) {
    pollfd p[2] = {{fd, short(op.write ? POLLOUT : POLLIN), 0}, {cancelFd, POLLIN, 0}};
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return STATUS_UNSUCCESSFUL;
    }
    if (p[1].revents) return STATUS_CANCELLED;
    ssize_t n;
    int flags = 0;
    if (op.write) {
      n = send(fd, op.buffer, op.length, MSG_DONTWAIT | MSG_NOSIGNAL);
    } else {
      iovec part{op.buffer, op.length};
      msghdr message{};
      message.msg_iov = &part;
      message.msg_iovlen = 1;
      n = recvmsg(fd, &message, MSG_DONTWAIT);
      flags = message.msg_flags;
      // A SOCK_SEQPACKET read of 0 is an empty message or the peer's end;
      // only a hang-up tells them apart.
      if (n == 0 && (p[0].revents & (POLLHUP | POLLRDHUP))) return STATUS_PIPE_BROKEN;
    }
    if (n >= 0) {
      *done = ULONG_PTR(n);
      return (flags & MSG_TRUNC) ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    if (errno != EAGAIN && errno != EINTR) return statusFromErrno(errno);
  }
}

void *workerMain(void *arg) {
  NativeFile *f = static_cast<NativeFile *>(arg);
  Operation op = f->op;
  ULONG_PTR done = 0;
  NTSTATUS status = transfer(f->fd, f->cancelFd, op, &done);
  // Status block first, then the event, as the I/O manager completes.
  op.status->Status = status;
  op.status->Information = done;
  f->pending.store(false);
  SetEvent(op.event);
  releaseEvent(op.eventRef);
  return nullptr;
}

// Joins a started worker, cancelling it first if it is still pending.
// Called with f->lock held; the worker never takes it.
void settleWorker(NativeFile *f) {
  if (!f->started) return;
  if (f->pending.load()) {
    uint64_t one = 1;
    ssize_t ignored = write(f->cancelFd, &one, sizeof one);
    (void)ignored;
  }
  pthread_join(f->worker, nullptr);
  f->started = false;
  uint64_t count;
  ssize_t ignored = read(f->cancelFd, &count, sizeof count);  // back to not readable
  (void)ignored;
}

NTSTATUS startOperation(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine,
                        PIO_STATUS_BLOCK ioStatusBlock, PVOID buffer, ULONG length, bool write) {
  NativeFile *f = findFile(fileHandle);
  if (!f) return STATUS_INVALID_HANDLE;
  if (f->device == DEVICE_KERNEL_ACCESS) return STATUS_INVALID_DEVICE_REQUEST;
  if (apcRoutine || !ioStatusBlock || (!buffer && length)) return STATUS_INVALID_PARAMETER;
  NativeEvent *ref;
  HANDLE inner = resolveEvent(event, &ref);
  if (!inner) return event ? STATUS_INVALID_HANDLE : STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> hold(f->lock);
  if (f->pending.load()) {
    releaseEvent(ref);
    return STATUS_DEVICE_BUSY;
  }
  settleWorker(f);  // a completed worker that nobody joined yet
  f->op = Operation{write, static_cast<char *>(buffer), length, ioStatusBlock, inner, ref};
  f->pending.store(true);
  if (pthread_create(&f->worker, nullptr, workerMain, f) != 0) {
    f->pending.store(false);
    releaseEvent(ref);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  f->started = true;
  return STATUS_PENDING;
}

// Copies the name as ASCII into out (LV_NATIVE_NAME_MAX + 1 bytes).
NTSTATUS nameToAscii(const UNICODE_STRING *name, char *out) {
  if (!name || (name->Length & 1) || name->Length > name->MaximumLength) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  size_t count = name->Length / 2;
  if (count == 0 || count > LV_NATIVE_NAME_MAX || !name->Buffer) return STATUS_OBJECT_NAME_INVALID;
  for (size_t i = 0; i < count; ++i) {
    WCHAR c = name->Buffer[i];
    if (c <= u' ' || c >= 0x7F || c == u'/') return STATUS_OBJECT_NAME_INVALID;
    out[i] = char(c);
  }
  out[count] = 0;
  return STATUS_SUCCESS;
}

// Connects to devices/<relative> in the runtime directory.
NTSTATUS connectDevice(const char *relative, int *fd) {
  char path[LV_RUNDIR_PATH_MAX];
  sockaddr_un address{};
  if (!lvRuntimePath(relative, path, sizeof path)) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (std::strlen(path) >= sizeof address.sun_path) return STATUS_OBJECT_NAME_INVALID;
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path);
  int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s < 0) return STATUS_INSUFFICIENT_RESOURCES;
  // Non-blocking: a Unix-domain connect completes at once or fails; a full
  // backlog gives EAGAIN instead of blocking the caller.
  if (connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    int error = errno;
    close(s);
    return error == EAGAIN ? STATUS_DEVICE_BUSY : STATUS_OBJECT_NAME_NOT_FOUND;
  }
  *fd = s;
  return STATUS_SUCCESS;
}

// The reply half: shares the connection of the newest unpaired request
// handle of the same service.
NTSTATUS pairReply(const char *service, int *fd) {
  std::lock_guard<std::mutex> hold(registryLock);
  for (NativeObject *o = registry; o; o = o->next) {
    if (o->kind != KIND_FILE) continue;
    NativeFile *f = static_cast<NativeFile *>(o);
    if (f->device == DEVICE_HOOKUP_REQUEST && !f->paired && std::strcmp(f->service, service) == 0) {
      *fd = fcntl(f->fd, F_DUPFD_CLOEXEC, 0);
      if (*fd < 0) return STATUS_INSUFFICIENT_RESOURCES;
      f->paired = true;
      return STATUS_SUCCESS;
    }
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

// Opens the socket behind a native name; fills device and service.
NTSTATUS openDevice(const char *name, NativeFile *f) {
  size_t requestPrefix = sizeof HOOKUP_REQUEST_PREFIX - 1;
  size_t replyPrefix = sizeof HOOKUP_REPLY_PREFIX - 1;
  if (std::strcmp(name, KERNEL_ACCESS_NAME) == 0) {
    f->device = DEVICE_KERNEL_ACCESS;
    return connectDevice("devices/KVTKernelAccess", &f->fd);
  }
  bool request = std::strncmp(name, HOOKUP_REQUEST_PREFIX, requestPrefix) == 0;
  bool reply = std::strncmp(name, HOOKUP_REPLY_PREFIX, replyPrefix) == 0;
  if (!request && !reply) return STATUS_OBJECT_NAME_NOT_FOUND;
  const char *service = name + (request ? requestPrefix : replyPrefix);
  if (!service[0] || std::strchr(service, '\\')) return STATUS_OBJECT_NAME_NOT_FOUND;
  std::strcpy(f->service, service);
  if (reply) {
    f->device = DEVICE_HOOKUP_REPLY;
    return pairReply(service, &f->fd);
  }
  f->device = DEVICE_HOOKUP_REQUEST;
  char relative[LV_NATIVE_NAME_MAX + 32];
  std::snprintf(relative, sizeof relative, "devices/Hookup/%s", service);
  return connectDevice(relative, &f->fd);
}

// Waits up to LV_DEVICE_REPLY_MS for fd to be ready for events.
bool waitReady(int fd, short events) {
  pollfd p{fd, events, 0};
  int r;
  do {
    r = poll(&p, 1, int(LV_DEVICE_REPLY_MS));
  } while (r < 0 && errno == EINTR);
  return r > 0;
}

// One device control exchange; returns the device's status and fills
// *copied with the output bytes stored.
NTSTATUS deviceExchange(NativeFile *f, ULONG code, const void *input, ULONG inputLength,
                        void *output, ULONG outputLength, ULONG_PTR *copied) {
  unsigned char message[8 + LV_DEVICE_CONTROL_MAX];
  store32(message, code);
  store32(message + 4, outputLength);
  if (inputLength) std::memcpy(message + 8, input, inputLength);
  if (!waitReady(f->fd, POLLOUT)) return STATUS_IO_TIMEOUT;
  if (send(f->fd, message, 8 + inputLength, MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
    return statusFromErrno(errno);
  }
  if (!waitReady(f->fd, POLLIN)) return STATUS_IO_TIMEOUT;
  unsigned char answer[4 + LV_DEVICE_CONTROL_MAX];
  ssize_t n = recv(f->fd, answer, sizeof answer, MSG_DONTWAIT);
  if (n == 0) return STATUS_PIPE_BROKEN;
  if (n < 4) return n < 0 ? statusFromErrno(errno) : STATUS_UNSUCCESSFUL;
  size_t length = size_t(n) - 4;
  if (length > outputLength) length = outputLength;
  if (length) std::memcpy(output, answer + 4, length);
  *copied = length;
  return NTSTATUS(load32(answer));
}

}  // namespace

NTSTATUS NTAPI ZwCreateFile(PHANDLE fileHandle, ACCESS_MASK, POBJECT_ATTRIBUTES objectAttributes,
                            PIO_STATUS_BLOCK ioStatusBlock, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                            ULONG createOptions, PVOID eaBuffer, ULONG eaLength) {
  if (!fileHandle || !objectAttributes || !ioStatusBlock || eaBuffer || eaLength ||
      objectAttributes->Length != sizeof(OBJECT_ATTRIBUTES) || objectAttributes->RootDirectory ||
      (createOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT))) {
    return STATUS_INVALID_PARAMETER;
  }
  char name[LV_NATIVE_NAME_MAX + 1];
  NTSTATUS status = nameToAscii(objectAttributes->ObjectName, name);
  if (status != STATUS_SUCCESS) return status;
  NativeFile *f = new (std::nothrow) NativeFile;
  if (!f) return STATUS_INSUFFICIENT_RESOURCES;
  f->kind = KIND_FILE;
  f->fd = -1;
  f->service[0] = 0;
  f->paired = false;
  f->started = false;
  f->pending.store(false);
  f->cancelFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  status = f->cancelFd < 0 ? STATUS_INSUFFICIENT_RESOURCES : openDevice(name, f);
  if (status != STATUS_SUCCESS) {
    if (f->cancelFd >= 0) close(f->cancelFd);
    delete f;
    return status;
  }
  registerObject(f);
  ioStatusBlock->Status = STATUS_SUCCESS;
  ioStatusBlock->Information = FILE_OPENED;
  *fileHandle = f;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwDeviceIoControlFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine,
                                     PVOID, PIO_STATUS_BLOCK ioStatusBlock, ULONG ioControlCode,
                                     PVOID inputBuffer, ULONG inputBufferLength,
                                     PVOID outputBuffer, ULONG outputBufferLength) {
  NativeFile *f = findFile(fileHandle);
  if (!f) return STATUS_INVALID_HANDLE;
  if (f->device != DEVICE_KERNEL_ACCESS) return STATUS_INVALID_DEVICE_REQUEST;
  if (apcRoutine || !ioStatusBlock || inputBufferLength > LV_DEVICE_CONTROL_MAX ||
      outputBufferLength > LV_DEVICE_CONTROL_MAX || (!inputBuffer && inputBufferLength) ||
      (!outputBuffer && outputBufferLength)) {
    return STATUS_INVALID_PARAMETER;
  }
  NativeEvent *ref = nullptr;
  HANDLE inner = nullptr;
  if (event && !(inner = resolveEvent(event, &ref))) return STATUS_INVALID_HANDLE;
  ULONG_PTR copied = 0;
  NTSTATUS status;
  {
    std::lock_guard<std::mutex> hold(f->lock);
    status = deviceExchange(f, ioControlCode, inputBuffer, inputBufferLength, outputBuffer,
                            outputBufferLength, &copied);
  }
  ioStatusBlock->Status = status;
  ioStatusBlock->Information = copied;
  if (inner) SetEvent(inner);
  releaseEvent(ref);
  return status;
}

NTSTATUS NTAPI ZwCreateEvent(PHANDLE eventHandle, ACCESS_MASK, POBJECT_ATTRIBUTES objectAttributes,
                             EVENT_TYPE eventType, BOOLEAN initialState) {
  if (!eventHandle || (eventType != NotificationEvent && eventType != SynchronizationEvent) ||
      (objectAttributes && objectAttributes->ObjectName)) {
    return STATUS_INVALID_PARAMETER;
  }
  HANDLE inner = CreateEventW(nullptr, eventType == NotificationEvent, initialState != 0, nullptr);
  NativeEvent *e = inner ? new (std::nothrow) NativeEvent : nullptr;
  if (!e) {
    if (inner) CloseHandle(inner);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  e->kind = KIND_EVENT;
  e->inner = inner;
  e->refs.store(1);
  registerObject(e);
  *eventHandle = e;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwWriteFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID,
                           PIO_STATUS_BLOCK ioStatusBlock, PVOID buffer, ULONG length,
                           PLARGE_INTEGER, PULONG) {
  return startOperation(fileHandle, event, apcRoutine, ioStatusBlock, buffer, length, true);
}

NTSTATUS NTAPI ZwReadFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID,
                          PIO_STATUS_BLOCK ioStatusBlock, PVOID buffer, ULONG length,
                          PLARGE_INTEGER, PULONG) {
  return startOperation(fileHandle, event, apcRoutine, ioStatusBlock, buffer, length, false);
}

NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE handle, BOOLEAN, PLARGE_INTEGER timeout) {
  DWORD ms = INFINITE;
  if (timeout) {
    if (timeout->QuadPart > 0) return STATUS_INVALID_PARAMETER;
    // 100 ns units to milliseconds, rounded up so that a wait is never
    // shorter than asked; anything beyond the DWORD range is as good as none.
    constexpr LONGLONG UNITS_PER_MS = 10000;
    constexpr LONGLONG LONGEST = LONGLONG(INFINITE - 1) * UNITS_PER_MS;
    LONGLONG units = timeout->QuadPart < -LONGEST ? LONGEST : -timeout->QuadPart;
    ms = DWORD((units + UNITS_PER_MS - 1) / UNITS_PER_MS);
  }
  lastWait.store(ms);
  DWORD cap = waitCap.load();
  if (cap != INFINITE && (ms == INFINITE || ms > cap)) ms = cap;
  if (findFile(handle)) return STATUS_INVALID_HANDLE;
  NativeEvent *e = acquireEvent(handle);
  DWORD result = WaitForSingleObject(e ? e->inner : handle, ms);
  releaseEvent(e);
  if (result == WAIT_OBJECT_0) return STATUS_SUCCESS;
  return result == WAIT_TIMEOUT ? STATUS_TIMEOUT : STATUS_INVALID_HANDLE;
}

NTSTATUS NTAPI ZwCancelIoFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatusBlock) {
  NativeFile *f = findFile(fileHandle);
  if (!f) return STATUS_INVALID_HANDLE;
  if (!ioStatusBlock) return STATUS_INVALID_PARAMETER;
  {
    std::lock_guard<std::mutex> hold(f->lock);
    settleWorker(f);
  }
  ioStatusBlock->Status = STATUS_SUCCESS;
  ioStatusBlock->Information = 0;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwClose(HANDLE handle) {
  if (NativeObject *o = unregisterObject(handle, KIND_FILE)) {
    NativeFile *f = static_cast<NativeFile *>(o);
    {
      std::lock_guard<std::mutex> hold(f->lock);
      settleWorker(f);
    }
    if (f->fd >= 0) close(f->fd);
    close(f->cancelFd);
    delete f;
    return STATUS_SUCCESS;
  }
  if (NativeObject *o = unregisterObject(handle, KIND_EVENT)) {
    releaseEvent(static_cast<NativeEvent *>(o));
    return STATUS_SUCCESS;
  }
  return handle && CloseHandle(handle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

void lvNativeWaitCap(DWORD milliseconds) { waitCap.store(milliseconds); }

DWORD lvNativeLastWaitMs(void) { return lastWait.load(); }

long lvNativeHandlesLive(void) {
  std::lock_guard<std::mutex> hold(registryLock);
  return liveCount;
}
