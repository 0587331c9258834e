// SIGINT for the tools: the first one sets a flag that the tool's wait
// loop checks, so that it can reset and close its device and finish its
// file; the handler is then restored to the default, so a second SIGINT
// ends a tool that does not respond.
#pragma once

void interruptInstall();
bool interruptRequested();
