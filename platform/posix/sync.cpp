// Critical sections, events, threads and priorities over pthreads.
//
// Events and threads are both handle objects: a tagged record with a
// reference count, a mutex, a condition variable and a signalled flag. A
// thread's handle is signalled when its start routine returns; the running
// thread holds one reference and each handle given out holds another, so
// closing a handle of a running thread is safe.
#include "platform/posix/sync.h"

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "platform/posix/faults.h"
#include "platform/posix/names.h"

namespace {

constexpr uint32_t KIND_EVENT = 0x45564E54;   // "EVNT"
constexpr uint32_t KIND_THREAD = 0x54485244;  // "THRD"
constexpr uint32_t KIND_DEAD = 0xDEADDEAD;

HANDLE const PSEUDO_PROCESS = reinterpret_cast<HANDLE>(intptr_t(-1));
HANDLE const PSEUDO_THREAD = reinterpret_cast<HANDLE>(intptr_t(-2));

struct HandleObject {
  uint32_t kind;
  std::atomic<int> refs{1};
  std::mutex mutex;
  std::condition_variable changed;
  bool signalled = false;    // guarded by mutex
  bool manualReset = true;   // events only
  // Threads only.
  LPTHREAD_START_ROUTINE start = nullptr;
  LPVOID param = nullptr;
  DWORD exitCode = STILL_ACTIVE;  // guarded by mutex
  std::atomic<int> priority{THREAD_PRIORITY_NORMAL};
};

thread_local HandleObject *currentThreadObject = nullptr;  // set for CreateThread threads
thread_local int otherThreadPriority = THREAD_PRIORITY_NORMAL;
std::atomic<DWORD> processPriorityClass{NORMAL_PRIORITY_CLASS};

HandleObject *asObject(HANDLE h, uint32_t kind) {
  if (h == nullptr || h == PSEUDO_PROCESS || h == PSEUDO_THREAD) return nullptr;
  HandleObject *o = static_cast<HandleObject *>(h);
  return o->kind == kind ? o : nullptr;
}

HandleObject *asAnyObject(HANDLE h) {
  HandleObject *o = asObject(h, KIND_EVENT);
  return o ? o : asObject(h, KIND_THREAD);
}

void release(HandleObject *o) {
  if (o->refs.fetch_sub(1) == 1) {
    o->kind = KIND_DEAD;
    delete o;
  }
}

void *threadTrampoline(void *arg) {
  HandleObject *o = static_cast<HandleObject *>(arg);
  currentThreadObject = o;
  DWORD code = o->start(o->param);
  {
    std::lock_guard<std::mutex> hold(o->mutex);
    o->exitCode = code;
    o->signalled = true;
    o->changed.notify_all();
  }
  currentThreadObject = nullptr;
  release(o);
  return nullptr;
}

bool validThreadPriority(int p) {
  return p == THREAD_PRIORITY_IDLE || p == THREAD_PRIORITY_TIME_CRITICAL ||
         (p >= THREAD_PRIORITY_LOWEST && p <= THREAD_PRIORITY_HIGHEST);
}

bool validPriorityClass(DWORD c) {
  return c == IDLE_PRIORITY_CLASS || c == BELOW_NORMAL_PRIORITY_CLASS ||
         c == NORMAL_PRIORITY_CLASS || c == ABOVE_NORMAL_PRIORITY_CLASS ||
         c == HIGH_PRIORITY_CLASS || c == REALTIME_PRIORITY_CLASS;
}

}  // namespace

void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&cs->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  cs->OwningThread = nullptr;
  cs->RecursionCount = 0;
}

void DeleteCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_destroy(&cs->mutex); }

// OwningThread is stored atomically because lock-held checks read it from
// threads that do not own the section.
static void noteEntered(LPCRITICAL_SECTION cs) {
  __atomic_store_n(&cs->OwningThread, reinterpret_cast<HANDLE>(uintptr_t(GetCurrentThreadId())),
                   __ATOMIC_RELAXED);
  cs->RecursionCount += 1;
}

void EnterCriticalSection(LPCRITICAL_SECTION cs) {
  pthread_mutex_lock(&cs->mutex);
  noteEntered(cs);
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
  if (pthread_mutex_trylock(&cs->mutex) != 0) return FALSE;
  noteEntered(cs);
  return TRUE;
}

void LeaveCriticalSection(LPCRITICAL_SECTION cs) {
  if (--cs->RecursionCount == 0) {
    __atomic_store_n(&cs->OwningThread, HANDLE(nullptr), __ATOMIC_RELAXED);
  }
  pthread_mutex_unlock(&cs->mutex);
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  if (name != nullptr || lvFaultHit(LV_FAULT_CREATE_EVENT)) return nullptr;
  HandleObject *o = new (std::nothrow) HandleObject;
  if (!o) return nullptr;
  o->kind = KIND_EVENT;
  o->manualReset = manualReset != FALSE;
  o->signalled = initialState != FALSE;
  return o;
}

BOOL SetEvent(HANDLE event) {
  HandleObject *o = asObject(event, KIND_EVENT);
  if (!o) return FALSE;
  // Notified under the mutex: a waiter that wakes may close the handle at
  // once, and must not find the condition variable still in use.
  std::lock_guard<std::mutex> hold(o->mutex);
  o->signalled = true;
  o->changed.notify_all();
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  HandleObject *o = asObject(event, KIND_EVENT);
  if (!o) return FALSE;
  std::lock_guard<std::mutex> hold(o->mutex);
  o->signalled = false;
  return TRUE;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID param,
                    DWORD flags, LPDWORD threadId) {
  if (start == nullptr || flags != 0 || lvFaultHit(LV_FAULT_CREATE_THREAD)) return nullptr;
  HandleObject *o = new (std::nothrow) HandleObject;
  if (!o) return nullptr;
  o->kind = KIND_THREAD;
  o->start = start;
  o->param = param;
  o->refs.store(2);  // the handle returned and the running thread
  pthread_t thread;
  if (pthread_create(&thread, nullptr, threadTrampoline, o) != 0) {
    o->kind = KIND_DEAD;
    delete o;
    return nullptr;
  }
  pthread_detach(thread);
  if (threadId) *threadId = 0;  // ids are only known inside the thread here
  return o;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
  HandleObject *o = asObject(thread, KIND_THREAD);
  if (!o || !exitCode) return FALSE;
  std::lock_guard<std::mutex> hold(o->mutex);
  *exitCode = o->exitCode;
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  HandleObject *o = asAnyObject(handle);
  if (!o) return WAIT_FAILED;
  std::unique_lock<std::mutex> hold(o->mutex);
  auto ready = [o] { return o->signalled; };
  if (milliseconds == INFINITE) {
    o->changed.wait(hold, ready);
  } else if (!o->changed.wait_for(hold, std::chrono::milliseconds(milliseconds), ready)) {
    return WAIT_TIMEOUT;
  }
  if (o->kind == KIND_EVENT && !o->manualReset) o->signalled = false;
  return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE handle) {
  // File mappings are handles too; their family recognises its own.
  if (lvMappingClose(handle)) return TRUE;
  HandleObject *o = asAnyObject(handle);
  if (!o) return FALSE;
  release(o);
  return TRUE;
}

HANDLE GetCurrentThread(void) { return PSEUDO_THREAD; }
HANDLE GetCurrentProcess(void) { return PSEUDO_PROCESS; }
// The id is asked for on every lock entry, so each thread keeps its own
// copy; a forked child's only thread starts over with its new id.
static thread_local DWORD cachedThreadId;

// The handlers of lvSetForkHandlers, read and written atomically: the
// thread that forks need not be the one that set them.
typedef void (*ForkHandler)(void);
static ForkHandler forkHandlers[3];  // prepare, parent, child

static void runForkHandler(int which) {
  if (ForkHandler f = __atomic_load_n(&forkHandlers[which], __ATOMIC_ACQUIRE)) f();
}
static void runForkPrepare(void) { runForkHandler(0); }
static void runForkParent(void) { runForkHandler(1); }
static void runForkChild(void) {
  cachedThreadId = 0;
  runForkHandler(2);
}
static const int forkHandlersInstalled = pthread_atfork(runForkPrepare, runForkParent, runForkChild);

void lvSetForkHandlers(ForkHandler prepare, ForkHandler parent, ForkHandler child) {
  __atomic_store_n(&forkHandlers[0], prepare, __ATOMIC_RELEASE);
  __atomic_store_n(&forkHandlers[1], parent, __ATOMIC_RELEASE);
  __atomic_store_n(&forkHandlers[2], child, __ATOMIC_RELEASE);
}

DWORD GetCurrentThreadId(void) {
  if (cachedThreadId == 0) cachedThreadId = DWORD(syscall(SYS_gettid));
  return cachedThreadId;
}

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    sched_yield();
    return;
  }
  timespec delay{time_t(milliseconds / 1000), long(milliseconds % 1000) * 1000000L};
  while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
  }
}

BOOL SetThreadPriority(HANDLE thread, int priority) {
  if (!validThreadPriority(priority)) return FALSE;
  if (thread == PSEUDO_THREAD) {
    if (currentThreadObject) {
      currentThreadObject->priority.store(priority);
    } else {
      otherThreadPriority = priority;
    }
    return TRUE;
  }
  HandleObject *o = asObject(thread, KIND_THREAD);
  if (!o) return FALSE;
  o->priority.store(priority);
  return TRUE;
}

int GetThreadPriority(HANDLE thread) {
  if (thread == PSEUDO_THREAD) {
    return currentThreadObject ? currentThreadObject->priority.load() : otherThreadPriority;
  }
  HandleObject *o = asObject(thread, KIND_THREAD);
  return o ? o->priority.load() : THREAD_PRIORITY_ERROR_RETURN;
}

// The class is kept, not applied: raising a process above normal needs
// privileges, and lowering it could not be undone without them, so the
// observable contract (the value a later GetPriorityClass reads) is all that
// an unprivileged process can honour.
BOOL SetPriorityClass(HANDLE process, DWORD priorityClass) {
  if (process != PSEUDO_PROCESS || !validPriorityClass(priorityClass)) return FALSE;
  processPriorityClass.store(priorityClass);
  return TRUE;
}

DWORD GetPriorityClass(HANDLE process) {
  return process == PSEUDO_PROCESS ? processPriorityClass.load() : 0;
}

LONG InterlockedCompareExchange(LONG volatile *target, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return comparand;  // the initial value, whether or not it was replaced
}

LONG InterlockedExchange(LONG volatile *target, LONG value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

LONG InterlockedIncrement(LONG volatile *target) {
  return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedDecrement(LONG volatile *target) {
  return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST);
}
