// The handlers of the driver's messages and the two tables that select them.
//
// Bad input gets a bounded answer: a malformed setup request is refused
// (and the connection closed); an open-stream request that cannot be granted
// for any reason, a field out of range among them, is answered with a
// refusal, so the driver's open fails at once instead of waiting; a query
// of an unlisted control is answered with status 0 and value 0;
// set-control, close-stream and pause-stream requests that are too short or
// name nothing known are logged and ignored, as they have no answer.
#include <array>

#include "platform/secrets.h"
#include "server/catalog.h"
#include "server/listener.h"
#include "server/log.h"
#include "server/session.h"
#include "server/sound.h"

namespace {

using Bytes = std::span<const uint8_t>;

const char *directionName(uint8_t direction) {
  return direction == DIRECTION_PLAYBACK ? "playback" : "recording";
}

void refuseSetup(ControlSession &s, uint8_t reason = 0) {
  std::array<uint8_t, SETUP_REFUSED_BYTES> out;
  s.answer(ControlSession::Answer::SETUP, std::span(out.data(), setupRefusedBuild(out, reason)));
  s.closeAfterOutput("setup refused: closing");
}

void onSetupRequest(ControlSession &s, Bytes message) {
  uint16_t version = 0;
  uint8_t offer = 0;
  if (!setupRequestParse(message, version, offer) || version != SETUP_VERSION) {
    s.log(LOG_INFO, "malformed setup request (%zu bytes, version %u): refusing", message.size(),
          unsigned(version));
    refuseSetup(s);
    return;
  }
  if (s.server().options().refuseSetup) {
    s.log(LOG_INFO, "refusing the setup (--refuse-setup)");
    refuseSetup(s);
    return;
  }
  // With a key, the setup is accepted with a challenge only for a driver
  // that offers to prove one; everything else waits for the proof.
  bool keyed = s.server().key() != nullptr;
  if (keyed && offer != SETUP_OFFERS_KEY) {
    s.logRare(LOG_INFO,
              "setup without a key from a driver: refusing (its user holds no key for this "
              "server; see --print-key, or --no-auth on a machine of one user)");
    refuseSetup(s, SETUP_REFUSED_NO_KEY);
    return;
  }
  if (keyed && !lvRandom(s.challenge(), CHALLENGE_NONCE_BYTES)) {
    s.log(LOG_ERROR, "the system's random source failed: refusing the setup");
    refuseSetup(s);
    return;
  }
  const Catalog &c = s.server().catalog();
  std::array<uint8_t, MESSAGE_MAX_BYTES> out;
  size_t bytes = setupAcceptedBuild(out, c.devices, c.controls, keyed ? s.challenge() : nullptr);
  s.note("setup accepted: %zu devices, %zu controls%s", c.devices.size(), c.controls.size(),
         keyed ? "; awaiting the key's proof" : "");
  s.answer(ControlSession::Answer::SETUP, std::span(out.data(), bytes));
  if (keyed) {
    s.setTable(PROOF_PHASE_TABLE);
  } else {
    s.setupReceived();
    s.setTable(RUNNING_PHASE_TABLE);
  }
}

void refuseKey(ControlSession &s, const char *why) {
  s.logRare(LOG_INFO, "%s: refusing the driver and closing", why);
  std::array<uint8_t, EVENT_BYTES> out;
  s.answer(ControlSession::Answer::REPLY, std::span(out.data(), keyRefusedBuild(out)));
  s.closeAfterOutput("key refused: closing");
}

void onKeyProof(ControlSession &s, Bytes message) {
  if (!keyProofValid(message, s.server().key(), s.challenge(), s.addressPair())) {
    refuseKey(s, "the key's proof does not match this server's key");
    return;
  }
  s.note("the driver proved the key");
  s.setupReceived();
  s.setTable(RUNNING_PHASE_TABLE);
}

// Any request before the proof: a driver that proves its key sends the
// proof first, so this one cannot.
void onBeforeProof(ControlSession &s, Bytes) { refuseKey(s, "a request before the key's proof"); }

void sendStreamReply(ControlSession &s, const StreamReply &reply) {
  std::array<uint8_t, STREAM_REPLY_BYTES> out;
  s.answer(ControlSession::Answer::REPLY, std::span(out.data(), streamReplyBuild(out, reply)));
}

// Application rates a stream may have. Drivers open 8000 to 48000 Hz; the
// rate is the playout's timebase and, without --output-rate, its output
// rate, so a rate far outside makes the converter produce (and the clock
// count) absurd amounts of audio per packet.
constexpr uint32_t APPLICATION_RATE_MIN = 1000;
constexpr uint32_t APPLICATION_RATE_MAX = 192000;

// The reason the request cannot be granted, or null when it can. The
// fields the server uses are checked here; the adaptive flag and the
// maximum lead of the request are not used.
const char *streamRefusal(ControlSession &s, const OpenStreamRequest &r) {
  if (r.direction != DIRECTION_PLAYBACK && r.direction != DIRECTION_RECORDING) {
    return "unknown direction";
  }
  if (!catalogDevice(s.server().catalog(), r.deviceId, r.direction)) return "no such device";
  if (r.rate < APPLICATION_RATE_MIN || r.rate > APPLICATION_RATE_MAX) {
    return "application rate outside 1000 to 192000 Hz";
  }
  if (r.lead > APPLICATION_LEAD_MAX) return "lead above 65536 frames";
  if (r.port == 0) return "UDP port 0";
  // Playback meant for the sound system while none answers would play to
  // nothing and be reported as played: refused, so that the application
  // learns of it.
  if (r.direction == DIRECTION_PLAYBACK && serverPlaysToSound(s.server().options()) &&
      !soundConnected()) {
    return "no sound server answers (playback would play to nothing)";
  }
  if (s.streams().clientStreams() >= s.server().options().maxStreamsPerClient) {
    return "as many streams from this address as --max-streams-per-client already";
  }
  return nullptr;
}

void onOpenStream(ControlSession &s, Bytes message) {
  const ServerOptions &o = s.server().options();
  StreamReply reply{};
  reply.sequence = s.sequence();
  reply.status = STATUS_REFUSED;
  OpenStreamRequest r;
  if (!openStreamParse(message, r)) {
    s.log(LOG_INFO, "malformed open-stream request (%zu bytes): refusing", message.size());
    sendStreamReply(s, reply);
    return;
  }
  reply.id = r.id;
  if (const char *why = streamRefusal(s, r)) {
    s.log(LOG_INFO,
          "open-stream %u (direction %u, device %u, rate %u, lead %u, port %u): %s: "
          "refusing",
          r.id, unsigned(r.direction), unsigned(r.deviceId), r.rate, r.lead, unsigned(r.port), why);
    sendStreamReply(s, reply);
    return;
  }
  // The whole server's bounds: a stream beyond them would take what the
  // streams of others need.
  StreamBudget &budget = s.server().streamBudget();
  size_t memory = udpStreamMemory(o, r.direction, r.rate);
  uint64_t memoryLimit = uint64_t(o.maxMemoryMiB) << 20;
  if (budget.streams >= o.maxStreams) {
    s.logRare(LOG_INFO, "open-stream %u: %u streams open already (--max-streams): refusing", r.id,
              budget.streams);
    sendStreamReply(s, reply);
    return;
  }
  if (s.server().baseMemory() + budget.bytes + budget.output + memory > memoryLimit) {
    s.logRare(LOG_INFO,
              "open-stream %u: %llu KiB held with %u streams and %zu KiB more for this one "
              "exceed --max-memory %u MiB: refusing",
              r.id, (unsigned long long)((s.server().baseMemory() + budget.bytes) >> 10),
              budget.streams, memory >> 10, o.maxMemoryMiB);
    sendStreamReply(s, reply);
    return;
  }
  if (o.streamStatus != STATUS_ACCEPTED) {
    s.log(LOG_INFO, "open-stream %u: answering status %u (--stream-status)", r.id,
          unsigned(o.streamStatus));
    reply.status = o.streamStatus;
    sendStreamReply(s, reply);
    return;
  }
  // The driver is where the connection comes from; the request's address
  // is at best the same and is otherwise not to be trusted.
  uint32_t driverHost = s.peerAddress();
  if (r.address != 0 && r.address != driverHost && s.firstForeignAddress()) {
    s.log(LOG_INFO, "open-stream %u names address %s, not the peer's: the peer's is used", r.id,
          asio::ip::address_v4(r.address).to_string().c_str());
  }
  std::string why;
  StreamPorts ports{s.server().listenAddress(), o.udpPort, o.udpPortLast, o.udpPortsRandom};
  StreamRecord *stream = s.streams().open(s.server().io(), ports, driverHost, r, memory, why);
  if (!stream) {
    s.log(LOG_INFO, "open-stream %u: %s: refusing", r.id, why.c_str());
    sendStreamReply(s, reply);
    return;
  }
  stream->rate = o.rate;
  stream->minLead = serverMinLead(o, r.rate, soundBufferingUs() / 1000);
  stream->maxLead = o.maxLead;
  stream->volume = catalogValue(
      s.server().catalog(), r.direction == DIRECTION_PLAYBACK ? OUTPUT_VOLUME_ID : INPUT_VOLUME_ID);
  uint16_t ownPort = stream->socket.local_endpoint().port();
  reply.port = o.advertiseUdpPort >= 0 ? uint16_t(o.advertiseUdpPort) : ownPort;
  stream->udp = udpStreamStart(s.server().io(), o, *stream);
  if (!stream->udp) {
    s.log(LOG_INFO, "open-stream %u: the datagram side cannot start: refusing", r.id);
    s.streams().close(r.id);
    reply.port = 0;
    sendStreamReply(s, reply);
    return;
  }
  reply.status = STATUS_ACCEPTED;
  reply.adaptive = o.adaptive;
  reply.rate = o.rate;
  reply.minLead = stream->minLead;
  reply.maxLead = o.maxLead;
  s.note(
      "stream %u opened: %s on device %u, application rate %u Hz, driver at %s:%u, "
      "UDP port %u, named %u; the driver's stream %u",
      stream->number, directionName(r.direction), unsigned(r.deviceId), r.rate,
      stream->driver.address().to_string().c_str(), unsigned(r.port), unsigned(ownPort),
      unsigned(reply.port), r.id);
  sendStreamReply(s, reply);
}

void onCloseStream(ControlSession &s, Bytes message) {
  uint32_t id = 0;
  closeStreamParse(message, id);  // every framed message holds the id's 8 bytes
  StreamRecord *stream = s.streams().find(id);
  uint32_t number = stream ? stream->number : 0;
  if (s.streams().close(id)) {
    s.note("stream %u closed", number);
  } else {
    s.log(LOG_INFO, "close-stream %u: no such stream: ignored", id);
  }
}

void onSetControl(ControlSession &s, Bytes message) {
  SetControlRequest r;
  if (!setControlParse(message, r)) {
    s.log(LOG_INFO, "malformed set-control request (%zu bytes): ignored", message.size());
    return;
  }
  uint32_t *value = catalogValue(s.server().catalog(), r.controlId);
  if (!value) {
    s.log(LOG_INFO, "set-control: no control %u: ignored", unsigned(r.controlId));
    return;
  }
  *value = r.value;
  s.log(LOG_INFO, "control %u set to 0x%08x", unsigned(r.controlId), r.value);
}

void onQueryControl(ControlSession &s, Bytes message) {
  uint16_t id = 0;
  queryControlParse(message, id);  // every framed message holds the id's 8 bytes
  const uint32_t *value = catalogValue(s.server().catalog(), id);
  if (!value) s.log(LOG_INFO, "query-control: no control %u: answering status 0", unsigned(id));
  std::array<uint8_t, QUERY_REPLY_BYTES> out;
  size_t bytes = queryReplyBuild(out, s.sequence(), value ? STATUS_ACCEPTED : STATUS_REFUSED,
                                 value ? *value : 0);
  s.answer(ControlSession::Answer::REPLY, std::span(out.data(), bytes));
}

void onPauseStream(ControlSession &s, Bytes message) {
  PauseStreamRequest r;
  if (!pauseStreamParse(message, r)) {
    s.log(LOG_INFO, "malformed pause-stream request (%zu bytes): ignored", message.size());
    return;
  }
  StreamRecord *stream = s.streams().find(r.id);
  if (!stream) {
    s.log(LOG_INFO, "pause-stream %u: no such stream: ignored", r.id);
    return;
  }
  stream->paused = true;
  stream->pausedAt = r.position;
  if (stream->udp) stream->udp->pause();
  s.note("stream %u paused at position %u", stream->number, r.position);
}

constexpr MessageEntry SETUP_ENTRIES[] = {
    {"setup request", "bbsssssl", onSetupRequest},  // type 0
};

constexpr MessageEntry RUNNING_ENTRIES[] = {
    {"open-stream request", "bbslsbbllllssl", onOpenStream},  // type 0
    {"close-stream request", "bbsl", onCloseStream},          // type 1
    {"set-control request", "bbsssll", onSetControl},         // type 2
    {"query-control request", "bbsss", onQueryControl},       // type 3
    {"type 4", "", nullptr},                                  // never sent by drivers
    {"pause-stream request", "bbslll", onPauseStream},        // type 5
};

}  // namespace

constexpr MessageEntry PROOF_ENTRIES[] = {
    {"open-stream request", "", onBeforeProof},    // type 0
    {"close-stream request", "", onBeforeProof},   // type 1
    {"set-control request", "", onBeforeProof},    // type 2
    {"query-control request", "", onBeforeProof},  // type 3
    {"type 4", "", onBeforeProof},                 // type 4
    {"pause-stream request", "", onBeforeProof},   // type 5
    {"key proof", "bbsllllllllllll", onKeyProof},  // type 6
};

const MessageTable SETUP_PHASE_TABLE = {"setup", SETUP_ENTRIES};
const MessageTable PROOF_PHASE_TABLE = {"key proof", PROOF_ENTRIES};
const MessageTable RUNNING_PHASE_TABLE = {"running", RUNNING_ENTRIES};
