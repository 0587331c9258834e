// A playback stream's clocks: its own, which plays out at the stream's rate
// from an anchor, or its output's, and the arrival-to-audible latency
// measured against the latter. See server/playout.h.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "audio/formats.h"
#include "server/log.h"
#include "server/playout.h"
#include "server/sound.h"
#include "server/stats.h"

namespace {

// The arrival-to-audible latency is sampled on a packet this often, and
// reported as the median of each second's samples.
constexpr auto LATENCY_SAMPLE = std::chrono::milliseconds(100);
constexpr auto LATENCY_REPORT = std::chrono::seconds(1);
// A gap of the stream's own starvation shorter than this is its driver's
// lateness, not an application's pause (microseconds).
constexpr uint64_t STARVED_SHORT_US = 250000;

}  // namespace

// The clock's step. Our own runs from its anchor at the stream's rate; it
// waits (is re-anchored) where the received audio ends, and stops while
// paused. With an output that has a clock, the output's played position is
// the clock.
void PlayoutStream::onTick() {
  ticking_ = false;
  if (closed_) return;
  auto now = Clock::now();
  output_->followVolume();
  if (output_->failed()) dropOutput("the sound system's stream failed");
  if (output_->moved()) {
    logLine(LOG_INFO, "stream %u: the sound system moved it to %s", id_, output_->name());
    outputSetup_.sink = output_->name();
  }
  if (outputLost_ && !paused_) resumeOutput(now);
  if (output_->clocked()) {
    if (!paused_) feed();
    // A ring dry for two ticks in a row holds nothing more: what the output
    // holds plays now, however little.
    if (writePos_ != readPos_ || paused_) {
      dryTicks_ = 0;
    } else if (++dryTicks_ == 2) {
      output_->playWritten();
    }
    followDevice();
    watchGaps();
  } else if (!paused_) {
    advanceClock(now);
  }
  if (!paused_) report(now);
  if (!paused_ && (consumed_ != receivedEnd_ || reportDue())) armTimer();
}

// Plays to where the clock stands now; the clock waits (is re-anchored)
// where the received audio ends. Returns whether consumed moved.
bool PlayoutStream::advanceClock(Clock::time_point now) {
  if (options_.crawl) return false;  // moved by onPacket alone
  uint64_t elapsed =
      uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(now - anchorTime_).count());
  uint32_t target = anchorPos_ + uint32_t(elapsed * rate_ / 1000000);
  if (positionAfter(target, receivedEnd_)) {
    target = receivedEnd_;
    anchorTime_ = now;
    anchorPos_ = target;
  }
  uint32_t before = consumed_;
  playTo(target);
  return consumed_ != before;
}

// Plays out up to `position` (timebase frames): the ring frames that
// correspond, but never beyond what has been decoded.
void PlayoutStream::playTo(uint32_t position) {
  int32_t step = int32_t(position - consumed_);
  if (step <= 0) return;
  consumed_ = position;
  played_ += uint32_t(step);
  if (output_->silent()) nothingFrames_ += uint32_t(step);
  uint64_t target = played_ * ring_->rate / rate_;
  uint64_t written = ringRead_ + uint32_t(writePos_ - readPos_);
  if (int32_t(writePos_ - readPos_) < 0) written = ringRead_;
  if (target > written) target = written;
  if (target > ringRead_) writeOut(uint32_t(target - ringRead_));
}

// Passes ring frames to an output without a clock of its own, and clears
// them for the converter's next pass over the ring.
void PlayoutStream::writeOut(uint32_t frames) {
  ringRead_ += frames;
  while (frames > 0) {
    uint32_t span = 0;
    int16_t *at = ringSpan(ring_, readPos_, &span);
    if (span > frames) span = frames;
    output_->write(at, span);
    ringClear(ring_, readPos_, span);
    readPos_ += span;
    frames -= span;
  }
}

// Asks the shared tick for the next step of the clock.
void PlayoutStream::armTimer() {
  if (ticking_ || closed_) return;
  ticking_ = true;
  ticker_.add(shared_from_this());
}

// The output asked for audio, or its stream changed state.
void PlayoutStream::onOutput() {
  if (closed_ || !output_->clocked()) return;
  if (output_->failed()) {
    dropOutput("the sound system's stream failed");
    armTimer();
    return;
  }
  if (!synced_ || paused_) return;
  feed();
  if (followDevice()) report(Clock::now());
}

// Gives a clocked output what the ring holds, up to what it asks for.
void PlayoutStream::feed() {
  uint32_t want = output_->writable();
  uint32_t have = int32_t(writePos_ - readPos_) > 0 ? writePos_ - readPos_ : 0;
  uint32_t frames = std::min(want, have);
  output_->audioWaiting(have > frames);
  if (frames > 0) dryTicks_ = 0;
  ringRead_ += frames;
  while (frames > 0) {
    uint32_t span = 0;
    int16_t *at = ringSpan(ring_, readPos_, &span);
    if (span > frames) span = frames;
    if (!output_->write(at, span)) return;
    ringClear(ring_, readPos_, span);
    readPos_ += span;
    frames -= span;
  }
}

// Moves consumed to what the device has played; true when it moved.
bool PlayoutStream::followDevice() {
  uint64_t devicePlayed = 0;
  if (!synced_ || !output_->played(devicePlayed)) return false;
  // Never beyond what was written: a sound server that runs on through an
  // underrun has played silence, not audio.
  uint64_t real = std::min(devicePlayed, output_->written());
  uint32_t position = syncPos_ + uint32_t(real * rate_ / ring_->rate);
  // The device has played all it was given and the ring is dry: what is
  // left of the received audio is either what the converter holds back for
  // a window of input to come (a wire rate other than the device's), which
  // it gives out only ahead of more, or frames the ring never got (a
  // switch's rounding, a place already played). None of it will play
  // before more arrives, so it counts as played: a stream that ends is
  // reported played to its end, and a driver whose lead fills the
  // difference is never left waiting for it.
  if (devicePlayed >= output_->written() && writePos_ == readPos_) position = receivedEnd_;
  if (positionAfter(position, receivedEnd_)) position = receivedEnd_;
  int32_t step = int32_t(position - consumed_);
  if (step <= 0) return false;
  consumed_ = position;
  played_ += uint32_t(step);
  resumeWait_ = RESUME_FIRST;
  outputFailures_ = 0;
  measureLatency();
  return true;
}

// A new gap of the output's that began while audio waited here: the sound
// system ran dry because the server's thread came too late, and the
// buffering rises. A gap of the ring's own (its audio had not come) that
// lasted less than STARVED_SHORT came from a driver held up as well (an
// application that stops writing leaves longer silences), and raises it
// too, for the streams opened later: their minimum lead covers it.
void PlayoutStream::watchGaps() {
  uint32_t count = 0, late = 0;
  uint64_t microseconds = 0;
  output_->gaps(count, microseconds, late);
  // The first buffering's worth of a stream starts it; a gap there is the
  // start's, not a sign of a busy machine.
  bool started = uint64_t(played_ - outputFrom_) * 1000000 >= uint64_t(soundBufferingUs()) * rate_;
  if (started && late > lateSeen_) {
    soundBufferingUnderrun(id_, "while audio was waiting");
  } else if (started && count > gapsSeen_) {
    uint64_t each = (microseconds - gapMicrosecondsSeen_) / (count - gapsSeen_);
    if (each < STARVED_SHORT_US) soundBufferingUnderrun(id_, "while its audio came late");
  }
  gapsSeen_ = count;
  gapMicrosecondsSeen_ = microseconds;
  lateSeen_ = late;
}

// Goes on with nothing, on the clock of our own, from where the output's
// clock stopped.
void PlayoutStream::takeGaps() {
  uint32_t count = 0, late = 0;
  uint64_t microseconds = 0;
  output_->gaps(count, microseconds, late);
  gaps_ += count;
  gapMicroseconds_ += microseconds;
}

void PlayoutStream::dropOutput(const char *why) {
  logLine(LOG_INFO, "stream %u: %s: playing to nothing", id_, why);
  takeGaps();
  output_->close(false);
  output_ = playoutOutputNone();
  gapsSeen_ = lateSeen_ = 0;
  gapMicrosecondsSeen_ = 0;
  anchorTime_ = Clock::now();
  anchorPos_ = consumed_;
  outputLost_ = true;
  if (++outputFailures_ > 1) outputSetup_.sink = "";
  resumeLater(anchorTime_);
}

// The next try at a new output, the wait doubling each time.
void PlayoutStream::resumeLater(Clock::time_point from) {
  resumeAt_ = from + resumeWait_;
  resumeWait_ = std::min<Clock::duration>(resumeWait_ * 2, RESUME_MAX);
}

// Plays on to a new stream of the sound system's, once it answers again:
// the device's position counts on from where our own clock stands.
void PlayoutStream::resumeOutput(Clock::time_point now) {
  if (now < resumeAt_ || !soundConnected()) return;
  std::unique_ptr<PlayoutOutput> output = playoutOutputOpen(options_, outputSetup_);
  if (!output->clocked()) {
    resumeLater(now);
    return;
  }
  output_ = std::move(output);
  outputLost_ = false;
  syncPos_ = consumed_;
  outputFrom_ = played_;
  dryTicks_ = 0;
  logLine(LOG_INFO, "stream %u: playing to %s again", id_, output_->name());
}

// Takes the packet as the next latency sample, if one is due and none is
// pending.
void PlayoutStream::sampleLatency(const PacketHeader &h) {
  auto now = Clock::now();
  if (latencyPending_ || now - lastLatencySample_ < LATENCY_SAMPLE) return;
  if (positionDiff(h.start, consumed_) < 0) return;  // partly played already
  if (h.duration == 0) return;                       // a driver asking for the positions
  latencyPending_ = true;
  latencyAt_ = lastLatencySample_ = now;
  latencyStart_ = h.start;
}

// Once the device has played the sampled packet's first frame: the time
// from its arrival, less what has played since that frame.
void PlayoutStream::measureLatency() {
  if (!latencyPending_ || positionDiff(consumed_, latencyStart_) < 0) return;
  latencyPending_ = false;
  auto now = Clock::now();
  double ms = std::chrono::duration<double, std::milli>(now - latencyAt_).count() -
              double(consumed_ - latencyStart_) * 1000.0 / rate_;
  latencySecond_.push_back(ms);
  latencyMin_ = latencyCount_ == 0 ? ms : std::min(latencyMin_, ms);
  latencyMax_ = latencyCount_ == 0 ? ms : std::max(latencyMax_, ms);
  ++latencyCount_;
  if (latencyAll_.size() < LATENCY_KEPT) {
    latencyAll_.push_back(ms);
  } else {
    // Reservoir sampling: each sample so far is kept with equal chance.
    uint64_t at = latencyDraw_() % latencyCount_;
    if (at < LATENCY_KEPT) latencyAll_[at] = ms;
  }
  if (now - lastLatencyReport_ < LATENCY_REPORT) return;
  lastLatencyReport_ = now;
  std::sort(latencySecond_.begin(), latencySecond_.end());
  char line[200];
  std::snprintf(
      line, sizeof line,
      "{\"event\":\"latency\",\"stream\":%u,\"driverStream\":%u,\"ms\":%.2f,\"samples\":%zu}", id_,
      driverId_, latencySecond_[latencySecond_.size() / 2], latencySecond_.size());
  statsWrite(line);
  latencySecond_.clear();
}
