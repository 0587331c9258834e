// Per-stream statistics as JSON lines (--stats FILE): one object per line,
// each with "event" and "stream". Events: "format" when a playback stream's
// wire format changes (and at its first packet), "rtt" for each round trip
// a recording stream measures, "end" with the stream's counters when it
// closes. Every line starts with "time", milliseconds since the file was
// opened. Lines are flushed as they are written, so a reader sees whole
// lines only.
#pragma once

#include <string>

// Opens (truncating) the file; false when it cannot be opened.
bool statsOpen(const std::string &path);
// Writes one line when a file is open; json is one object, "{...}".
void statsWrite(const std::string &json);
void statsClose();
// Closes the file and opens its path again, appending: after a rotation
// (the file renamed away) the lines go to a new file of that name. False
// when it cannot be opened again; the lines then go nowhere.
bool statsReopen();
