// Option parsing for lumivox-session. Every option takes its value as the
// next argument or after '='.
#include "tools/session/options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

const char SESSION_USAGE[] =
    "Usage: lumivox-session [OPTION]...\n"
    "Stands in for the terminal-server installation for this user's processes:\n"
    "serves the kernel access device, publishes a display address record and\n"
    "answers the Hookup address query, from the session's runtime directory,\n"
    "until SIGINT or SIGTERM; then removes everything it created. Once every\n"
    "object exists it prints \"lumivox-session: ready <directory>\" on standard\n"
    "output.\n"
    "\n"
    "  --runtime-dir DIR      the runtime directory (default: $LUMIVOX_RUNTIME_DIR,\n"
    "                         else $XDG_RUNTIME_DIR/lumivox, else /tmp/lumivox-<uid>);\n"
    "                         made with mode 0700 if missing, refused unless it is a\n"
    "                         directory of this user with mode 0700\n"
    "  --session N            serve \\Device\\KVTKernelAccess, answering the session\n"
    "                         number query with N\n"
    "  --session-status HEX   the NT status of that answer (default 0); a negative\n"
    "                         one (0x80000000 and up) makes the query fail\n"
    "  --record N             publish the display address record XDisplayAddress-N\n"
    "  --address A.B.C.D      the record's primary address (default 0.0.0.0)\n"
    "  --display D            the record's primary display number (default 0)\n"
    "  --override A.B.C.D     the record's override address (default: none)\n"
    "  --override-display D   the record's override display number (default 0)\n"
    "  --invalid              publish the record with its valid flag 0\n"
    "  --record-bytes N       the record's size in bytes, 0 to 4096 (default 84);\n"
    "                         a smaller size cuts the last fields off\n"
    "  --hookup               serve the Hookup channel CSSQueryIP\n"
    "  --hookup-address N=A.B.C.D\n"
    "                         answer the query for session N with this address;\n"
    "                         may be repeated; other sessions get four zero bytes\n"
    "  --hookup-reply MODE    how the query is answered: address (default), zero\n"
    "                         (four zero bytes), short (the first two bytes), empty\n"
    "                         (an empty message), silent (never), hangup (the\n"
    "                         connection is closed instead)\n"
    "  --key-file FILE        the key of the server this session's terminal runs\n"
    "                         (default: lumivox-server's own default,\n"
    "                         $XDG_CONFIG_HOME/lumivox/server.key, else\n"
    "                         ~/.config/lumivox/server.key, when it exists); it is\n"
    "                         published as keys/ADDRESS in the runtime directory\n"
    "                         for every terminal address above, where this user's\n"
    "                         drivers find it\n"
    "  --no-key               publish no key\n"
    "  -h, --help             show this text and exit\n"
    "  --version              show the version and exit\n"
    "\n"
    "Exit status: 0 after a signal, --help or --version, 1 when the objects\n"
    "cannot be made, 2 for a usage error.\n";

namespace {

bool parseInt32(const std::string &text, int32_t &value) {
  if (text.empty()) return false;
  errno = 0;
  char *end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno || *end || v < INT32_MIN || v > INT32_MAX) return false;
  value = int32_t(v);
  return true;
}

bool parseUnsigned(const std::string &text, int base, uint64_t limit, uint32_t &value) {
  if (text.empty() || text[0] == '-') return false;
  errno = 0;
  char *end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, base);
  if (errno || *end || v > limit) return false;
  value = uint32_t(v);
  return true;
}

bool parseReplyMode(const std::string &text, HookupReply &mode) {
  static const struct {
    const char *name;
    HookupReply mode;
  } modes[] = {{"address", HookupReply::ADDRESS}, {"zero", HookupReply::ZERO},
               {"short", HookupReply::SHORT},     {"empty", HookupReply::EMPTY},
               {"silent", HookupReply::SILENT},   {"hangup", HookupReply::HANGUP}};
  for (const auto &m : modes) {
    if (text == m.name) {
      mode = m.mode;
      return true;
    }
  }
  return false;
}

bool parseHookupAddress(const std::string &text, SessionOptions &options) {
  size_t equals = text.find('=');
  int32_t session;
  uint32_t address;
  if (equals == std::string::npos || !parseInt32(text.substr(0, equals), session) ||
      !sessionParseAddress(text.substr(equals + 1), address)) {
    return false;
  }
  options.hookupAddresses[session] = address;
  return true;
}

// Applies one option with its value; false when the value is bad.
bool applyOption(const std::string &name, const std::string &value, SessionOptions &o) {
  if (name == "--runtime-dir") return !(o.runtimeDir = value).empty();
  if (name == "--key-file") return !(o.keyFile = value).empty();
  if (name == "--session") return (o.serveKernel = true) && parseInt32(value, o.session);
  if (name == "--session-status") return parseUnsigned(value, 16, UINT32_MAX, o.sessionStatus);
  if (name == "--record") return (o.publishRecord = true) && parseInt32(value, o.recordSession);
  if (name == "--address") return sessionParseAddress(value, o.address);
  if (name == "--display") return parseUnsigned(value, 10, UINT32_MAX, o.display);
  if (name == "--override") return sessionParseAddress(value, o.overrideAddress);
  if (name == "--override-display") return parseUnsigned(value, 10, UINT32_MAX, o.overrideDisplay);
  if (name == "--record-bytes") return parseUnsigned(value, 10, 4096, o.recordBytes);
  if (name == "--hookup-address") return (o.serveHookup = true) && parseHookupAddress(value, o);
  if (name == "--hookup-reply")
    return (o.serveHookup = true) && parseReplyMode(value, o.hookupReply);
  return false;
}

bool takesValue(const std::string &name) {
  static const char *const names[] = {"--runtime-dir",    "--session",          "--session-status",
                                      "--record",         "--address",          "--display",
                                      "--override",       "--override-display", "--record-bytes",
                                      "--hookup-address", "--hookup-reply",     "--key-file"};
  for (const char *n : names) {
    if (name == n) return true;
  }
  return false;
}

}  // namespace

bool sessionParseAddress(const std::string &text, uint32_t &address) {
  uint32_t result = 0;
  size_t at = 0;
  for (int octet = 0; octet < 4; ++octet) {
    size_t end = text.find('.', at);
    if (octet == 3) end = text.size();
    if (end == std::string::npos || end == at || end - at > 3) return false;
    uint32_t value;
    if (!parseUnsigned(text.substr(at, end - at), 10, 255, value)) return false;
    result = result << 8 | value;
    at = end + 1;
  }
  address = result;
  return true;
}

ParseOutcome sessionParseOptions(int argc, char **argv, SessionOptions &options,
                                 std::string &error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return PARSE_HELP;
    if (arg == "--version") return PARSE_VERSION;
    if (arg == "--invalid") {
      options.valid = false;
      continue;
    }
    if (arg == "--hookup") {
      options.serveHookup = true;
      continue;
    }
    if (arg == "--no-key") {
      options.noKey = true;
      continue;
    }
    std::string name, value;
    bool hasValue = false;
    optionSplit(arg, name, value, hasValue);
    if (!takesValue(name)) {
      error = "unknown option: " + arg;
      return PARSE_ERROR;
    }
    if (!optionTakeValue(argc, argv, i, name, hasValue, value, error)) return PARSE_ERROR;
    if (!applyOption(name, value, options)) {
      error = "bad value for " + name + ": " + value;
      return PARSE_ERROR;
    }
  }
  if (!options.serveKernel && !options.publishRecord && !options.serveHookup) {
    error = "nothing to serve: give --session, --record or --hookup";
    return PARSE_ERROR;
  }
  return PARSE_OK;
}
