// The stop signals for the tools: SIGINT, SIGTERM and, where it exists,
// SIGHUP (a closed terminal). The first one sets a flag that the tool's
// wait loop checks, so that it can reset and close its device and finish
// its file with a correct header; the handlers are then restored to the
// default, so a second signal ends a tool that does not respond. Where
// threads can block signals, the install blocks them in the calling thread
// (and so in every thread it starts later) and a thread of its own waits
// for them: call it before any other thread starts.
#pragma once

void interruptInstall();
bool interruptRequested();
// The signal that asked for the stop, 0 while none has.
int interruptSignal();
