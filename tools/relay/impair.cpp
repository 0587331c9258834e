#include "tools/relay/impair.h"

#include <algorithm>

Impairment::Impairment(const ImpairOptions &options, uint64_t seedOffset)
    : options_(options), random_(options.seed + seedOffset) {}

bool Impairment::chance(double probability) {
  // Always one draw, so that the sequence of draws does not depend on the
  // options.
  double draw = std::uniform_real_distribution<double>(0.0, 1.0)(random_);
  return draw < probability;
}

void Impairment::arrive(std::vector<uint8_t> bytes, uint64_t nowUs, uint64_t tag) {
  ++counts_.received;
  bool lost = chance(options_.loss);
  bool twice = chance(options_.duplicate);
  bool hold = chance(options_.reorder);
  uint64_t jitter = std::uniform_int_distribution<uint64_t>(0, options_.jitterMs * 1000)(random_);
  if (lost || dark(nowUs)) {
    ++counts_.dropped;
    return;
  }
  if (queue_.size() + 2 > IMPAIR_QUEUE_MAX) {
    ++counts_.overflow;
    return;
  }
  uint64_t due = nowUs + uint64_t(options_.delayMs) * 1000 + jitter;
  if (hold && !holding_) {
    ++counts_.reordered;
    held_ = std::move(bytes);
    heldTag_ = tag;
    holding_ = true;
    return;
  }
  if (twice) {
    ++counts_.duplicated;
    schedule(bytes, due, tag);
  }
  schedule(std::move(bytes), due, tag);
  if (holding_) {
    holding_ = false;
    schedule(std::move(held_), due, heldTag_);
  }
}

void Impairment::schedule(std::vector<uint8_t> bytes, uint64_t dueUs, uint64_t tag) {
  if (options_.bandwidth) {
    dueUs = std::max(dueUs, linkFreeUs_);
    linkFreeUs_ = dueUs + bytes.size() * 1000000 / options_.bandwidth;
  }
  // Never earlier than one already waiting: jitter delays but keeps order
  // unless reordering is asked for.
  if (!queue_.empty()) dueUs = std::max(dueUs, queue_.back().dueUs);
  queue_.push_back({dueUs, std::move(bytes), tag});
}

bool Impairment::departNext(uint64_t nowUs, std::vector<uint8_t> &out, uint64_t *tag) {
  while (!queue_.empty() && queue_.front().dueUs <= nowUs && dark(nowUs)) {
    queue_.pop_front();
    ++counts_.dropped;
  }
  if (queue_.empty() || queue_.front().dueUs > nowUs) return false;
  out = std::move(queue_.front().bytes);
  if (tag) *tag = queue_.front().tag;
  queue_.pop_front();
  ++counts_.sent;
  return true;
}

uint64_t Impairment::nextDueUs() const {
  return queue_.empty() ? UINT64_MAX : queue_.front().dueUs;
}
