// lumivox-doctor run as a process against lumivox-session and
// lumivox-server: for each way a session can be without sound, the step
// the doctor names first; the mark, its removal by --clear; and the
// healthy path with the stream and the tone, the driver loaded as an
// application loads it. Each case has a runtime directory and a display
// of its own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/server/server_process.h"
#include "tests/tools/session_process.h"
#include "tests/tools/tool_process.h"
#include "tools/common/keyfile.h"

namespace fs = std::filesystem;

namespace {

// Exit status of a failed check (tools/doctor/options.h).
constexpr int DOCTOR_FAILED = 4;

std::string portOf(int display) { return std::to_string(9000 + display); }

// A new server key in a folder of its own, made as the server makes it.
std::string newKeyFile() {
  char pattern[] = "/tmp/lvkey-XXXXXX";
  std::string path = std::string(mkdtemp(pattern)) + "/server.key";
  uint8_t key[KEY_BYTES];
  std::string error;
  EXPECT_EQ(keyFileLoad(path, true, key, error), KeyFileResult::CREATED) << error;
  return path;
}

// A session of its own: the runtime directory, lumivox-session with
// `arguments` ("{D}" is the display), and lumivox-server on 127.0.0.1 and
// that display when serverOptions is given.
struct Terminal {
  RuntimeDir dir;
  std::unique_ptr<SessionProcess> session;
  std::unique_ptr<ServerProcess> server;

  Terminal(int display, std::vector<std::string> arguments,
           const std::vector<std::string> *serverOptions) {
    for (std::string &a : arguments) {
      if (a == "{D}") a = std::to_string(display);
    }
    session = std::make_unique<SessionProcess>(arguments);
    EXPECT_TRUE(session->ready()) << session->line();
    if (serverOptions) {
      std::vector<std::string> all{"--listen", "127.0.0.1", "--display", std::to_string(display),
                                   "--output", "none"};
      all.insert(all.end(), serverOptions->begin(), serverOptions->end());
      server = std::make_unique<ServerProcess>(all);
      EXPECT_TRUE(server->ready()) << server->log();
    }
  }
};

struct DoctorRun {
  int status;
  std::string out, err;
};

DoctorRun doctor(const std::vector<std::string> &arguments) {
  DoctorRun run;
  run.status = runTool(LUMIVOX_DOCTOR, arguments, &run.out, &run.err);
  return run;
}

// The verdict line of a step in the text output ("3. server: FAILED: ...").
std::string verdictLine(const std::string &out, const std::string &step) {
  size_t at = out.find(". " + step + ": ");
  if (at == std::string::npos) return "";
  size_t start = out.rfind('\n', at);
  start = start == std::string::npos ? 0 : start + 1;
  return out.substr(start, out.find('\n', at) - start);
}

struct FailureCase {
  const char *what;
  int display;
  std::vector<std::string> session;  // lumivox-session's arguments
  bool server;                       // start lumivox-server
  std::vector<std::string> serverOptions;
  const char *firstFailure;        // the step the closing verdict names
  std::vector<std::string> shown;  // texts the output holds
};

TEST(Doctor, NamesTheFirstFailingStepOfABrokenSession) {
  const std::vector<std::string> record{"--session", "1",         "--record",  "1",
                                        "--address", "127.0.0.1", "--display", "{D}"};
  std::vector<std::string> invalid = record;
  invalid.push_back("--invalid");
  // The server's key, and another server's.
  const std::string serverKey = newKeyFile(), otherKey = newKeyFile();
  std::vector<std::string> noKey = record, wrongKey = record;
  noKey.push_back("--no-key");
  wrongKey.insert(wrongKey.end(), {"--key-file", otherKey});
  const FailureCase cases[] = {
      // Only a record for session 0, which the driver then takes.
      {"no session",
       801,
       {"--record", "0", "--address", "127.0.0.1", "--display", "{D}"},
       false,
       {},
       "session",
       {"cannot be opened", "2. address: ok: 127.0.0.1 display 801"}},
      {"no record",
       802,
       {"--session", "1"},
       false,
       {},
       "address",
       {"session 1 (from the kernel access device)", "XDisplayAddress-1: not there",
        "req-CSSQueryIP cannot be opened"}},
      {"an invalid record",
       803,
       invalid,
       false,
       {},
       "address",
       {"valid flag: 0", "primary: 127.0.0.1 display 803", "not marked valid"}},
      {"a refused setup",
       804,
       record,
       true,
       {"--refuse-setup"},
       "setup",
       {"server: ok: 127.0.0.1:" + portOf(804), "refused the setup"}},
      {"no server",
       805,
       record,
       false,
       {},
       "setup",
       {"failed or was closed before the setup was answered", "lumivox-server --display 805"}},
      // A server that accepts the setup but whose datagrams never come
      // back, as a blocked UDP path looks: the plain run catches it.
      {"a blocked UDP path",
       807,
       record,
       true,
       {"--silent-streams"},
       "stream",
       {"4. setup: ok", "the server's UDP port never answered the probe"}},
      {"no key",
       808,
       noKey,
       true,
       {"--key-file", serverKey},
       "setup",
       {"key for this terminal: none", "no key for this terminal", "lumivox-server --print-key"}},
      {"another server's key",
       809,
       wrongKey,
       true,
       {"--key-file", serverKey},
       "setup",
       {"key for this terminal: yes", "key refused", "lumivox-setup pair"}},
  };
  for (const FailureCase &c : cases) {
    SCOPED_TRACE(c.what);
    Terminal terminal(c.display, c.session, c.server ? &c.serverOptions : nullptr);
    DoctorRun run = doctor({});
    EXPECT_EQ(run.status, DOCTOR_FAILED) << run.out << run.err;
    EXPECT_NE(verdictLine(run.out, c.firstFailure).find(": FAILED"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(std::string("verdict: FAILED at ") + c.firstFailure + ":"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("what to do: "), std::string::npos);
    for (const std::string &text : c.shown)
      EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n" << run.out;
    // The doctor only looks: it never marks a server itself.
    EXPECT_FALSE(fs::exists(terminal.dir.path() + "/dosdevices")) << run.out;
  }
  fs::remove_all(fs::path(serverKey).parent_path());
  fs::remove_all(fs::path(otherKey).parent_path());
}

TEST(Doctor, TheHookupAnswersWhenNoRecordDoes) {
  // Display 0 of a loopback address that nothing serves: the step after
  // the address is only looked at for its destination.
  Terminal terminal(0, {"--session", "7", "--hookup", "--hookup-address", "7=127.0.0.2"}, nullptr);
  DoctorRun run = doctor({"--json"});
  EXPECT_EQ(run.status, DOCTOR_FAILED) << run.out;
  EXPECT_NE(
      run.out.find("\"verdict\":\"ok\",\"summary\":\"127.0.0.2 display 0 (from the Hookup query"),
      std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("reply of 4 bytes [127 0 0 2]"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\"summary\":\"127.0.0.2:9000, not marked\""), std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << "one JSON object on one line";
}

TEST(Doctor, AMarkedServerIsClearedAndThenPlaysItsStreamAndTone) {
  const int display = 806;
  // With the server's key, which the session publishes.
  const std::string keyFile = newKeyFile();
  const std::vector<std::string> keyed{"--key-file", keyFile};
  Terminal terminal(display,
                    {"--session", "1", "--record", "1", "--address", "127.0.0.1", "--display",
                     "{D}", "--key-file", keyFile},
                    &keyed);
  const std::u16string mark = u"Lumivox{7f000001:" + std::u16string(u"9806") + u"}";
  ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, mark.c_str(), u"NoAudio"));

  DoctorRun marked = doctor({});
  EXPECT_EQ(marked.status, DOCTOR_FAILED) << marked.out;
  EXPECT_NE(verdictLine(marked.out, "server").find("FAILED: 127.0.0.1:9806 is marked unreachable"),
            std::string::npos)
      << marked.out;
  EXPECT_NE(verdictLine(marked.out, "setup").find(": ok: 127.0.0.1:9806 accepted the setup"),
            std::string::npos)
      << "the server answers all the same\n"
      << marked.out;
  EXPECT_NE(marked.out.find("lumivox-doctor --clear"), std::string::npos);

  DoctorRun cleared = doctor({"--clear"});
  EXPECT_EQ(cleared.status, 0) << cleared.out << cleared.err;
  size_t removing = cleared.out.find("removing the mark Lumivox{7f000001:9806} (target NoAudio)");
  EXPECT_NE(removing, std::string::npos) << cleared.out;
  EXPECT_LT(removing, cleared.out.find("3. server: ok")) << "said before it is done";
  EXPECT_FALSE(fs::exists(terminal.dir.path() + "/dosdevices/lumivox{7f000001:9806}"));

  // The healthy path, with the driver loaded for the tone as an
  // application loads it.
  setenv("LUMIVOX_DRIVER", LUMIVOX_LIBRARY, 1);
  DoctorRun healthy = doctor({"--stream", "--tone", "--json"});
  unsetenv("LUMIVOX_DRIVER");
  EXPECT_EQ(healthy.status, 0) << healthy.out << healthy.err;
  // Linear on loopback; its rate follows the probe's round trip, which a
  // loaded or instrumented machine stretches past the top rate's bound.
  for (const char *text :
       {"\"ok\":true,\"first_failure\":null", "\"step\":\"setup\",\"verdict\":\"ok\"",
        "\"devices\":\"playback", "\"step\":\"stream\",\"verdict\":\"ok\"",
        "\"probe round trip ms\":", "\"initial wire format\":\"16-bit linear ",
        "\"acknowledgements lost\":0", "\"step\":\"tone\",\"verdict\":\"ok\""}) {
    EXPECT_NE(healthy.out.find(text), std::string::npos) << text << "\n" << healthy.out;
  }
  EXPECT_EQ(terminal.server->logCount("setup refused"), 0);
  EXPECT_EQ(terminal.server->logCount("the driver proved the key"), 4)
      << "the setup of each of the three runs, and the tone's device";
  fs::remove_all(fs::path(keyFile).parent_path());
}

TEST(Doctor, BadCommandLinesNameWhatIsValid) {
  DoctorRun low = doctor({"--frequency", "5"});
  EXPECT_EQ(low.status, 2);
  EXPECT_NE(low.err.find("bad --frequency: 5 (20 to 20000)"), std::string::npos) << low.err;
  DoctorRun unknown = doctor({"--fix"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_NE(unknown.err.find("unknown option: --fix"), std::string::npos) << unknown.err;
  DoctorRun flag = doctor({"--clear=yes"});
  EXPECT_EQ(flag.status, 2);
  EXPECT_NE(flag.err.find("--clear takes no value"), std::string::npos) << flag.err;
  DoctorRun version = doctor({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("lumivox-doctor ", 0), 0u) << version.out;
}

}  // namespace
