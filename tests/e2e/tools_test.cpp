// lumivox-play and lumivox-record as a user runs them, against a real
// lumivox-session and lumivox-server: files of other kinds than WAV,
// several files in a row, standard input and output, a stop by SIGTERM,
// and a recording that cannot start.
#include <signal.h>
#include <sndfile.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

#include "tests/e2e/e2e_support.h"
#include "tests/tools/tool_process.h"

namespace {

constexpr double AMPLITUDE = 12000;  // of the test tones, of 32767

class ToolRuns : public EndToEnd {
 protected:
  // Writes seconds of a sine of hz at rate in every channel, in the kind
  // format (SF_FORMAT_FLAC | SF_FORMAT_PCM_16, say).
  std::string writeTone(const char *name, int format, int rate, int channels, double hz,
                        double seconds) {
    std::string path = file(name);
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(f, nullptr) << sf_strerror(nullptr);
    if (!f) return path;
    std::vector<int16_t> samples;
    for (int i = 0; i < int(seconds * rate); ++i) {
      int16_t s = int16_t(std::lround(AMPLITUDE * std::sin(2 * M_PI * hz * i / rate)));
      samples.insert(samples.end(), size_t(channels), s);
    }
    sf_writef_short(f, samples.data(), sf_count_t(samples.size() / size_t(channels)));
    sf_close(f);
    return path;
  }

  static std::string readBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
};

// How many frames of mono x carry a tone near each of hzs: x is cut into
// windows of 10 ms, and a window loud enough counts for the tone its zero
// crossings are within 3 % of.
std::vector<size_t> toneFrames(const std::vector<double> &x, double rate,
                               const std::vector<double> &hzs) {
  std::vector<size_t> frames(hzs.size());
  size_t window = size_t(rate / 100);
  for (size_t at = 0; at + window <= x.size(); at += window) {
    std::vector<double> w(x.begin() + long(at), x.begin() + long(at + window));
    if (rms(w) < AMPLITUDE / 4) continue;
    double hz = zeroCrossingFrequency(w, rate);
    for (size_t k = 0; k < hzs.size(); ++k) {
      if (std::fabs(hz - hzs[k]) < hzs[k] * 0.03) frames[k] += window;
    }
  }
  return frames;
}

// The frames of the server's output (mono, 44100 Hz) that carry a tone of
// hz, once the server has closed the connection of the run'th tool.
size_t framesOfTone(ServerProcess &server, const std::string &output, int run, double hz) {
  EXPECT_TRUE(server.waitForLog("closed (messages", run));
  WavData played = readWav(output);
  EXPECT_EQ(played.rate, 44100);
  if (played.rate != 44100) return 0;
  return toneFrames(channelOf(played.samples, played.channels, 0), 44100, {hz})[0];
}

// A FLAC file; then in one run a missing file, reported and passed over,
// a FLAC file cut short, a WAV file of another rate and channel count and
// an Ogg Vorbis file, each on a stream of its own; then a FLAC file through
// a pipe on standard input, a kind libsndfile cannot decode from a pipe by
// itself. The server writes its output anew for each stream, so the last
// stream of each run is measured: its tone arrives for its length, within
// two windows at either end where the tone meets silence.
TEST_F(ToolRuns, PlayPlaysFlacOggAndWavInARowAndFlacFromAPipe) {
  startSession(661);
  std::string output = file("played.wav");
  startServer({"--adaptive", "0", "--min-lead", "1024", "--output", output, "--output-rate",
               "44100", "--output-channels", "1"});
  std::string flac = writeTone("a.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 1, 440, 1.0);
  std::string wav = writeTone("b.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 22050, 2, 880, 0.5);
  std::string ogg = writeTone("c.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100, 1, 660, 0.5);
  std::string piped = writeTone("d.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 1, 550, 1.0);
  constexpr double EDGES = 4 * 441;  // two windows at either end

  std::string out, err;
  ASSERT_EQ(runTool(LUMIVOX_PLAY, {flac}, &out, &err), 0) << err;
  EXPECT_NE(err.find("a.flac: FLAC, 44100 Hz, 16-bit, mono, 0:01"), std::string::npos) << err;
  EXPECT_EQ(out, "") << "standard output stays clean";
  EXPECT_NEAR(double(framesOfTone(*server_, output, 1, 440)), 44100, EDGES);

  // A FLAC file cut short: the part that decodes is played, its length on
  // the header line, the length its header gives in the note.
  std::string whole =
      readBytes(writeTone("e.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 1, 440, 3.0));
  std::ofstream(file("e.flac"), std::ios::binary) << whole.substr(0, whole.size() * 3 / 4);
  EXPECT_EQ(runTool(LUMIVOX_PLAY, {file("missing.flac"), file("e.flac"), wav, ogg}, nullptr, &err),
            1)
      << err;
  EXPECT_NE(err.find("missing.flac: cannot open: No such file or directory"), std::string::npos)
      << err;
  EXPECT_NE(err.find("e.flac: FLAC, 44100 Hz, 16-bit, mono, 0:02"), std::string::npos) << err;
  EXPECT_NE(err.find("e.flac: damaged after 2."), std::string::npos) << err;
  EXPECT_NE(err.find(" of the 3.00 s its header gives ("), std::string::npos) << err;
  EXPECT_NE(err.find("b.wav: WAV, 22050 Hz, 16-bit, stereo, 0:00"), std::string::npos) << err;
  EXPECT_NE(err.find("c.ogg: OGG, 44100 Hz, Vorbis, mono, 0:00"), std::string::npos) << err;
  EXPECT_NEAR(double(framesOfTone(*server_, output, 2, 660)), 22050, EDGES);
  EXPECT_EQ(server_->logCount(": playing at 44100 Hz"), 4) << "a stream for each file played";

  // A 24-bit WAV cut short plays what is there with the note; a WAV of a
  // header alone is refused.
  std::string deep =
      readBytes(writeTone("f.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 44100, 1, 440, 2.0));
  std::ofstream(file("f.wav"), std::ios::binary) << deep.substr(0, deep.size() / 4);
  std::string bare =
      readBytes(writeTone("g.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 1, 440, 0.1));
  std::ofstream(file("g.wav"), std::ios::binary) << bare.substr(0, 44);
  EXPECT_EQ(runTool(LUMIVOX_PLAY, {file("f.wav"), file("g.wav")}, nullptr, &err), 1) << err;
  EXPECT_NE(err.find("f.wav: WAV, 44100 Hz, 24-bit, mono, 0:00"), std::string::npos) << err;
  EXPECT_NE(err.find("f.wav: damaged after 0."), std::string::npos) << err;
  EXPECT_NE(err.find(" of the 2.00 s its header gives (the file ends before its header says)"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("g.wav: no audio: "), std::string::npos) << err;

  EXPECT_EQ(
      runTool("/bin/sh", {"-c", "cat '" + piped + "' | exec '" LUMIVOX_PLAY "' -"}, nullptr, &err),
      0)
      << err;
  EXPECT_NE(err.find("standard input: FLAC, 48000 Hz"), std::string::npos) << err;
  EXPECT_NEAR(double(framesOfTone(*server_, output, 3, 550)), 44100, EDGES);
}

// The checks of one recording of the server's 1000 Hz tone.
void expectTone(const WavData &wav, int rate, size_t frames) {
  ASSERT_EQ(wav.rate, rate);
  ASSERT_EQ(wav.channels, 1);
  EXPECT_EQ(wav.frames(), frames);
  std::vector<double> x = channelOf(wav.samples, 1, 0);
  EXPECT_NEAR(zeroCrossingFrequency(x, rate), 1000, 5);
}

// Every kind a recording can be written as, each of exactly the length
// asked for and played back, and a WAV stream on standard output (a pipe).
TEST_F(ToolRuns, RecordWritesEveryKindByItsNameAndAWavStreamToAPipe) {
  startSession(662);
  startServer({"--fast", "--tone", "1000"});
  std::string err;
  for (const char *kind :
       {"wav", "aiff", "au", "caf", "w64", "rf64", "flac", "ogg", "opus", "mp3"}) {
    std::string path = file(std::string("r.") + kind);
    ASSERT_EQ(
        runTool(LUMIVOX_RECORD, {path, "--seconds", "0.5", "--rate", "8000", "--channels", "1"},
                nullptr, &err),
        0)
        << kind << ": " << err;
    expectTone(readWav(path), 8000, 4000);
    EXPECT_EQ(runTool(LUMIVOX_PLAY, {path}, nullptr, &err), 0) << kind << ": " << err;
    EXPECT_NE(err.find(", 8000 Hz, "), std::string::npos) << kind << ": " << err;
    EXPECT_EQ(err.find("damaged"), std::string::npos) << kind << ": " << err;
  }

  std::string out;
  ASSERT_EQ(runTool(LUMIVOX_RECORD, {"-", "--seconds", "0.5", "--rate", "8000", "--channels", "1"},
                    &out, &err),
            0)
      << err;
  ASSERT_GT(out.size(), 44u);
  EXPECT_EQ(out.compare(0, 8, std::string("RIFF\xFF\xFF\xFF\xFF", 8)), 0)
      << "a pipe gets the sizes 'unknown'";
  std::ofstream(file("stream.wav"), std::ios::binary) << out;
  expectTone(readWav(file("stream.wav")), 8000, 4000);
  EXPECT_NE(err.find("standard output: 4000 frames"), std::string::npos) << err;

  // Raw samples through pipes, with arecord's and aplay's options, quietly.
  std::string raw;
  ASSERT_EQ(runTool(LUMIVOX_RECORD,
                    {"-t", "raw", "-d", "0.5", "-r", "8000", "-c", "1", "-f", "S16_LE", "-q", "-"},
                    &raw, &err),
            0)
      << err;
  EXPECT_EQ(err, "") << "--quiet";
  ASSERT_EQ(raw.size(), 8000u) << "4000 frames of 2 bytes, and nothing else";
  WavData samples{8000, 1, std::vector<int16_t>(4000)};
  std::memcpy(samples.samples.data(), raw.data(), raw.size());
  expectTone(samples, 8000, 4000);
  std::ofstream(file("r.raw"), std::ios::binary) << raw;
  ASSERT_EQ(runTool("/bin/sh",
                    {"-c", "exec '" LUMIVOX_PLAY "' -t raw -r 8000 -c 1 -f S16_LE - <'" +
                               file("r.raw") + "'"},
                    nullptr, &err),
            0)
      << err;
  EXPECT_NE(err.find("standard input: raw, 8000 Hz, 16-bit, mono, 0:00"), std::string::npos) << err;
}

// SIGTERM ends a recording with a file whose RIFF and data sizes are those
// of the bytes that are there.
TEST_F(ToolRuns, RecordStoppedBySigtermLeavesAWavWithCorrectSizes) {
  startSession(663);
  startServer({"--tone", "1000"});
  ToolProcess record(LUMIVOX_RECORD, {file("r.wav"), "--rate", "8000", "--channels", "1"});
  ASSERT_TRUE(record.waitForLine("0:01")) << record.err();
  record.signal(SIGTERM);
  ASSERT_EQ(record.finish(), 0) << record.err();
  std::string bytes = readBytes(file("r.wav"));
  ASSERT_GT(bytes.size(), 44u);
  auto load32 = [&](size_t at) {
    return uint32_t(uint8_t(bytes[at])) | uint32_t(uint8_t(bytes[at + 1])) << 8 |
           uint32_t(uint8_t(bytes[at + 2])) << 16 | uint32_t(uint8_t(bytes[at + 3])) << 24;
  };
  EXPECT_EQ(load32(4), bytes.size() - 8);
  size_t data = bytes.find("data");
  ASSERT_NE(data, std::string::npos);
  EXPECT_EQ(load32(data + 4), bytes.size() - data - 8);
  WavData wav = readWav(file("r.wav"));
  EXPECT_GE(wav.frames(), 8000u) << "at least the second the status line showed";
  expectTone(wav, 8000, wav.frames());
}

// A recorder killed outright leaves a file whose header gives the samples
// that are there: the sizes follow the data as it is written.
TEST_F(ToolRuns, RecordKilledOutrightLeavesAReadableWav) {
  startSession(665);
  startServer({"--tone", "1000"});
  ToolProcess record(LUMIVOX_RECORD, {file("k.wav"), "--rate", "8000", "--channels", "1"});
  ASSERT_TRUE(record.waitForLine("0:01")) << record.err();
  record.signal(SIGKILL);
  record.finish();
  std::string bytes = readBytes(file("k.wav"));
  ASSERT_GT(bytes.size(), 44u);
  auto load32 = [&](size_t at) {
    return uint32_t(uint8_t(bytes[at])) | uint32_t(uint8_t(bytes[at + 1])) << 8 |
           uint32_t(uint8_t(bytes[at + 2])) << 16 | uint32_t(uint8_t(bytes[at + 3])) << 24;
  };
  size_t data = bytes.find("data");
  ASSERT_NE(data, std::string::npos);
  uint32_t declared = load32(data + 4);
  EXPECT_GE(declared, 8000u * 2) << "at least the second the status line showed";
  EXPECT_LE(declared, bytes.size() - data - 8) << "the header counts samples that are not there";
  EXPECT_EQ(load32(4), declared + data);
  WavData wav = readWav(file("k.wav"));
  EXPECT_GE(wav.frames(), 8000u);
}

// Without a server for the session the device does not open: an existing
// file keeps its content, and the message points to lumivox-doctor.
TEST_F(ToolRuns, ARecordingThatCannotStartLeavesAnExistingFileAlone) {
  startSession(664);
  std::ofstream(file("keep.wav")) << "an earlier take";
  std::string err;
  EXPECT_EQ(runTool(LUMIVOX_RECORD, {file("keep.wav"), "--seconds", "1"}, nullptr, &err), 3);
  EXPECT_NE(err.find("MMSYSERR_NODRIVER"), std::string::npos) << err;
  EXPECT_NE(err.find("run lumivox-doctor"), std::string::npos) << err;
  EXPECT_EQ(readBytes(file("keep.wav")), "an earlier take");
}

// The exit status says whether the audio was heard. Rates up to 192 kHz
// play and record, and a play reports every frame played. Then a server
// that grants the streams and sends nothing on them, as a blocked UDP path
// looks from here: both tools fail and say the stream never started. Last,
// a server stopped 1 s into a 4 s file: the play fails with where it
// stopped, not with the file's end.
TEST_F(ToolRuns, TheExitStatusSaysWhetherTheAudioWasHeard) {
  startSession(669);
  startServer({"--fast", "--tone", "1000"});
  std::string fast = writeTone("fast.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 192000, 2, 440, 1.0);
  std::string err;
  ASSERT_EQ(runTool(LUMIVOX_PLAY, {"--stats", file("play.json"), fast}, nullptr, &err), 0) << err;
  std::string stats = readBytes(file("play.json"));
  EXPECT_NE(stats.find("\"framesWritten\":192000,"), std::string::npos) << stats;
  EXPECT_NE(stats.find("\"framesPlayed\":192000,"), std::string::npos) << stats;
  ASSERT_EQ(runTool(LUMIVOX_RECORD,
                    {file("fast.wav"), "--rate", "96000", "--channels", "1", "--seconds", "1"},
                    nullptr, &err),
            0)
      << err;
  expectTone(readWav(file("fast.wav")), 96000, 96000);

  server_->stop();
  startServer({"--silent-streams"});
  std::string tone = writeTone("tone.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, 440, 4.0);
  EXPECT_EQ(runTool(LUMIVOX_PLAY, {tone}, nullptr, &err), 3) << err;
  EXPECT_NE(err.find("nothing was played"), std::string::npos) << err;
  EXPECT_EQ(runTool(LUMIVOX_RECORD, {file("none.wav"), "--seconds", "2"}, nullptr, &err), 3) << err;
  EXPECT_NE(err.find("no audio received"), std::string::npos) << err;

  server_->stop();
  startServer({});
  ToolProcess play(LUMIVOX_PLAY, {tone});
  ASSERT_TRUE(play.waitForLine("0:01")) << play.err();
  server_->stop();
  EXPECT_EQ(play.finish(), 3) << play.err();
  EXPECT_NE(play.err().find("playback stopped at 0:0"), std::string::npos) << play.err();
  EXPECT_EQ(play.err().find("0:04 / 0:04"), std::string::npos) << "the display ran to the end";
}

}  // namespace
