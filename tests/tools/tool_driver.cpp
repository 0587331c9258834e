// A recording driver module for the tools: it answers the tools' wave and
// mixer calls as a simple driver does, plays and records without a network,
// and writes what it was asked to a log file the test reads afterwards.
// See tests/tools/tool_driver.h for the environment it reads.
//
// The tools call it from one thread, so it keeps its state in plain
// globals: one output, one input and the two volume values.
#include "tests/tools/tool_driver.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include "platform/platform.h"

namespace {

#define EXPORT extern "C" __attribute__((visibility("default")))

void logLine(const char *format, ...) __attribute__((format(printf, 1, 2)));
void logLine(const char *format, ...) {
  const char *path = std::getenv("LUMIVOX_FAKE_LOG");
  if (!path) return;
  FILE *file = std::fopen(path, "a");
  if (!file) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(file, format, args);
  va_end(args);
  std::fputc('\n', file);
  std::fclose(file);
}

// The result LUMIVOX_FAKE_FAIL asks for this entry and message, or -1.
long failureFor(const char *entry, UINT message) {
  const char *fail = std::getenv("LUMIVOX_FAKE_FAIL");
  char name[4] = {};
  unsigned failMessage, code;
  if (!fail || std::sscanf(fail, "%3[a-z]:%u=%u", name, &failMessage, &code) != 3) return -1;
  return (std::strcmp(name, entry) == 0 && failMessage == message) ? long(code) : -1;
}

unsigned long envNumber(const char *name, unsigned long otherwise) {
  const char *text = std::getenv(name);
  return text ? std::strtoul(text, nullptr, 0) : otherwise;
}

// What a wave open leaves for the later messages of that device.
struct Wave {
  WAVEOPENDESC open;  // as the host passed it; its format is copied below
  WAVEFORMATEX format;
  DWORD callbackType;  // the high word of the open flags
  std::deque<WAVEHDR *> queue;
  uint64_t frames = 0;  // played or recorded since the open
  // Output only.
  bool paused = false;
  size_t current = 0;   // queue index of the header played next
  long loopStart = -1;  // queue index of the loop's first header, -1 outside a loop
  DWORD loopCount = 0;  // passes of the loop still to come
  // Input only.
  bool started = false;
};

Wave output, input;

void notify(Wave &w, UINT message, WAVEHDR *header) {
  DriverCallback(w.open.dwCallback, w.callbackType, reinterpret_cast<HDRVR>(w.open.hWave), message,
                 w.open.dwInstance, reinterpret_cast<DWORD_PTR>(header), 0);
}

void complete(Wave &w, UINT message) {
  WAVEHDR *h = w.queue.front();
  w.queue.pop_front();
  h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
  notify(w, message, h);
}

DWORD waveOpen(const char *entry, Wave &w, DWORD_PTR user, DWORD_PTR p1, DWORD_PTR p2,
               UINT openMessage) {
  const WAVEOPENDESC *d = reinterpret_cast<const WAVEOPENDESC *>(p1);
  const WAVEFORMATEX *f = reinterpret_cast<const WAVEFORMATEX *>(d->lpFormat);
  logLine("%s OPEN tag=%u channels=%u rate=%u bits=%u align=%u callback=%u", entry,
          unsigned(f->wFormatTag), unsigned(f->nChannels), unsigned(f->nSamplesPerSec),
          unsigned(f->wBitsPerSample), unsigned(f->nBlockAlign), unsigned(p2 >> 16));
  if (p2 & WAVE_FORMAT_QUERY) return MMSYSERR_NOERROR;
  if (f->wFormatTag != WAVE_FORMAT_PCM) return MMSYSERR_NOTSUPPORTED;
  w = Wave{};
  w.open = *d;
  w.format = *f;
  w.callbackType = DWORD(p2 >> 16);
  *reinterpret_cast<DWORD_PTR *>(user) = 1;
  notify(w, openMessage, nullptr);
  return MMSYSERR_NOERROR;
}

DWORD queueHeader(const char *entry, const char *name, Wave &w, WAVEHDR *h) {
  logLine("%s %s bytes=%u flags=0x%x loops=%u", entry, name, unsigned(h->dwBufferLength),
          unsigned(h->dwFlags), unsigned(h->dwLoops));
  if (!(h->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
  if (h->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  h->dwFlags = (h->dwFlags | WHDR_INQUEUE) & ~WHDR_DONE;
  h->dwBytesRecorded = 0;
  w.queue.push_back(h);
  return MMSYSERR_NOERROR;
}

DWORD position(Wave &w, DWORD_PTR p1) {
  MMTIME *time = reinterpret_cast<MMTIME *>(p1);
  time->wType = TIME_SAMPLES;
  time->u.sample = DWORD(w.frames);
  return MMSYSERR_NOERROR;
}

// Plays the current header: its bytes go to the played file, the loop
// rules pick the next one, and every header no loop needs again returns.
void outPlayOne() {
  Wave &w = output;
  WAVEHDR *h = w.queue[w.current];
  if (const char *path = std::getenv("LUMIVOX_FAKE_PLAYED")) {
    if (FILE *file = std::fopen(path, "ab")) {
      std::fwrite(h->lpData, 1, h->dwBufferLength, file);
      std::fclose(file);
    }
  }
  logLine("wod PLAY bytes=%u", unsigned(h->dwBufferLength));
  w.frames += h->dwBufferLength / w.format.nBlockAlign;
  if (h->dwFlags & WHDR_BEGINLOOP) {
    if (w.loopStart < 0) w.loopCount = h->dwLoops;
    if (w.loopCount > 0) w.loopCount -= 1;
    w.loopStart = w.loopCount ? long(w.current) : -1;
  }
  bool repeat = (h->dwFlags & WHDR_ENDLOOP) && w.loopStart >= 0;
  w.current = repeat ? size_t(w.loopStart) : w.current + 1;
  size_t retire = w.loopStart >= 0 ? size_t(w.loopStart) : w.current;
  for (size_t i = 0; i < retire; ++i) complete(w, WOM_DONE);
  w.current -= retire;
  if (w.loopStart >= 0) w.loopStart -= long(retire);
}

void outReset() {
  output.current = 0;
  output.loopStart = -1;
  output.loopCount = 0;
  while (!output.queue.empty()) complete(output, WOM_DONE);
}

// Fills the queued headers with the signal, up to the frame limit; full
// headers return with WIM_DATA.
void inFill() {
  Wave &w = input;
  uint64_t limit = envNumber("LUMIVOX_FAKE_RECORD_FRAMES", ~0ul);
  unsigned channels = w.format.nChannels, bytes = w.format.wBitsPerSample / 8;
  while (w.started && !w.queue.empty() && w.frames < limit) {
    WAVEHDR *h = w.queue.front();
    uint8_t *at = reinterpret_cast<uint8_t *>(h->lpData) + h->dwBytesRecorded;
    uint64_t room = (h->dwBufferLength - h->dwBytesRecorded) / w.format.nBlockAlign;
    uint64_t n = std::min(room, limit - w.frames);
    for (uint64_t f = 0; f < n; ++f, ++w.frames) {
      for (unsigned c = 0; c < channels; ++c, at += bytes) {
        if (bytes == 1) {
          *at = toolSignal8(w.frames, c);
        } else {
          uint16_t s = uint16_t(toolSignal16(w.frames, c));
          at[0] = uint8_t(s);
          at[1] = uint8_t(s >> 8);
        }
      }
    }
    h->dwBytesRecorded += DWORD(n * w.format.nBlockAlign);
    if (h->dwBytesRecorded + w.format.nBlockAlign > h->dwBufferLength) complete(w, WIM_DATA);
  }
}

// The mixer's topology: the speakers destination with the wave-out source,
// the wave-in destination with the microphone source; one volume control
// for each destination, shared with its source.
struct Line {
  DWORD destination, source, id, componentType, connections, targetType, deviceId;
  const char16_t *shortName, *name;
};
const Line LINES[] = {
    {0, 0xFFFFFFFF, 0xFFFF0000, MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, 1, 1, 1, u"Volume",
     u"Volume"},
    {0, 0, 0xFFFF0001, MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT, 0, 1, 1, u"Out", u"Output"},
    {1, 0xFFFFFFFF, 0xFFFF0002, MIXERLINE_COMPONENTTYPE_DST_WAVEIN, 1, 2, 2, u"In", u"Input"},
    {1, 0, 0xFFFF0003, MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, 1, 2, 2, u"Mic", u"Microphone"},
};
const char16_t *const CONTROL_NAMES[2][2] = {{u"Output Volume", u"Output Volume Level"},
                                             {u"Input Volume", u"Input Volume Level"}};
DWORD volumes[2];
bool volumesSet = false;

template <size_t N>
void copyName(WCHAR (&to)[N], const char16_t *from) {
  std::memset(to, 0, sizeof to);
  for (size_t i = 0; i + 1 < N && from[i]; ++i) to[i] = WCHAR(from[i]);
}

void fillLine(const Line &l, MIXERLINEW *out) {
  std::memset(out, 0, sizeof *out);
  out->cbStruct = sizeof *out;
  out->dwDestination = l.destination;
  out->dwSource = l.source;
  out->dwLineID = l.id;
  out->fdwLine = MIXERLINE_LINEF_ACTIVE;
  out->dwComponentType = l.componentType;
  out->cChannels = 1;
  out->cConnections = l.connections;
  out->cControls = 1;
  copyName(out->szShortName, l.shortName);
  copyName(out->szName, l.name);
  out->Target.dwType = l.targetType;
  out->Target.dwDeviceID = l.deviceId;
  out->Target.wMid = 1;
  out->Target.wPid = WORD(l.targetType == 1 ? 100 : 101);
  out->Target.vDriverVersion = 0x0500;
  copyName(out->Target.szPname, u"Lumivox 1.0");
}

void fillControl(DWORD index, MIXERCONTROLW *out) {
  std::memset(out, 0, sizeof *out);
  out->cbStruct = sizeof *out;
  out->dwControlID = index;
  out->dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
  copyName(out->szShortName, CONTROL_NAMES[index][0]);
  copyName(out->szName, CONTROL_NAMES[index][1]);
  out->Bounds.dwReserved[0] = 0;
  out->Bounds.dwReserved[1] = 0xFFFF;
  out->Metrics.cSteps = 100;
}

DWORD lineInfo(MIXERLINEW *line, DWORD query) {
  logLine("mxd GETLINEINFO query=%u type=0x%x line=0x%x", unsigned(query),
          unsigned(line->dwComponentType), unsigned(line->dwLineID));
  for (const Line &l : LINES) {
    bool match =
        (query == MIXER_GETLINEINFOF_DESTINATION && l.componentType <= 8 &&
         l.destination == line->dwDestination) ||
        (query == MIXER_GETLINEINFOF_SOURCE && l.componentType >= 0x1000 &&
         l.destination == line->dwDestination && l.source == line->dwSource) ||
        (query == MIXER_GETLINEINFOF_LINEID && l.id == line->dwLineID) ||
        (query == MIXER_GETLINEINFOF_COMPONENTTYPE && l.componentType == line->dwComponentType) ||
        (query == MIXER_GETLINEINFOF_TARGETTYPE && l.targetType == line->Target.dwType);
    if (match) {
      fillLine(l, line);
      return MMSYSERR_NOERROR;
    }
  }
  return query <= MIXER_GETLINEINFOF_TARGETTYPE ? MIXERR_INVALLINE : MMSYSERR_NOTSUPPORTED;
}

DWORD lineControls(MIXERLINECONTROLSW *c, DWORD query) {
  logLine("mxd GETLINECONTROLS query=%u line=0x%x id=0x%x", unsigned(query), unsigned(c->dwLineID),
          unsigned(c->dwControlType));
  if (query > MIXER_GETLINECONTROLSF_ONEBYTYPE) return MMSYSERR_NOTSUPPORTED;
  for (const Line &l : LINES) {
    if (l.id != c->dwLineID) continue;
    DWORD index = l.deviceId - 1;  // the control of the line's destination
    if ((query == MIXER_GETLINECONTROLSF_ONEBYID && c->dwControlID != index) ||
        (query == MIXER_GETLINECONTROLSF_ONEBYTYPE &&
         c->dwControlType != MIXERCONTROL_CONTROLTYPE_VOLUME)) {
      return MIXERR_INVALCONTROL;
    }
    if (query == MIXER_GETLINECONTROLSF_ALL && c->cControls != 1) return MMSYSERR_INVALPARAM;
    fillControl(index, c->pamxctrl);
    return MMSYSERR_NOERROR;
  }
  return MIXERR_INVALLINE;
}

DWORD controlDetails(MIXERCONTROLDETAILS *d, bool set) {
  if (!volumesSet) {
    volumes[0] = volumes[1] = DWORD(envNumber("LUMIVOX_FAKE_VOLUME", 0x8000));
    volumesSet = true;
  }
  DWORD *value = static_cast<DWORD *>(d->paDetails);
  if (d->dwControlID > 1) {
    if (!set) *value = 0;
    return MMSYSERR_NOERROR;
  }
  if (set) {
    volumes[d->dwControlID] = *value;
  } else {
    *value = volumes[d->dwControlID];
  }
  logLine("mxd %s control=%u value=%u channels=%u bytes=%u",
          set ? "SETCONTROLDETAILS" : "GETCONTROLDETAILS", unsigned(d->dwControlID),
          unsigned(*value), unsigned(d->cChannels), unsigned(d->cbDetails));
  return MMSYSERR_NOERROR;
}

}  // namespace

EXPORT LRESULT WINAPI DriverProc(DWORD_PTR, HDRVR, UINT message, LPARAM, LPARAM) {
  return message == DRV_OPEN ? 0x1D : 1;
}

EXPORT DWORD APIENTRY wodMessage(UINT, UINT message, DWORD_PTR user, DWORD_PTR p1, DWORD_PTR p2) {
  long failure = failureFor("wod", message);
  if (failure >= 0) {
    logLine("wod FAIL message=%u result=%ld", message, failure);
    return DWORD(failure);
  }
  switch (message) {
    case WODM_GETNUMDEVS: return 1;
    case WODM_OPEN: return waveOpen("wod", output, user, p1, p2, WOM_OPEN);
    case WODM_PREPARE: return MMSYSERR_NOTSUPPORTED;
    case WODM_UNPREPARE: logLine("wod UNPREPARE"); return MMSYSERR_NOTSUPPORTED;
    case WODM_WRITE: return queueHeader("wod", "WRITE", output, reinterpret_cast<WAVEHDR *>(p1));
    case WODM_GETPOS:
      if (!output.paused && output.current < output.queue.size()) outPlayOne();
      return position(output, p1);
    case WODM_PAUSE:
      logLine("wod PAUSE");
      output.paused = true;
      return MMSYSERR_NOERROR;
    case WODM_RESTART:
      logLine("wod RESTART");
      output.paused = false;
      return MMSYSERR_NOERROR;
    case WODM_RESET:
      logLine("wod RESET");
      outReset();
      return MMSYSERR_NOERROR;
    case WODM_BREAKLOOP:
      logLine("wod BREAKLOOP");
      output.loopCount = 0;
      return MMSYSERR_NOERROR;
    case WODM_CLOSE:
      logLine("wod CLOSE queued=%zu", output.queue.size());
      outReset();
      notify(output, WOM_CLOSE, nullptr);
      return MMSYSERR_NOERROR;
    default: return MMSYSERR_NOTSUPPORTED;
  }
}

EXPORT DWORD APIENTRY widMessage(UINT, UINT message, DWORD_PTR user, DWORD_PTR p1, DWORD_PTR p2) {
  long failure = failureFor("wid", message);
  if (failure >= 0) {
    logLine("wid FAIL message=%u result=%ld", message, failure);
    return DWORD(failure);
  }
  switch (message) {
    case WIDM_GETNUMDEVS: return 1;
    case WIDM_OPEN: return waveOpen("wid", input, user, p1, p2, WIM_OPEN);
    case WIDM_PREPARE: return MMSYSERR_NOTSUPPORTED;
    case WIDM_UNPREPARE: logLine("wid UNPREPARE"); return MMSYSERR_NOTSUPPORTED;
    case WIDM_ADDBUFFER: {
      DWORD r = queueHeader("wid", "ADDBUFFER", input, reinterpret_cast<WAVEHDR *>(p1));
      inFill();
      return r;
    }
    case WIDM_START:
      logLine("wid START");
      input.started = true;
      inFill();
      return MMSYSERR_NOERROR;
    case WIDM_STOP:
      logLine("wid STOP");
      input.started = false;
      if (!input.queue.empty() && input.queue.front()->dwBytesRecorded) complete(input, WIM_DATA);
      return MMSYSERR_NOERROR;
    case WIDM_RESET:
      logLine("wid RESET");
      while (!input.queue.empty()) complete(input, WIM_DATA);
      return MMSYSERR_NOERROR;
    case WIDM_GETPOS: return position(input, p1);
    case WIDM_CLOSE:
      logLine("wid CLOSE queued=%zu", input.queue.size());
      if (!input.queue.empty()) return WAVERR_STILLPLAYING;
      notify(input, WIM_CLOSE, nullptr);
      return MMSYSERR_NOERROR;
    default: return MMSYSERR_NOTSUPPORTED;
  }
}

EXPORT DWORD APIENTRY mxdMessage(UINT, UINT message, DWORD_PTR user, DWORD_PTR p1, DWORD_PTR p2) {
  long failure = failureFor("mxd", message);
  if (failure >= 0) {
    logLine("mxd FAIL message=%u result=%ld", message, failure);
    return DWORD(failure);
  }
  DWORD query = DWORD(p2 & 0xF);
  switch (message) {
    case MXDM_GETNUMDEVS: return 1;
    case MXDM_OPEN:
      logLine("mxd OPEN");
      *reinterpret_cast<DWORD_PTR *>(user) = 1;
      return MMSYSERR_NOERROR;
    case MXDM_CLOSE: logLine("mxd CLOSE"); return MMSYSERR_NOERROR;
    case MXDM_GETLINEINFO: return lineInfo(reinterpret_cast<MIXERLINEW *>(p1), query);
    case MXDM_GETLINECONTROLS:
      return lineControls(reinterpret_cast<MIXERLINECONTROLSW *>(p1), query);
    case MXDM_GETCONTROLDETAILS:
    case MXDM_SETCONTROLDETAILS:
      if (query != 0) return query == 1 ? MMSYSERR_NOERROR : MMSYSERR_NOTSUPPORTED;
      return controlDetails(reinterpret_cast<MIXERCONTROLDETAILS *>(p1),
                            message == MXDM_SETCONTROLDETAILS);
    default: return MMSYSERR_NOTSUPPORTED;
  }
}
