// What the tools show while they run: a status line redrawn in place on a
// terminal, or plain lines when standard error is a file or a pipe; and
// the formatting of times, the progress bar and the level meter. Status
// goes to standard error so that standard output can carry audio ("-").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Whether standard error, where the status goes, is a terminal.
bool consoleIsTerminal();

// One status line. On a terminal every new text replaces the line; otherwise
// a line is printed only when the step (a whole second of audio, say) and
// the text change, so that a log gets one line per step.
// --quiet: the status lines and the lines that only inform stay unwritten;
// errors and warnings are written all the same.
extern bool consoleQuiet;

class StatusLine {
 public:
  explicit StatusLine(bool terminal) : terminal_(terminal) {}
  void show(const std::string &text, int64_t step);
  // Ends the line on a terminal, so that what follows starts on its own.
  void end();

 private:
  bool terminal_;
  bool drawn_ = false;     // a text is on the terminal's line
  int64_t lastStep_ = -1;  // the step of the last plain line
  std::string last_;       // the text shown last
};

// "m:ss", or "h:mm:ss" from an hour on; fractions are cut.
std::string consoleTime(double seconds);
// "[#####-----]" with width characters between the brackets, fraction
// clamped to 0..1.
std::string consoleBar(double fraction, size_t width);
// The peak of 8-bit (unsigned) or 16-bit (signed) samples in dB below full
// scale; -infinity for silence.
double consolePeakDbfs(const uint8_t *samples, size_t bytes, int bits);
// "[=======     ] -12.3 dBFS": the peak between -60 dBFS (empty) and 0
// (full), width characters wide.
std::string consoleMeter(double dbfs, size_t width);
