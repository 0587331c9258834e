// The setup and stream steps. The driver's code does the work: sessionOpen
// and its handlers, requestOpenPlayStream, the play sender with its probe,
// its format choice (senderSelectInitial) and its retransmit timer. The
// doctor only stands where a wave device stands: it owns the session's
// callbacks and a play source of silence, and it looks on through three
// thin wrappers:
//   - a setup table whose two handlers note which answer came before they
//     call the driver's handlers, since a refusal and a failed connection
//     end the session alike;
//   - the sender's acknowledgement watcher, to count the datagrams taken;
//   - the sender's retransmit timer, to count the packets it writes off
//     there, which are the acknowledgements lost.
// Everything they share with the doctor's thread is guarded by drvLock.
#include "tools/doctor/setup.h"

#include <cstring>
#include <string>

#include "audio/formats.h"
#include "devices/discovery.h"
#include "devices/operations.h"
#include "driver/entry.h"
#include "net/control.h"
#include "net/lock.h"
#include "net/loop.h"
#include "session/protocol.h"
#include "stream/endpoint.h"
#include "stream/stream.h"

namespace {

enum SetupAnswer { ANSWER_NONE, ANSWER_REFUSED, ANSWER_ACCEPTED };

// What the I/O thread tells the doctor's thread. Guarded by drvLock.
struct Probe {
  HANDLE event;            // manual reset: set whenever something below changes
  ServerSession *session;  // null once the session has ended
  int answer;              // SetupAnswer
  DWORD answeredAt;        // tick of the setup's answer
  int closed;              // the session has ended
  int streamReplied;       // the open-stream request has completed
  StreamSlot *slot;        // the granted play stream, or null
  int started;             // the sender's probe has been answered
  DWORD probeRtt;          // ms, the probe's round trip
  DWORD startRtt;          // ms, the round-trip value the sender starts from
  const WireFormat *initialFormat;
  uint32_t packetFrames;  // application frames per packet at the start
  uint32_t leadTarget;    // application frames queued at the server, at the start
  uint32_t datagrams;     // datagrams taken by the sender's watcher
  uint32_t lost;          // packets written off by the retransmit timer
  int keyHeld;            // the session offered this user's key
  int keyProblem;         // SESSION_KEY_*, from the session's end
  int keyChecked;         // the request after the key's proof was answered
};

// The play source of the stream step, with the probe next to it. The
// source comes first, so that the sender's endpoint pointer finds both.
struct DoctorSource {
  PlaySource source;
  Probe *probe;
  uint32_t total;  // application frames of silence to supply in all
};

Probe *probeOf(PlaySender *sender) {
  return reinterpret_cast<DoctorSource *>(sender->endpoint)->probe;
}

Probe *probeOf(ControlConnection *connection) {
  return connection->session ? static_cast<Probe *>(connection->session->user) : nullptr;
}

// ---- The setup table: the driver's handlers, after a note of the answer.

void onRefused(ControlConnection *connection, const BYTE *message) {
  if (Probe *p = probeOf(connection)) {
    p->answer = ANSWER_REFUSED;
    p->answeredAt = tickNow();
  }
  sessionOnSetupRefused(connection, message);
}

void onAccepted(ControlConnection *connection, const BYTE *message) {
  if (Probe *p = probeOf(connection)) p->answeredAt = tickNow();
  sessionOnSetupAccepted(connection, message);
}

const MessageEntry DOCTOR_SETUP_ENTRIES[] = {
    {"bbsss", onRefused},
    {"lssssl", onAccepted},
};
const MessageTable doctorSetupTable = {DOCTOR_SETUP_ENTRIES,
                                       DWORD(std::size(DOCTOR_SETUP_ENTRIES))};

// ---- The session's callbacks (I/O thread, drvLock held).

int onSetup(ServerSession *session, void *user) {
  Probe *p = static_cast<Probe *>(user);
  p->answer = ANSWER_ACCEPTED;
  p->keyHeld = session->keyHeld;
  SetEvent(p->event);
  return 1;  // kept for the stream step; the doctor ends it
}

void onClosed(ServerSession *session, void *user) {
  Probe *p = static_cast<Probe *>(user);
  p->keyProblem = session->keyProblem;
  p->keyHeld = session->keyHeld;
  p->session = nullptr;
  p->closed = 1;
  // As a wave device does when its connection goes: the stream goes too.
  if (p->slot) {
    slotClose(p->slot);
    p->slot = nullptr;
  }
  SetEvent(p->event);
}

// The answer to the query that follows the key's proof: the server read
// the proof and took it, since it answers nothing after a wrong one.
void onKeyChecked(ServerSession *, DWORD, DWORD, void *user) {
  Probe *p = static_cast<Probe *>(user);
  p->keyChecked = 1;
  SetEvent(p->event);
}

// ---- The stream's callbacks and wrappers.

int onAckReadable(void *user) {
  probeOf(static_cast<PlaySender *>(user))->datagrams += 1;
  return senderOnAck(user);
}

void onRetransmitTimer(void *user) {
  PlaySender *sender = static_cast<PlaySender *>(user);
  uint32_t before = sender->inFlight;
  senderOnTimeout(user);
  Probe *p = probeOf(sender);
  if (sender->inFlight < before) p->lost += before - sender->inFlight;
  SetEvent(p->event);
}

void onStreamOpened(ServerSession *, StreamSlot *slot, void *user) {
  Probe *p = static_cast<Probe *>(user);
  p->streamReplied = 1;
  if (slot && !slotHasStream(slot)) {
    slotClose(slot);  // a sender that could not be made carries nothing
    slot = nullptr;
  }
  p->slot = slot;
  if (slot) {
    PlaySender *sender = slot->sender;
    sender->watcher.callback = onAckReadable;
    sender->timer.callback = onRetransmitTimer;
  }
  SetEvent(p->event);
}

// Silence into the ring up to position + amount, and never past the total.
int fillSilence(PlaySource *source, uint32_t position, uint32_t amount) {
  DoctorSource *s = reinterpret_cast<DoctorSource *>(source);
  int32_t need = int32_t(position + amount - source->produced);
  uint32_t left = s->total - source->produced;
  if (need <= 0 || left == 0) return 0;
  uint32_t wanted = uint32_t(need) < left ? uint32_t(need) : left;
  while (wanted > 0) {
    uint32_t span;
    int16_t *region = ringSpan(source->ring, source->produced, &span);
    uint32_t n = span < wanted ? span : wanted;
    std::memset(region, 0, n * 2 * source->ring->channels);
    sourceProduced(source, n);
    wanted -= n;
  }
  return 1;
}

// The sender's first round trip: called from its start, right after the
// format choice, while the answered probe is still its newest packet.
void onActivity(PlaySource *source, int flag) {
  if (!flag || !source->senders) return;
  PlaySender *sender = source->senders;
  Probe *p = reinterpret_cast<DoctorSource *>(source)->probe;
  const SentPacket &probe = sender->sentLog[(sender->sentCount - 1) % SENDER_MAX_IN_FLIGHT];
  p->started = 1;
  p->probeRtt = tickNow() - probe.tick;
  p->startRtt = sender->smoothedRtt;
  p->initialFormat = sender->format;
  p->packetFrames = sender->packetFrames;
  p->leadTarget = sender->leadTarget;
  SetEvent(p->event);
}

void onProgress(PlaySource *source, uint32_t) {
  SetEvent(reinterpret_cast<DoctorSource *>(source)->probe->event);
}

// The doctor waits for the whole stream itself and never gives it up.
const PlaySourceEvents doctorEvents = {fillSilence, onActivity, onProgress, nullptr};

// Waits, drvLock released, until done() holds or ms pass; true when it
// holds. Called with drvLock held; the callbacks set the event under it,
// so a change between the check and the wait is not missed.
template <typename Done>
bool waitFor(Probe &p, DWORD ms, Done done) {
  DWORD begin = tickNow();
  while (!done()) {
    DWORD waited = tickNow() - begin;
    if (waited >= ms) return false;
    ResetEvent(p.event);
    LeaveCriticalSection(&drvLock);
    WaitForSingleObject(p.event, ms - waited);
    EnterCriticalSection(&drvLock);
  }
  return true;
}

const char *wireKind(uint8_t kind) {
  switch (kind) {
    case WIRE_COMPANDED:
      return "8-bit companded";
    case WIRE_LINEAR16:
      return "16-bit linear";
    case WIRE_GSM:
      return "GSM 06.10";
    default:
      return "unknown";
  }
}

// What to do when this session has no key for the server, or the wrong one.
const char KEY_PAIRING_FIX[] =
    "on the terminal, 'lumivox-server --print-key' prints the server's key; give it to this "
    "session: on Linux lumivox-session publishes it (its --key-file, or with no option when "
    "the terminal is this machine); on Windows 'lumivox-setup pair ADDRESS KEY' stores it "
    "for this user (docs/server.md, \"Who is served\")";

std::string where(uint32_t address, uint32_t port) {
  return dottedAddress(address) + ":" + std::to_string(port);
}

// The setup's answer, as the step reports it. Called with drvLock held.
void reportSetup(Step &step, Probe &p, bool answered, DWORD begin, uint32_t address,
                 uint32_t port) {
  std::string server = where(address, port);
  std::string start = "start the audio server for this display on the terminal " +
                      dottedAddress(address) + " (lumivox-server --display " +
                      std::to_string(port - AUDIO_PORT_BASE) +
                      ", or its user unit), and let TCP port " + std::to_string(port) +
                      " and UDP through its firewall; then run "
                      "'lumivox-doctor --clear' if the server step found a mark";
  step.add("key for this terminal", p.keyHeld ? "yes" : "none");
  if (p.answer == ANSWER_REFUSED && p.keyProblem == SESSION_KEY_MISSING) {
    step.fail("no key for this terminal: the server at " + server +
                  " serves only the drivers of its own user, and this session holds no key "
                  "for it",
              KEY_PAIRING_FIX);
    return;
  }
  if (p.answer == ANSWER_REFUSED) {
    step.addNumber("answered after ms", p.answeredAt - begin);
    step.fail("the server at " + server + " refused the setup",
              "the server turns this client away: its log says why (its --allow list, its "
              "client limit)");
    return;
  }
  if (p.answer != ANSWER_ACCEPTED) {
    if (!answered) {
      step.fail("no answer from " + server + " within " + std::to_string(OPEN_WAIT_MS) +
                    " ms (a device open waits as long, then marks the server unreachable)",
                start);
    } else {
      step.fail("the connection to " + server +
                    " failed or was closed before the setup "
                    "was answered (a device open then fails too, without a mark)",
                start);
    }
    return;
  }
  if (p.keyProblem == SESSION_KEY_REFUSED) {
    step.fail("key refused: the server at " + server +
                  " did not take this session's key (a key of another server, or of one whose "
                  "key was renewed)",
              KEY_PAIRING_FIX);
    return;
  }
  ServerSession *session = p.session;
  if (!session) {
    step.fail("the server at " + server + " ended the session right after the setup",
              "look at the server's log");
    return;
  }
  step.addNumber("setup ms", p.answeredAt - begin);
  std::string devices, controls;
  for (WORD i = 0; i < session->deviceCount; ++i) {
    const ServerDevice *d = &session->devices[i];
    devices += (i ? ", " : "") +
               std::string(serverDeviceDirection(d) == 0 ? "playback" : "recording") + " " +
               std::to_string(serverDeviceId(d));
  }
  for (WORD i = 0; i < session->controlCount; ++i) {
    const ServerControl *c = &session->controls[i];
    controls +=
        (i ? ", " : "") +
        std::string(serverControlKind(c) == 0 ? "volume"
                                              : "kind " + std::to_string(serverControlKind(c))) +
        " " + std::to_string(serverControlId(c)) + " of device " +
        std::to_string(serverControlDevice(c));
  }
  step.add("devices", devices.empty() ? "none" : devices);
  step.add("controls", controls.empty() ? "none" : controls);
  bool output = sessionFindDevice(session, WAVE_OUTPUT) != nullptr;
  bool input = sessionFindDevice(session, WAVE_INPUT) != nullptr;
  step.add("wave output", output ? "yes" : "no: wave output opens fail");
  step.add("wave input", input ? "yes" : "no: wave input opens fail");
  if (!output) {
    step.fail("the server at " + server + " has no playback device",
              "start the server with playback (its --output or --sink), or check its log");
    return;
  }
  step.ok(server + " accepted the setup in " + std::to_string(p.answeredAt - begin) + " ms");
}

// The stream step. Called with drvLock held and a live session.
void runStream(Step &step, Probe &p) {
  DoctorSource *s = static_cast<DoctorSource *>(memAllocZero(sizeof(DoctorSource)));
  SampleRing *ring = s ? ringCreate(RING_FRAMES, DOCTOR_STREAM_RATE, 1) : nullptr;
  if (!ring) {
    if (s) LocalFree(s);
    step.fail("out of memory for the stream's ring", "free some memory and run it again");
    return;
  }
  s->probe = &p;
  s->total = DOCTOR_STREAM_RATE * DOCTOR_STREAM_MS / 1000;
  s->source.events = &doctorEvents;
  s->source.ring = ring;
  step.add("application format", std::to_string(DOCTOR_STREAM_RATE) + " Hz stereo 16-bit, " +
                                     std::to_string(DOCTOR_STREAM_MS) + " ms of silence");
  const ServerDevice *device = sessionFindDevice(p.session, WAVE_OUTPUT);
  if (!requestOpenPlayStream(p.session, &s->source, serverDeviceId(device), onStreamOpened, &p)) {
    step.fail("the open-stream request could not be sent", "run the doctor again");
  } else {
    loopWake();
    waitFor(p, OPEN_WAIT_MS, [&] { return p.streamReplied || p.closed; });
    if (!p.slot) {
      step.fail(p.streamReplied ? "the server refused the play stream"
                                : "no answer to the open-stream request within " +
                                      std::to_string(OPEN_WAIT_MS) + " ms",
                "the server's log says why (its stream limit, its --udp-ports range)");
    } else {
      PlaySender *sender = p.slot->sender;
      step.addNumber("server UDP port", ntohs(sender->server.sin_port));
      uint32_t total = s->total;
      DWORD begin = tickNow();
      bool done = waitFor(p, STREAM_STALL_MS + DOCTOR_STREAM_MS, [&] {
        return p.closed || (p.started && int32_t(sender->ackedEnd - total) >= 0);
      });
      if (p.started) {
        step.addNumber("probe round trip ms", p.probeRtt);
        step.addNumber("starting round-trip value ms", p.startRtt);
        const WireFormat *f = p.initialFormat;
        step.add("initial wire format", std::string(wireKind(f->kind)) + " " +
                                            std::to_string(f->rate) + " Hz " +
                                            (f->stereo ? "stereo" : "mono") + ", " +
                                            std::to_string(f->bytesPerSecond) + " bytes/s");
        step.addNumber("packet frames", p.packetFrames);
        step.addNumber("lead frames", p.leadTarget);
      }
      if (!p.closed) {
        step.addNumber("packets sent", sender->sentCount);
        step.addNumber("datagrams received", p.datagrams);
        step.addNumber("frames acknowledged", sender->ackedEnd);
        step.addNumber("frames played", sender->ackedPlayed);
        // The server played all it had while audio waited here.
        step.addNumber("times the lead ran out", sender->leadRanOut);
      }
      step.addNumber("acknowledgements lost", p.lost);
      step.addNumber("stream ms", tickNow() - begin);
      if (done && !p.closed) {
        step.ok(std::to_string(DOCTOR_STREAM_MS) + " ms acknowledged, " + std::to_string(p.lost) +
                " acknowledgements lost");
      } else if (!p.started) {
        step.fail("the server's UDP port never answered the probe",
                  "let UDP between this host and the terminal through every firewall on the "
                  "way (the server's --udp-ports range)");
      } else {
        step.fail(p.closed ? "the server ended the session during the stream"
                           : "not all of the audio was acknowledged within " +
                                 std::to_string(STREAM_STALL_MS + DOCTOR_STREAM_MS) + " ms",
                  "the path loses datagrams: check the network between this host and the "
                  "terminal, and the server's log");
      }
      if (p.slot) {
        requestCloseStream(p.session, p.slot);  // closes the slot, or the session's end did
        p.slot = nullptr;
        loopWake();
      }
    }
  }
  LocalFree(ring);
  LocalFree(s);
}

}  // namespace

ServerSteps checkServerSession(uint32_t address, uint32_t port, bool stream) {
  ServerSteps steps;
  steps.setup.name = "setup";
  steps.stream.name = "stream";
  steps.stream.skip(stream ? "no accepted setup" : "left out (--no-stream)");
  Probe p = {};
  p.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  drvInitLock();
  EnterCriticalSection(&drvLock);
  char name[SERVER_NAME_BYTES];
  serverName(name, address, port);
  DWORD begin = tickNow();
  if (!p.event || !drvStartIo()) {
    steps.setup.fail("the driver's I/O thread cannot be started", "run the doctor again");
  } else if (!(p.session = sessionOpen(name, onSetup, onClosed, &p))) {
    steps.setup.fail(std::string("no connection to ") + name + " can be opened",
                     "check that this host has an IPv4 network");
  } else {
    // Nothing is received before the I/O thread has the lock.
    p.session->connection->table = &doctorSetupTable;
    loopWake();
    bool answered = waitFor(p, OPEN_WAIT_MS, [&] { return p.answer != ANSWER_NONE || p.closed; });
    // After a proof of the key, a query the server answers only if it took
    // the proof: a refused key shows here, not later in the stream.
    if (answered && p.session && p.keyHeld && requestQueryControl(p.session, 0, onKeyChecked, &p)) {
      loopWake();
      waitFor(p, OPEN_WAIT_MS, [&] { return p.keyChecked || p.closed; });
    }
    reportSetup(steps.setup, p, answered, begin, address, port);
    steps.setupPassed = steps.setup.verdict == Verdict::OK;
    if (stream && steps.setupPassed && p.session) {
      steps.stream = Step();
      steps.stream.name = "stream";
      runStream(steps.stream, p);
    }
    if (p.session) {
      connClose(p.session->connection);  // the closed callback clears p.session
      loopWake();
    }
  }
  LeaveCriticalSection(&drvLock);
  drvStopIo();  // waits for the close's output and the connection's release
  if (p.event) CloseHandle(p.event);
  return steps;
}
