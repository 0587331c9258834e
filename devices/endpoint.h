// The wave stream endpoints: a PlaySource between the output headers and the
// play senders, a RecordSink between the capture receivers and the input
// headers. Each owns a SampleRing in the instance's rate and channels.
//
// The records are here with the callback slots the network streams call
// through; the streams never call the endpoint's functions around them,
// except for the receivers' started/stopped count below. Everything is
// called with drvLock held.
#pragma once

#include "platform/platform.h"

#include <cstdint>

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
};

struct RecordSink {
  SinkDeliverFn deliver;      // called by the drain
  SinkDataReadyFn dataReady;  // called by the capture receivers
  EndpointDestroyFn destroy;  // called by the wave operations
  SinkActivityFn activity;    // flag 1 when the first receiver syncs, 0 at the end
  uint32_t activeCount;       // synchronised capture receivers
  uint32_t readPos;           // ring position handed to the device so far
  uint32_t maxBurst;          // frames; 1024
  uint32_t endPos;            // ring position at which the last receiver stopped
  uint32_t adaptive;          // 0: sent in the open-stream request
  uint32_t active;            // 1 from the first sync until the end was read
  SampleRing *ring;           // stereo when the format has more than 1 channel
  CaptureReceiver *receivers; // the receivers writing into this sink, newest first
  WaveStreamState *state;     // the owner
};

// A receiver has synchronised: counts it, and the first one makes the sink
// active (activity 1).
void sinkReceiverStarted(RecordSink *sink);
// A synchronised receiver stops at ring position endPosition: when it was
// the last, the end is stored, and once nothing remains to be read the sink
// becomes inactive (activity 0).
void sinkReceiverStopped(RecordSink *sink, uint32_t endPosition);
