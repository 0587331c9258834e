// The endpoints' positions and counts, moved for the streams and for the
// owner that fills and reads the rings.
#include "stream/endpoint.h"

#include <cassert>

#include "audio/formats.h"
#include "net/lock.h"
#include "stream/stream.h"

void sourceProduced(PlaySource *source, uint32_t frames) {
  assert(drvLockHeld());
  source->produced += frames;
}

void sourceSenderStarted(PlaySource *source) {
  assert(drvLockHeld());
  source->startedCount += 1;
  if (source->startedCount == 1) source->events->activity(source, 1);
}

void sourceSenderStopped(PlaySource *source) {
  assert(drvLockHeld());
  if (source->startedCount == 0) return;  // every stop follows a start
  source->startedCount -= 1;
  if (source->startedCount == 0) source->events->activity(source, 0);
}

// The sink is at its end: its last receiver stopped and all was read.
static void sinkEndIfRead(RecordSink *sink) {
  if (sink->activeCount == 0 && int32_t(sink->endPos - sink->readPos) <= 0 && sink->active) {
    sink->active = 0;
    sink->events->activity(sink, 0);
  }
}

void sinkConsumed(RecordSink *sink, uint32_t frames) {
  assert(drvLockHeld());
  ringClear(sink->ring, sink->readPos, frames);
  sink->readPos += frames;
  receiverCredit(sink);
  sinkEndIfRead(sink);
}

void sinkDiscard(RecordSink *sink) {
  assert(drvLockHeld());
  uint32_t end = sink->readPos;
  for (CaptureReceiver *r = sink->receivers; r; r = r->next) {
    if (r->synced && int32_t(r->writePos - end) > 0) end = r->writePos;
  }
  // A receiver never writes more than a ring ahead of the reader.
  uint32_t left = end - sink->readPos;
  if (left > sink->ring->frames) left = sink->ring->frames;
  while (left > 0) {
    uint32_t span;
    ringSpan(sink->ring, sink->readPos, &span);
    if (span > left) span = left;
    ringClear(sink->ring, sink->readPos, span);
    sink->readPos += span;
    left -= span;
  }
  sink->readPos = end;
  for (CaptureReceiver *r = sink->receivers; r; r = r->next) r->creditedRead = end;
}

void sinkReceiverStarted(RecordSink *sink) {
  assert(drvLockHeld());
  sink->activeCount += 1;
  if (sink->activeCount == 1 && !sink->active) {
    sink->active = 1;
    sink->events->activity(sink, 1);
  }
}

void sinkReceiverStopped(RecordSink *sink, uint32_t endPosition) {
  assert(drvLockHeld());
  if (sink->activeCount == 0) return;  // every stop follows a start
  sink->activeCount -= 1;
  if (sink->activeCount != 0) return;
  sink->endPos = endPosition;
  sinkEndIfRead(sink);
}
