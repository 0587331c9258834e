// Failure injection counters. Each fault has a number of calls to let pass
// and a number of calls to fail; both are atomic because the runtime is
// called from several threads at once.
#include "platform/posix/faults.h"

#include <atomic>

namespace {

struct FaultState {
  std::atomic<int> skip{0};   // calls still to let pass before failing
  std::atomic<int> count{0};  // calls still to fail
};

FaultState faults[LV_FAULT_COUNT];

}  // namespace

void lvFaultArm(LvFault fault, int skip, int count) {
  faults[fault].skip.store(skip);
  faults[fault].count.store(count);
}

void lvFaultReset(void) {
  for (FaultState &f : faults) {
    f.count.store(0);
    f.skip.store(0);
  }
}

int lvFaultHit(LvFault fault) {
  FaultState &f = faults[fault];
  if (f.count.load() <= 0) return 0;
  if (f.skip.fetch_sub(1) > 0) return 0;
  return f.count.fetch_sub(1) > 0;
}
