// The impairments of lumivox-relay for one direction of datagrams, apart
// from any socket or clock so that tests can run them packet by packet.
//
// Each datagram that arrives draws its fate from one seeded generator, in
// arrival order, so the same seed and the same arrivals give the same
// losses, copies, delays and order every time. A datagram is lost with
// probability `loss`; otherwise it is due `delayMs` plus a uniform
// 0..`jitterMs` after its arrival, is sent twice with probability
// `duplicate`, and is held back behind the next datagram with probability
// `reorder`. A bandwidth limit serialises departures: each datagram keeps
// the link busy for its size divided by the rate. A blackhole drops every
// datagram that arrives, or falls due, within its window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <random>
#include <vector>

struct ImpairOptions {
  double loss = 0;         // probability, 0 to 1
  double duplicate = 0;    // probability, 0 to 1
  double reorder = 0;      // probability, 0 to 1
  uint32_t delayMs = 0;    // fixed one-way delay, ms
  uint32_t jitterMs = 0;   // extra uniform delay up to this, ms
  uint64_t bandwidth = 0;  // bytes per second; 0: unlimited
  uint64_t seed = 1;       // of the generator
};

struct ImpairCounts {
  uint64_t received = 0;    // datagrams that arrived
  uint64_t dropped = 0;     // lost on purpose (the blackhole's included)
  uint64_t duplicated = 0;  // extra copies made
  uint64_t reordered = 0;   // held back behind a later one
  uint64_t overflow = 0;    // dropped because IMPAIR_QUEUE_MAX were waiting
  uint64_t sent = 0;        // datagrams handed on, copies included
};

// Datagrams waiting at once in one direction; beyond it arrivals are dropped.
constexpr size_t IMPAIR_QUEUE_MAX = 4096;

class Impairment {
 public:
  struct Datagram {
    uint64_t dueUs;              // microseconds on the caller's clock
    std::vector<uint8_t> bytes;  // the datagram
    uint64_t tag;                // the caller's, handed back with it (where it goes)
  };

  Impairment(const ImpairOptions &options, uint64_t seedOffset);
  // A datagram arrived at nowUs; tag travels with it.
  void arrive(std::vector<uint8_t> bytes, uint64_t nowUs, uint64_t tag = 0);
  // The next datagram due at or before nowUs, moved into out (its tag into
  // *tag when asked); false when none is due.
  bool departNext(uint64_t nowUs, std::vector<uint8_t> &out, uint64_t *tag = nullptr);
  // The fixed delay of later arrivals; those waiting keep their due times,
  // and since order is kept a shorter delay takes effect behind them.
  void setDelayMs(uint32_t delayMs) { options_.delayMs = delayMs; }
  uint32_t delayMs() const { return options_.delayMs; }
  // From fromUs until untilUs on the caller's clock nothing passes: what
  // arrives then is lost, and so is what falls due then (it was on the
  // link when it went dark).
  void setBlackhole(uint64_t fromUs, uint64_t untilUs) {
    darkFromUs_ = fromUs;
    darkUntilUs_ = untilUs;
  }
  bool dark(uint64_t nowUs) const { return nowUs >= darkFromUs_ && nowUs < darkUntilUs_; }
  // When the next datagram is due; UINT64_MAX when none waits (a held-back
  // one waits for the next arrival and has no time).
  uint64_t nextDueUs() const;
  const ImpairCounts &counts() const { return counts_; }

 private:
  void schedule(std::vector<uint8_t> bytes, uint64_t dueUs, uint64_t tag);
  bool chance(double probability);

  ImpairOptions options_;
  std::mt19937_64 random_;
  std::deque<Datagram> queue_;                 // departures, due times ascending
  std::vector<uint8_t> held_;                  // held back for reordering
  uint64_t heldTag_ = 0;                       // the tag of held_
  bool holding_ = false;                       // held_ is a datagram
  uint64_t linkFreeUs_ = 0;                    // when the limited link has sent what it took
  uint64_t darkFromUs_ = 0, darkUntilUs_ = 0;  // the blackhole; empty by default
  ImpairCounts counts_;
};
