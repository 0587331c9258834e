// Failure injection for the runtime's own calls, so that tests can make an
// allocation, an event or a thread creation fail on a chosen call.
#pragma once

enum LvFault {
  LV_FAULT_LOCAL_ALLOC,
  LV_FAULT_CREATE_EVENT,
  LV_FAULT_CREATE_THREAD,
  LV_FAULT_COUNT
};

// Lets `skip` calls of `fault` succeed, then fails the next `count` calls.
void lvFaultArm(LvFault fault, int skip, int count);
// Disarms every fault.
void lvFaultReset(void);
// Called by the runtime at each call that can fail: non-zero means fail now.
int lvFaultHit(LvFault fault);
