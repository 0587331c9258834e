// The mixer's value requests: the volume reads and writes that go to the
// audio server of the caller's session. A value read or write keeps no
// connection: it discovers the server, opens a target through the mixer
// operations (one control connection, at most 5 s to set up), performs the
// one request and closes everything again before it returns. The device's
// entry point and its constant topology are in driver/mixer.h.
#pragma once

#include "platform/platform.h"

// Control indexes of a details request: the server control they select.
enum { MIXER_OUTPUT_VOLUME = 0, MIXER_INPUT_VOLUME = 1 };
// What a read answers when the server has no such control or stays silent.
constexpr DWORD MIXER_VOLUME_UNKNOWN = 0x8000;

struct MixerTargetList;
struct MixerTarget;

// What the mixer asks of a server target. Each slot is called with drvLock
// held and returns with it held; open and getVolume release it inside
// their waits (at most 5 s and 10 s).
struct MixerOps {
  // Connects to the target's server; non-zero on success.
  int (*open)(MixerTargetList *list, MixerTarget *target);
  // Ends the connection and frees the target's state.
  void (*close)(MixerTargetList *list, MixerTarget *target);
  // Sends the level (0..0xFFFF) of control index; no reply is awaited.
  void (*setVolume)(MixerTargetList *list, MixerTarget *target, DWORD index, DWORD value);
  // The level of control index, or MIXER_VOLUME_UNKNOWN.
  DWORD (*getVolume)(MixerTargetList *list, MixerTarget *target, DWORD index);
};

// The table the targets use. The device operations set it; a test may put a
// table of its own in its place. With none, no server is ever reached: reads
// answer 0 and writes do nothing.
extern const MixerOps *mixerOps;

// One audio server reached by one details request.
struct MixerTarget {
  MixerTarget *next;
  DWORD address;  // terminal's IPv4 address, host order
  DWORD port;     // audio server's TCP port
  void *state;    // owned by the operations: set by open, freed by close
  const MixerOps *operations;
};

// The targets of one request.
struct MixerTargetList {
  MixerTarget *first;  // none when empty
};

// Makes the list of the session's servers and opens each. Returns
// MMSYSERR_NOERROR with the list in *out, MMSYSERR_NOMEM or
// MMSYSERR_NODRIVER with null in *out. Called with drvLock held and the
// I/O thread running.
MMRESULT mixerTargetsOpen(MixerTargetList **out);
// Closes and frees every target, then the list. Called with drvLock held.
void mixerTargetsClose(MixerTargetList *list);
// Sets control index to value on every target. Called with drvLock held.
void mixerTargetsSet(MixerTargetList *list, DWORD index, DWORD value);
// The level of control index on the first target, MIXER_VOLUME_UNKNOWN when
// the list is empty. Called with drvLock held.
DWORD mixerTargetsGet(MixerTargetList *list, DWORD index);
