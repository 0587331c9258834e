// The wave stream endpoints: the play source that copies output headers
// into its ring for the play senders, the record sink that copies the
// capture receivers' ring into input headers, and the two pumps that move
// the data when the I/O thread has nothing more urgent.
#include "devices/endpoint.h"

#include <cassert>
#include <cstring>

#include "audio/formats.h"
#include "audio/pcm.h"
#include "devices/operations.h"
#include "net/lock.h"
#include "stream/stream.h"

namespace {

// Header passes without a frame in one supply at most: a run of empty
// headers (an empty loop repeated many times, say) is worked off over
// several supplies instead of holding the I/O thread in one.
constexpr DWORD EMPTY_PASSES_MAX = 1024;

// Bytes of one ring frame.
DWORD ringFrameBytes(const SampleRing *ring) { return 2 * ring->channels; }

// The frames of the current header still to be used: its whole frames
// past the stream's offset.
DWORD headerRoom(const WaveInstance *instance, const WaveStream *stream) {
  DWORD frames = stream->current->dwBufferLength / instance->format.nBlockAlign;
  return frames > stream->offset ? frames - stream->offset : 0;
}

// The frames the play pump asks the source for: the sender's window ahead
// of what was played, never more than the ring holds past what the sender
// has yet to take; 0 when the pump has nothing to do.
uint32_t pumpAmount(const WaveStreamState *state, const PlaySource *source,
                    const PlaySender *sender) {
  if (!state->ready || !state->wantsData || !source || !sender) return 0;
  uint32_t played = sender->base + sender->ackedPlayed;
  uint32_t buffered = source->produced - played;
  uint32_t window = sender->leadTarget;
  if (window <= buffered) return 0;
  uint32_t unsent = source->produced - sender->base - sender->consumed;
  uint32_t frames = source->ring->frames;
  uint32_t room = int32_t(unsent) < 0 ? frames : unsent < frames ? frames - unsent : 0;
  uint32_t amount = window - buffered;
  return amount < room ? amount : room;
}

}  // namespace

PlaySource *playSourceCreate(WaveStreamState *state) {
  assert(drvLockHeld());
  PlaySource *source = static_cast<PlaySource *>(memAllocZero(sizeof *source));
  if (!source) return nullptr;
  const WAVEFORMAT &format = state->instance->format;
  source->ring = ringCreate(RING_FRAMES, format.nSamplesPerSec, format.nChannels == 2);
  if (!source->ring) {
    LocalFree(source);
    return nullptr;
  }
  source->events = &playSourceEvents;
  source->state = state;
  return source;
}

RecordSink *recordSinkCreate(WaveStreamState *state) {
  assert(drvLockHeld());
  RecordSink *sink = static_cast<RecordSink *>(memAllocZero(sizeof *sink));
  if (!sink) return nullptr;
  const WAVEFORMAT &format = state->instance->format;
  sink->ring = ringCreate(RING_FRAMES, format.nSamplesPerSec, format.nChannels > 1);
  if (!sink->ring) {
    LocalFree(sink);
    return nullptr;
  }
  sink->events = &recordSinkEvents;
  sink->state = state;
  return sink;
}

void playSourceDestroy(PlaySource *source) {
  assert(drvLockHeld());
  if (!source) return;
  LocalFree(source->ring);
  LocalFree(source);
}

void recordSinkDestroy(RecordSink *sink) {
  assert(drvLockHeld());
  if (!sink) return;
  LocalFree(sink->ring);
  LocalFree(sink);
}

// ---- Play source.

int sourceSupply(PlaySource *source, int16_t *buffer, DWORD *bytes) {
  assert(drvLockHeld());
  WaveStreamState *state = source->state;
  WaveInstance *instance = state->instance;
  WaveStream *stream = state->stream;
  if (instance->paused) return 0;
  const DWORD channels = source->ring->channels;
  const DWORD block = instance->format.nBlockAlign;
  DWORD wanted = *bytes / ringFrameBytes(source->ring);
  DWORD made = 0;
  DWORD emptyPasses = 0;
  // Each pass re-reads the header and the pause: passing a header returns
  // one to the application with drvLock released.
  while (wanted > 0 && stream->current && !instance->paused && emptyPasses < EMPTY_PASSES_MAX) {
    WAVEHDR *header = stream->current;
    DWORD room = headerRoom(instance, stream);
    DWORD take = wanted < room ? wanted : room;
    const BYTE *from = reinterpret_cast<const BYTE *>(header->lpData) + stream->offset * block;
    // An empty header may have no buffer at all.
    if (take > 0) pcmToRing(instance->sample, from, buffer + made * channels, take * channels);
    stream->offset += take;
    wanted -= take;
    made += take;
    emptyPasses = take ? 0 : emptyPasses + 1;
    if (take == room) instance->events->headerDone(instance, stream);
  }
  if (made == 0) {
    if (!instance->closing) return 0;
    // Silence keeps the play sender going while the close drains it.
    std::memset(buffer, 0, *bytes);
    return 1;
  }
  *bytes = made * ringFrameBytes(source->ring);
  return 1;
}

int sourceFill(PlaySource *source, uint32_t position, uint32_t amount) {
  assert(drvLockHeld());
  int32_t need = int32_t(position + amount - source->produced);
  const DWORD frameBytes = ringFrameBytes(source->ring);
  int any = 0;
  while (need > 0) {
    uint32_t span;
    int16_t *region = ringSpan(source->ring, source->produced, &span);
    uint32_t n = span < uint32_t(need) ? span : uint32_t(need);
    DWORD bytes = n * frameBytes;
    if (!sourceSupply(source, region, &bytes)) break;
    uint32_t got = bytes / frameBytes;
    if (got == 0) break;
    sourceProduced(source, got);
    need -= int32_t(got);
    any = 1;
  }
  return any;
}

namespace {

void sourceActivity(PlaySource *source, int flag) {
  assert(drvLockHeld());
  WaveStreamState *state = source->state;
  state->wantsData = DWORD(flag);
  if (flag) workQueue(&state->pump);
}

void sourceProgress(PlaySource *source, uint32_t consumed) {
  assert(drvLockHeld());
  WaveStreamState *state = source->state;
  state->position = consumed;
  if (state->instance->closing) {
    if (state->event) SetEvent(state->event);
  } else if (state->stream->current && int32_t(source->produced - RING_FRAMES - consumed) < 0) {
    // Only when the pump would copy something: every change that could
    // give it work (an acknowledgement, a new window, a header written, a
    // restart) runs this again or queues the pump itself, and an idle pump
    // would cost the I/O thread a turn and a select after every packet.
    uint32_t amount = pumpAmount(state, source, statePlaySender(state));
    if (amount > 0 && int32_t(consumed + amount - source->produced) > 0) workQueue(&state->pump);
  }
}

// The application waits on a playback while a header is queued for it or
// while its close drains it. A server that still answers keeps a stream
// whose application only has headers queued (its playout may be held up,
// and no call of the application waits on it); a close, which the
// application does wait on, gives up on a server whose positions stand
// still as on a silent one.
int sourceStalled(PlaySource *source, int silent) {
  assert(drvLockHeld());
  WaveStreamState *state = source->state;
  const WaveInstance *instance = state->instance;
  bool closing = instance->closeStarted || instance->closing;
  if (!closing && (!silent || !state->stream->current)) return 0;
  waveStreamGiveUp(state);
  return 1;
}

}  // namespace

const PlaySourceEvents playSourceEvents = {sourceFill, sourceActivity, sourceProgress,
                                           sourceStalled};

void playPump(void *user) {
  WaveStreamState *state = static_cast<WaveStreamState *>(user);
  assert(drvLockHeld());
  PlaySource *source = state->source;
  PlaySender *sender = statePlaySender(state);
  uint32_t amount = pumpAmount(state, source, sender);
  // The fill may return headers with drvLock released: the state is read
  // afresh after it.
  if (amount > 0 && sourceFill(source, state->position, amount) && state->ready &&
      (sender = statePlaySender(state)) != nullptr) {
    bool more = state->stream->current && int32_t(source->produced - amount - state->position) < 0;
    workQueue(&sender->work);
    if (more) return;  // stays queued for a later turn
  }
  workDequeue(&state->pump);
}

// ---- Record sink.

int sinkDeliver(RecordSink *sink, const int16_t *samples, DWORD bytes) {
  assert(drvLockHeld());
  WaveStreamState *state = sink->state;
  WaveInstance *instance = state->instance;
  WaveStream *stream = state->stream;
  workDequeue(&state->pump);
  const DWORD channels = sink->ring->channels;
  const DWORD block = instance->format.nBlockAlign;
  DWORD frames = bytes / ringFrameBytes(sink->ring);
  // Each pass re-reads the header: filling one returns it to the
  // application with drvLock released.
  while (frames > 0 && stream->current) {
    WAVEHDR *header = stream->current;
    DWORD room = headerRoom(instance, stream);
    DWORD take = frames < room ? frames : room;
    BYTE *to = reinterpret_cast<BYTE *>(header->lpData) + stream->offset * block;
    // An empty header may have no buffer at all.
    if (take > 0) pcmFromRing(instance->sample, samples, to, take * channels);
    stream->offset += take;
    state->position += take;
    header->dwBytesRecorded = stream->offset * block;
    frames -= take;
    samples += take * channels;
    if (take == room) instance->events->headerDone(instance, stream);
  }
  // What found no header is dropped: the whole chunk counts as read.
  return 0;
}

int sinkDrain(RecordSink *sink, uint32_t limit) {
  assert(drvLockHeld());
  uint32_t span;
  int16_t *region = ringSpan(sink->ring, sink->readPos, &span);
  uint32_t n = span < limit ? span : limit;
  if (n == 0) return 0;
  DWORD bytes = n * ringFrameBytes(sink->ring);
  const uint32_t at = sink->readPos;
  int result = sinkDeliver(sink, region, bytes);
  uint32_t got = bytes / ringFrameBytes(sink->ring);
  // A delivery releases drvLock around each filled header; a stop in that
  // window has discarded the ring and moved the read position itself.
  if (got > 0 && sink->readPos == at) sinkConsumed(sink, got);
  return result == 0 ? 1 : 0;
}

namespace {

void sinkDataReady(RecordSink *sink) {
  assert(drvLockHeld());
  WaveStreamState *state = sink->state;
  if (!state->paused) workQueue(&state->pump);
}

void sinkActivity(RecordSink *sink, int flag) {
  assert(drvLockHeld());
  if (!flag) workDequeue(&sink->state->pump);
}

}  // namespace

const RecordSinkEvents recordSinkEvents = {sinkDataReady, sinkActivity};

void recordPump(void *user) {
  WaveStreamState *state = static_cast<WaveStreamState *>(user);
  assert(drvLockHeld());
  // The sink and its receivers are read afresh on every pass: a delivery
  // returns headers with drvLock released.
  while (RecordSink *sink = state->sink) {
    if (state->paused || !state->stream->current || !sink->receivers) break;
    int32_t unread = int32_t(sink->receivers->writePos - sink->readPos);
    if (unread <= 0 || !sinkDrain(sink, uint32_t(unread))) break;
  }
  workDequeue(&state->pump);
}
