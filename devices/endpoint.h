// The wave stream endpoints: a PlaySource between the output headers and the
// play senders, a RecordSink between the capture receivers and the input
// headers. Each owns a SampleRing in the instance's rate and channels.
//
// The records are here with the callback slots the network streams call
// through; the streams never call the endpoint's functions around them,
// except for the receivers' started/stopped count below. Everything is
// called with drvLock held.
#pragma once

#include <cstdint>

#include "platform/platform.h"

struct SampleRing;
struct PlaySender;
struct CaptureReceiver;
struct WaveStreamState;
struct PlaySource;
struct RecordSink;

// Copies application samples into buffer; *bytes in: room, out: bytes made.
// Returns 1 when samples (or silence) were produced.
typedef int (*SourceSupplyFn)(PlaySource *source, int16_t *buffer, DWORD *bytes);
// Asks for ring audio up to position + amount; 1 when any frame was made.
typedef int (*SourceFillFn)(PlaySource *source, uint32_t position, uint32_t amount);
// Releases the ring and the record; called after the streams are gone.
typedef void (*EndpointDestroyFn)(void *endpoint);
// Play senders: flag 1 when the first one starts, 0 when the last stops.
typedef void (*SourceActivityFn)(PlaySource *source, int flag);
// A play sender's consumed position after each run of its send work item.
typedef void (*SourceProgressFn)(PlaySource *source, uint32_t consumed);
// Hands bytes of ring samples to the input headers; returns 0.
typedef int (*SinkDeliverFn)(RecordSink *sink, const int16_t *samples, DWORD bytes);
// A capture receiver has written samples into the ring.
typedef void (*SinkDataReadyFn)(RecordSink *sink);
typedef void (*SinkActivityFn)(RecordSink *sink, int flag);
// A play sender has waited STREAM_STALL_MS for its server: silent 1 when
// nothing was heard, 0 when the server answered but neither the played nor
// the sent position moved. Returns 1 when the endpoint gives its stream up
// (as if the connection had gone; the teardown follows on a later turn), 0
// when it keeps it: the sender's waits start afresh.
typedef int (*SourceStalledFn)(PlaySource *source, int silent);

// The largest delivery the record sink asks for at once, frames; the
// server is asked for bursts of twice this.
constexpr uint32_t RECORD_MAX_BURST = 1024;

struct PlaySource {
  SourceSupplyFn supply;      // called by fill
  SourceFillFn fill;          // also called by the play senders
  EndpointDestroyFn destroy;  // called by the wave operations
  SourceActivityFn activity;  // called by the play senders
  SourceProgressFn progress;  // called by the play senders
  uint32_t startedCount;      // play senders that have started
  uint32_t produced;          // ring position up to which application audio was copied
  uint32_t adaptive;          // 0: sent in the open-stream request
  SampleRing *ring;           // stereo when the format has exactly 2 channels
  PlaySender *senders;        // the senders fed from this source, newest first
  WaveStreamState *state;     // the owner
  SourceStalledFn stalled;    // called by the play senders; null: never given up
};

struct RecordSink {
  SinkDeliverFn deliver;       // called by the drain
  SinkDataReadyFn dataReady;   // called by the capture receivers
  EndpointDestroyFn destroy;   // called by the wave operations
  SinkActivityFn activity;     // flag 1 when the first receiver syncs, 0 at the end
  uint32_t activeCount;        // synchronised capture receivers
  uint32_t readPos;            // ring position handed to the device so far
  uint32_t maxBurst;           // frames; 1024
  uint32_t endPos;             // ring position at which the last receiver stopped
  uint32_t adaptive;           // 0: sent in the open-stream request
  uint32_t active;             // 1 from the first sync until the end was read
  SampleRing *ring;            // stereo when the format has more than 1 channel
  CaptureReceiver *receivers;  // the receivers writing into this sink, newest first
  WaveStreamState *state;      // the owner
};

// The endpoints of one wave stream's state; null when the ring cannot be
// made. The source's ring is stereo when the instance has exactly 2
// channels, the sink's when it has more than 1. Called with drvLock held.
PlaySource *playSourceCreate(WaveStreamState *state);
RecordSink *recordSinkCreate(WaveStreamState *state);
// Releases the ring and the record (either kind). Called once the
// endpoint's network streams are gone.
void endpointDestroy(void *endpoint);

// The callbacks the slots above hold. Each is called on the I/O thread
// with drvLock held.
int sourceSupply(PlaySource *source, int16_t *buffer, DWORD *bytes);
int sourceFill(PlaySource *source, uint32_t position, uint32_t amount);
void sourceActivity(PlaySource *source, int flag);
void sourceProgress(PlaySource *source, uint32_t consumed);
int sinkDeliver(RecordSink *sink, const int16_t *samples, DWORD bytes);
void sinkDataReady(RecordSink *sink);
void sinkActivity(RecordSink *sink, int flag);
int sourceStalled(PlaySource *source, int silent);

// Moves the ring's unread frames, at most limit, into the input headers.
// Returns 1 to go on, 0 when there was nothing to move.
int sinkDrain(RecordSink *sink, uint32_t limit);

// A receiver has synchronised: counts it, and the first one makes the sink
// active (activity 1).
void sinkReceiverStarted(RecordSink *sink);
// Drops the audio the receivers have placed on the ring and the device has
// not read: the read position moves to the furthest write position. A
// stop calls it, so that a later start neither hands on stale audio nor
// mixes new audio into it.
void sinkDiscard(RecordSink *sink);

// A synchronised receiver stops at ring position endPosition: when it was
// the last, the end is stored, and once nothing remains to be read the sink
// becomes inactive (activity 0).
void sinkReceiverStopped(RecordSink *sink, uint32_t endPosition);

// The pumps: work items whose user value is the WaveStreamState. The play
// pump keeps the source's ring filled up to the play sender's window ahead
// of what was played; the record pump hands the sink's ring to the input
// headers. Each dequeues itself when there is nothing to move.
void playPump(void *state);
void recordPump(void *state);
