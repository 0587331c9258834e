#include "tools/common/stats.h"

#include <chrono>
#include <cstdio>

uint64_t ToolStats::nowUs() {
  using namespace std::chrono;
  return uint64_t(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

void ToolStats::note(const char *name, uint64_t us) {
  for (Call &c : calls_) {
    if (c.name != name) continue;
    ++c.count;
    if (us > c.longestUs) c.longestUs = us;
    return;
  }
  calls_.push_back({name, 1, us});
}

void ToolStats::set(const char *name, uint64_t value) {
  for (auto &count : counts_) {
    if (count.first == name) {
      count.second = value;
      return;
    }
  }
  counts_.emplace_back(name, value);
}

bool ToolStats::write(const std::string &path, const char *tool, int status) const {
  std::FILE *f = std::fopen(path.c_str(), "w");
  if (!f) return false;
  std::fprintf(f, "{\"tool\":\"%s\",\"status\":%d", tool, status);
  for (const auto &count : counts_) {
    std::fprintf(f, ",\"%s\":%llu", count.first.c_str(), (unsigned long long)count.second);
  }
  std::fputs(",\"calls\":{", f);
  for (size_t i = 0; i < calls_.size(); ++i) {
    std::fprintf(f, "%s\"%s\":{\"count\":%llu,\"longestMs\":%.3f}", i ? "," : "",
                 calls_[i].name.c_str(), (unsigned long long)calls_[i].count,
                 double(calls_[i].longestUs) / 1000.0);
  }
  std::fputs("}}\n", f);
  return std::fclose(f) == 0;
}
