// The server targets of the mixer's value requests: one control
// connection to each audio server that discovery finds, through the
// operations table.
#include "devices/mixer.h"

#include <cassert>

#include "devices/discovery.h"
#include "devices/operations.h"
#include "net/lock.h"

const MixerOps *mixerOps = &serverMixerOps;

namespace {

// The visitor of discovery: one target per distinct destination.
int mixerVisit(void *context, DWORD address, DWORD port) {
  MixerTargetList *list = static_cast<MixerTargetList *>(context);
  MixerTarget **link = &list->first;
  for (; *link; link = &(*link)->next) {
    if ((*link)->address == address && (*link)->port == port) return 1;
  }
  if (!mixerOps) return 0;
  MixerTarget *target = static_cast<MixerTarget *>(memAllocZero(sizeof *target));
  if (!target) return 0;
  target->address = address;
  target->port = port;
  target->operations = mixerOps;
  if (!target->operations->open(list, target)) {
    LocalFree(target);
    return 0;
  }
  // The open released drvLock while it waited: find the end afresh.
  link = &list->first;
  while (*link) link = &(*link)->next;
  *link = target;
  return 1;
}

}  // namespace

MMRESULT mixerTargetsOpen(MixerTargetList **out) {
  assert(drvLockHeld());
  *out = nullptr;
  MixerTargetList *list = static_cast<MixerTargetList *>(memAllocZero(sizeof *list));
  if (!list) return MMSYSERR_NOMEM;
  if (!discoverServer(mixerVisit, list)) {
    mixerTargetsClose(list);
    return MMSYSERR_NODRIVER;
  }
  *out = list;
  return MMSYSERR_NOERROR;
}

void mixerTargetsClose(MixerTargetList *list) {
  assert(drvLockHeld());
  while (MixerTarget *target = list->first) {
    list->first = target->next;
    target->operations->close(list, target);
    LocalFree(target);
  }
  LocalFree(list);
}

void mixerTargetsSet(MixerTargetList *list, DWORD index, DWORD value) {
  assert(drvLockHeld());
  for (MixerTarget *t = list->first; t; t = t->next)
    t->operations->setVolume(list, t, index, value);
}

DWORD mixerTargetsGet(MixerTargetList *list, DWORD index) {
  assert(drvLockHeld());
  MixerTarget *first = list->first;
  return first ? first->operations->getVolume(list, first, index) : MIXER_VOLUME_UNKNOWN;
}
