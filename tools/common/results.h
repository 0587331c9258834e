// Texts for the multimedia layer's result codes, as the tools print them.
#pragma once

#include <string>

#include "tools/common/mmapi.h"

// The code's symbolic name ("MMSYSERR_NODRIVER"), or null for a code
// without one.
const char *mmResultName(MMRESULT result);
// What the code means for a user of the tools, followed by its name in
// parentheses: "no audio server reachable for this session
// (MMSYSERR_NODRIVER)". A code without a name is given as its number.
std::string mmResultMessage(MMRESULT result);
