// Synchronisation family of the POSIX runtime: critical sections, events,
// threads, waits, interlocked operations and the process and thread
// priorities, as far as the driver uses them.
#pragma once

#include <pthread.h>

#include "platform/posix/windef.h"

// Recursive lock. OwningThread and RecursionCount are kept as on Windows so
// that lock-held assertions read the same fields in both builds.
struct CRITICAL_SECTION {
  pthread_mutex_t mutex;  // recursive
  HANDLE OwningThread;    // thread id of the owner, cast; null when free
  LONG RecursionCount;    // entries by the owner not yet left
};
typedef CRITICAL_SECTION *LPCRITICAL_SECTION;

struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES;
typedef DWORD(WINAPI *LPTHREAD_START_ROUTINE)(LPVOID);

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 0x00000103u

#define NORMAL_PRIORITY_CLASS 0x00000020u
#define IDLE_PRIORITY_CLASS 0x00000040u
#define HIGH_PRIORITY_CLASS 0x00000080u
#define REALTIME_PRIORITY_CLASS 0x00000100u
#define BELOW_NORMAL_PRIORITY_CLASS 0x00004000u
#define ABOVE_NORMAL_PRIORITY_CLASS 0x00008000u

#define THREAD_PRIORITY_IDLE (-15)
#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2
#define THREAD_PRIORITY_TIME_CRITICAL 15
#define THREAD_PRIORITY_ERROR_RETURN 0x7FFFFFFF

// Keeps: recursion, owner tracking. Leaves out: spin counts, debug info.
void InitializeCriticalSection(LPCRITICAL_SECTION cs);
// Keeps: undefined to delete an owned section, as on Windows.
void DeleteCriticalSection(LPCRITICAL_SECTION cs);
// Keeps: blocks without limit, recursive entry by the owner.
void EnterCriticalSection(LPCRITICAL_SECTION cs);
// Keeps: non-blocking attempt, recursive for the owner.
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs);
// Keeps: only the owner may leave.
void LeaveCriticalSection(LPCRITICAL_SECTION cs);

// Not a Windows call (Windows has no fork): sets the handlers that run
// around a fork of the process, as pthread_atfork runs them: prepare in the
// forking thread before it, parent in the parent after it, child in the
// child's one thread after it. One set at a time, replaced by the next
// call; nulls remove them. The runtime registers with the system once and
// calls whatever is set, so that a driver library unloaded after removing
// its handlers leaves nothing of its own registered.
void lvSetForkHandlers(void (*prepare)(void), void (*parent)(void), void (*child)(void));

// Keeps: manual and auto reset, initial state. Leaves out: security and
// names (a name gives null, since no named object exists here).
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState, LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// Keeps: the thread runs at once (creation flags must be 0), the handle is
// signalled when the thread ends, exit code. Leaves out: security, stack size
// (the system default is used), suspended creation, the thread id (0 is
// stored when asked for).
HANDLE CreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID param, DWORD flags, LPDWORD threadId);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
// Keeps: events and thread handles, millisecond time-out or INFINITE.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// Keeps: the handle is released; a running thread goes on without it; file
// mappings close too. Native files and events close with ZwClose.
BOOL CloseHandle(HANDLE handle);

// Pseudo-handles, valid only in the calling thread and process.
HANDLE GetCurrentThread(void);
HANDLE GetCurrentProcess(void);
DWORD GetCurrentThreadId(void);
// Keeps: yields for at least the given milliseconds; 0 yields the processor.
void Sleep(DWORD milliseconds);

// Keeps the value per thread so that callers can read it back. Leaves out
// scheduling: raising a thread needs privileges an application lacks.
BOOL SetThreadPriority(HANDLE thread, int priority);
int GetThreadPriority(HANDLE thread);
// Keeps the class value for the process, which is what callers observe; the
// scheduling itself is left alone, since raising it needs privileges and
// lowering it could not be undone without them. Classes other than the six
// of Windows, and handles other than the current process, are refused.
BOOL SetPriorityClass(HANDLE process, DWORD priorityClass);
DWORD GetPriorityClass(HANDLE process);

// Keeps: full barrier, 32-bit operands.
LONG InterlockedCompareExchange(LONG volatile *target, LONG exchange, LONG comparand);
LONG InterlockedExchange(LONG volatile *target, LONG value);
LONG InterlockedIncrement(LONG volatile *target);
LONG InterlockedDecrement(LONG volatile *target);
