// The wave stream endpoints of a device: its PlaySource between the output
// headers and the play senders, its RecordSink between the capture
// receivers and the input headers (the records are the streams', in
// stream/endpoint.h), the callbacks they are made with, and the pumps.
// Everything is called with drvLock held.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "stream/endpoint.h"

// The endpoints of one wave stream's state; null when the ring cannot be
// made. The source's ring is stereo when the instance has exactly 2
// channels, the sink's when it has more than 1. Called with drvLock held.
PlaySource *playSourceCreate(WaveStreamState *state);
RecordSink *recordSinkCreate(WaveStreamState *state);
// Release the ring and the record. Called once the endpoint's network
// streams are gone; null is ignored.
void playSourceDestroy(PlaySource *source);
void recordSinkDestroy(RecordSink *sink);

// The callbacks the endpoints are made with, on the I/O thread with
// drvLock held.
extern const PlaySourceEvents playSourceEvents;
extern const RecordSinkEvents recordSinkEvents;
int sourceFill(PlaySource *source, uint32_t position, uint32_t amount);

// Copies application samples from the output headers into buffer; *bytes
// in: room, out: bytes made. Returns 1 when samples (or silence) were made.
int sourceSupply(PlaySource *source, int16_t *buffer, DWORD *bytes);
// Hands bytes of ring samples to the input headers; returns 0.
int sinkDeliver(RecordSink *sink, const int16_t *samples, DWORD bytes);

// Moves the ring's unread frames, at most limit, into the input headers.
// Returns 1 to go on, 0 when there was nothing to move.
int sinkDrain(RecordSink *sink, uint32_t limit);

// The pumps: work items whose user value is the WaveStreamState. The play
// pump keeps the source's ring filled up to the play sender's window ahead
// of what was played; the record pump hands the sink's ring to the input
// headers. Each dequeues itself when there is nothing to move.
void playPump(void *state);
void recordPump(void *state);
