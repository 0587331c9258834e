// lumivox-load: many playback streams from one process to a running
// lumivox-server, paced as the driver paces them (bench/load.h).
//
//   lumivox-load --port 9000 --streams 300 --path linear16_44100_stereo --seconds 10
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/load.h"

namespace {

const char USAGE[] =
    "Usage: lumivox-load --port PORT [OPTION]...\n"
    "Opens playback streams to a lumivox-server as drivers do and sends each one's\n"
    "audio paced by the server's acknowledgements, then prints what was sent,\n"
    "acknowledged, late and lost.\n"
    "  --host ADDR       the server's IPv4 address (default 127.0.0.1)\n"
    "  --port PORT       its control port\n"
    "  --streams N       streams at once (default 1)\n"
    "  --path NAME       linear16_44100_stereo (default), companded_8000 or gsm_8000\n"
    "  --seconds S       the measured time (default 5), after one second of warm-up\n";

}  // namespace

int main(int argc, char **argv) {
  LoadOptions o;
  o.path = LOAD_PATHS[0];
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "-h" || a == "--help") {
      std::fputs(USAGE, stdout);
      return 0;
    }
    if (!value) {
      std::fprintf(stderr, "lumivox-load: %s needs a value\n%s", a.c_str(), USAGE);
      return 1;
    }
    ++i;
    if (a == "--host") {
      o.host = value;
    } else if (a == "--port") {
      o.port = uint16_t(std::atoi(value));
    } else if (a == "--streams") {
      o.streams = uint32_t(std::atoi(value));
    } else if (a == "--seconds") {
      o.seconds = std::atof(value);
    } else if (a == "--path") {
      bool found = false;
      for (const LoadPath &p : LOAD_PATHS) {
        if (std::strcmp(p.name, value) == 0) o.path = p, found = true;
      }
      if (!found) {
        std::fprintf(stderr, "lumivox-load: no path %s\n", value);
        return 1;
      }
    } else {
      std::fprintf(stderr, "lumivox-load: unknown option %s\n%s", a.c_str(), USAGE);
      return 1;
    }
  }
  if (o.port == 0 || o.streams == 0 || o.seconds <= 0) {
    std::fputs(USAGE, stderr);
    return 1;
  }
  LoadResult r;
  if (!loadRun(o, r)) {
    std::fprintf(stderr, "lumivox-load: %s (%u streams opened)\n", r.error.c_str(), r.opened);
    return 1;
  }
  std::printf(
      "lumivox-load: %s, %u streams (%u started), %.2f s: %llu packets sent, %llu acknowledged, "
      "%llu late, %llu lost, %llu acknowledgements, %llu reports of an empty queue; played "
      "%.4f of real time; generator busy %.1f%%\n",
      o.path.name, r.opened, r.started, r.seconds, (unsigned long long)r.sent,
      (unsigned long long)r.acked, (unsigned long long)r.late, (unsigned long long)r.lost,
      (unsigned long long)r.acks, (unsigned long long)r.dry, r.pace,
      100 * r.generatorBusy / r.seconds);
  return 0;
}
