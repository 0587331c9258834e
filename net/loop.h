// The I/O thread's event loop: socket watchers, timers and work items.
//
// All network work of the driver runs on one I/O thread. Each turn of the
// loop dispatches exactly one callback: the one with the highest priority
// among the ready watchers, the fired timers and the queued work items.
// Ties go to whatever is scanned first: a work item beats a timer, a timer a
// read watcher, a read watcher a write watcher, and within a list the member
// nearer the head (the most recently added) wins. One callback per turn
// bounds the wait of a high-priority item to one lower-priority callback
// plus one polling select.
//
// Floods: a watcher whose socket is always readable (a host flooding a
// stream's port) would otherwise win every turn. After LOOP_WATCHER_BURST
// turns in a row that dispatched watchers, one turn passes over every
// watcher dispatched in that run and takes the best other candidate: a
// timer, a work item or a watcher that has waited. A flood then costs the
// rest of the loop throughput, never its turn.
//
// Starvation: a work item whose priority is above every registered watcher's
// runs turn after turn without select being called at all, and a work item
// stays queued until somebody dequeues it. Such an item must dequeue itself
// (or let a watcher of higher priority exist) or it starves every socket.
//
// Locking: every operation here is called with drvLock held. The I/O thread
// holds drvLock at all times except inside select, so application threads
// change registrations under the lock and call loopWake, and the loop sees
// the change when it re-walks its lists after select.
//
// Records are owned and embedded by their users; the loop never allocates or
// frees one. A watcher callback must not free its own record (the loop
// stores the callback's result in it afterwards); records are freed from
// work items instead.
#pragma once

#include "platform/platform.h"

typedef int (*WatcherCallback)(void *user);  // non-zero: still ready, call again
typedef void (*TimerCallback)(void *user);
typedef void (*WorkCallback)(void *user);

// One socket watched in one direction.
struct Watcher {
  Watcher *next;             // link in the read list or the write list
  SOCKET socket;
  WatcherCallback callback;  // run on the I/O thread with drvLock held
  void *user;
  DWORD priority;            // larger wins; 0 is never dispatched
  int ready;                 // set by select, then the callback's result
  DWORD lastTurn;            // loopTurns value of its last dispatch
};

// Turns in a row that may dispatch watchers before one turn passes over
// them (see Floods above).
constexpr DWORD LOOP_WATCHER_BURST = 16;
// Turns taken so far, wrapping.
extern DWORD loopTurns;

struct Timer {
  Timer *next;             // link in the timer list, ascending by due
  DWORD due;               // GetTickCount milliseconds, wrapping
  TimerCallback callback;  // run off the list, with drvLock held
  void *user;
  DWORD priority;  // larger wins; 0 is never dispatched
  int fired;       // due has passed; cleared when scheduled
};

struct WorkItem {
  WorkItem *next;         // link in the work list, newest first
  WorkCallback callback;  // run with drvLock held; stays queued
  void *user;
  DWORD priority;  // larger wins; 0 is never dispatched
  int queued;      // 1 while on the work list
};

// The wake-up pair: loopWake sends on the first, the I/O thread reads the
// second. Both INVALID_SOCKET while no I/O thread runs.
enum { WAKE_SEND = 0, WAKE_RECEIVE = 1 };
extern SOCKET wakePair[2];

// The process-wide lists, guarded by drvLock.
extern Watcher *loopReaders;
extern Watcher *loopWriters;
extern WorkItem *loopWork;
extern Timer *loopTimers;

// Fills the record (next null). Returns it.
Watcher *watcherInit(Watcher *w, SOCKET s, WatcherCallback callback, void *user, DWORD priority);
// Clear the ready flag and push at the head. The watcher must be on no list.
void loopAddReader(Watcher *w);
void loopAddWriter(Watcher *w);
// Unlink the watcher if present.
void loopRemoveReader(Watcher *w);
void loopRemoveWriter(Watcher *w);

// Fills the record; next and due are 0.
void timerInit(Timer *t, TimerCallback callback, void *user, DWORD priority);
// (Re)inserts the timer after every member with an equal or smaller due
// (unsigned order) and clears its fired flag.
void timerSchedule(Timer *t, DWORD due);
void timerCancel(Timer *t);

// Fills the record; next and queued are 0.
void workInit(WorkItem *item, WorkCallback callback, void *user, DWORD priority);
// Pushes the item at the head unless it is already queued.
void workQueue(WorkItem *item);
// Unlinks the item if it is queued.
void workDequeue(WorkItem *item);

// Sends the one wake-up byte "." so that a blocked select returns. May be
// called with or without drvLock.
void loopWake(void);
// One turn. Called only on the I/O thread (or a test acting as it), with
// drvLock held; returns with it held.
void loopTurn(void);
// Set to ask the I/O thread to leave its loop; cleared before each start
// (driver/entry). drvLock held.
extern DWORD ioStop;
// The I/O thread's start routine; returns 0 once ioStop is set and no work
// item and no write watcher remain.
DWORD WINAPI ioThreadMain(LPVOID unused);

// Creates the wake-up pair: two loopback datagram sockets connected to each
// other. Returns 0, or -1 when a socket cannot be made or bound; on failure
// nothing stays open and both slots hold INVALID_SOCKET.
int wakePairCreate(SOCKET pair[2]);
// Closes both sockets (sending end first) and marks them invalid.
void wakePairClose(SOCKET pair[2]);

// A zero-filled LocalAlloc block (null on failure); freed with LocalFree.
void *memAllocZero(SIZE_T bytes);
// The millisecond tick: GetTickCount, through the runtime's test seam
// (lvTickCount).
DWORD tickNow(void);
