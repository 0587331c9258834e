// The capture receivers' count on a record sink.
#include "devices/endpoint.h"

#include <cassert>

#include "driver/entry.h"

void sinkReceiverStarted(RecordSink *sink) {
  assert(drvLockHeld());
  sink->activeCount += 1;
  if (sink->activeCount == 1 && !sink->active) {
    sink->active = 1;
    sink->activity(sink, 1);
  }
}

void sinkReceiverStopped(RecordSink *sink, uint32_t endPosition) {
  assert(drvLockHeld());
  if (sink->activeCount == 0) return;  // every stop follows a start
  sink->activeCount -= 1;
  if (sink->activeCount != 0) return;
  sink->endPos = endPosition;
  if (int32_t(endPosition - sink->readPos) <= 0 && sink->active) {
    sink->active = 0;
    sink->activity(sink, 0);
  }
}
