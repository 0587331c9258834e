// The endpoints the network streams serve: a PlaySource whose ring the play
// senders read, a RecordSink whose ring the capture receivers write. Each
// holds a SampleRing in the application's rate and the list of its streams.
//
// The wave device that owns an endpoint fills the source's ring and reads
// the sink's; it hears of the streams through the one record of callbacks
// it installs (PlaySourceEvents, RecordSinkEvents) and moves the positions
// through the functions below, so that the fields here are written in this
// layer only. Everything is called with drvLock held.
#pragma once

#include <cstdint>

#include "platform/platform.h"

struct SampleRing;
struct PlaySender;
struct CaptureReceiver;
struct WaveStreamState;  // the owner's record, opaque here
struct PlaySource;
struct RecordSink;

// What the play senders tell their source's owner. Every entry is called on
// the I/O thread with drvLock held.
struct PlaySourceEvents {
  // Asks for ring audio up to position + amount; 1 when any frame was made.
  int (*fill)(PlaySource *source, uint32_t position, uint32_t amount);
  // Flag 1 when the first sender starts, 0 when the last started one stops.
  void (*activity)(PlaySource *source, int flag);
  // A sender's consumed position after each run of its send work item.
  void (*progress)(PlaySource *source, uint32_t consumed);
  // A sender has waited STREAM_STALL_MS for its server: silent 1 when
  // nothing was heard, 0 when the server answered but neither the played
  // nor the sent position moved. Returns 1 when the owner gives its stream
  // up (as if the connection had gone; the teardown follows on a later
  // turn), 0 when it keeps it: the sender's waits start afresh. Null: the
  // stream is never given up.
  int (*stalled)(PlaySource *source, int silent);
};

// What the capture receivers tell their sink's owner.
struct RecordSinkEvents {
  // A receiver has written samples into the ring.
  void (*dataReady)(RecordSink *sink);
  // Flag 1 when the first receiver synchronises, 0 once the last one has
  // stopped and everything it wrote was read.
  void (*activity)(RecordSink *sink, int flag);
};

// The largest delivery a record sink's owner takes at once, frames; the
// server is asked for bursts of twice this.
constexpr uint32_t RECORD_MAX_BURST = 1024;

struct PlaySource {
  const PlaySourceEvents *events;
  uint32_t startedCount;   // play senders that have started
  uint32_t produced;       // ring position up to which application audio was copied
  SampleRing *ring;        // stereo when the format has exactly 2 channels
  PlaySender *senders;     // the senders fed from this source, newest first
  WaveStreamState *state;  // the owner
};

struct RecordSink {
  const RecordSinkEvents *events;
  uint32_t activeCount;        // synchronised capture receivers
  uint32_t readPos;            // ring position handed to the owner so far
  uint32_t endPos;             // ring position at which the last receiver stopped
  uint32_t active;             // 1 from the first sync until the end was read
  SampleRing *ring;            // stereo when the format has more than 1 channel
  CaptureReceiver *receivers;  // the receivers writing into this sink, newest first
  WaveStreamState *state;      // the owner
};

// The owner has copied `frames` more frames into the source's ring, at its
// produced position.
void sourceProduced(PlaySource *source, uint32_t frames);
// A sender has made its first round trip: counts it, and the first one
// makes the source active (activity 1).
void sourceSenderStarted(PlaySource *source);
// A started sender stops: the last one makes the source inactive.
void sourceSenderStopped(PlaySource *source);

// The owner has taken `frames` frames from the sink's ring at its read
// position: they are cleared, the receivers earn credit for them, and the
// sink becomes inactive once its last receiver stopped and all was read.
void sinkConsumed(RecordSink *sink, uint32_t frames);
// Drops the audio the receivers have placed on the ring and the owner has
// not read: the read position moves to the furthest write position. A
// stop calls it, so that a later start neither hands on stale audio nor
// mixes new audio into it.
void sinkDiscard(RecordSink *sink);
// A receiver has synchronised: counts it, and the first one makes the sink
// active (activity 1).
void sinkReceiverStarted(RecordSink *sink);
// A synchronised receiver stops at ring position endPosition: when it was
// the last, the end is stored, and once nothing remains to be read the sink
// becomes inactive (activity 0).
void sinkReceiverStopped(RecordSink *sink, uint32_t endPosition);
