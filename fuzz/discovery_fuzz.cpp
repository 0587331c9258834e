// Arbitrary bytes as the display address record and as the Hookup reply.
//
// The input, copied into a block of exactly its size so that any read past
// it is reported, is parsed both ways. A record counts when it holds every
// field read and is marked valid; it yields the override pair when that
// address is set, else the primary pair. A reply counts when it holds a
// whole address that is not 0, read first octet first. Whatever does not
// count leaves the outputs untouched.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "devices/discovery.h"
#include "fuzz/fuzz_peer.h"

const char *fuzzTarget = "discovery_fuzz";

namespace {

constexpr DWORD UNTOUCHED = 0xDEADBEEF;

DWORD little(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | DWORD(p[3]) << 24; }

void checkRecord(const uint8_t *b, size_t size) {
  DWORD address = UNTOUCHED, display = UNTOUCHED;
  bool found = ParseDisplayRecord(b, size, &address, &display);
  bool usable = size >= RECORD_MIN_BYTES && little(b + RECORD_VALID) != 0;
  if (found != usable) fuzzFail("the record's validity was misjudged");
  if (!found) {
    if (address != UNTOUCHED || display != UNTOUCHED) fuzzFail("a refused record wrote output");
    return;
  }
  bool override = little(b + RECORD_OVERRIDE_ADDRESS) != 0;
  size_t a = override ? RECORD_OVERRIDE_ADDRESS : RECORD_PRIMARY_ADDRESS;
  size_t d = override ? RECORD_OVERRIDE_DISPLAY : RECORD_PRIMARY_DISPLAY;
  if (address != little(b + a) || display != little(b + d)) fuzzFail("the record's pair was misread");
}

void checkReply(const uint8_t *b, size_t size) {
  DWORD address = UNTOUCHED;
  bool found = ParseHookupReply(b, size, &address);
  bool usable = size >= 4 && (b[0] | b[1] | b[2] | b[3]) != 0;
  if (found != usable) fuzzFail("the reply's validity was misjudged");
  DWORD expected = usable ? DWORD(b[0]) << 24 | b[1] << 16 | b[2] << 8 | b[3] : UNTOUCHED;
  if (address != expected) fuzzFail("the reply's address was misread");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[size ? size : 1]);
  if (size) std::memcpy(bytes.get(), data, size);
  checkRecord(bytes.get(), size);
  checkReply(bytes.get(), size);
  return 0;
}
