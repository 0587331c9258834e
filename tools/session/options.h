// The command line of lumivox-session.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "tools/common/options.h"

// How the Hookup query is answered.
enum class HookupReply {
  ADDRESS,  // the session's address in network order, or four zero bytes
  ZERO,     // four zero bytes, whatever the session
  SHORT,    // the first two bytes of the address only
  EMPTY,    // an empty message
  SILENT,   // read the request, never answer
  HANGUP,   // close the connection without answering
};

struct SessionOptions {
  std::string runtimeDir;      // empty: the runtime's own rules
  bool serveKernel = false;    // serve \Device\KVTKernelAccess
  int32_t session = 0;         // the session number it answers
  uint32_t sessionStatus = 0;  // the NT status it answers with
  bool publishRecord = false;  // publish XDisplayAddress-<recordSession>
  int32_t recordSession = 0;
  uint32_t address = 0;  // host order, first octet in the top byte
  uint32_t display = 0;
  uint32_t overrideAddress = 0;  // 0: no override
  uint32_t overrideDisplay = 0;
  bool valid = true;                            // the record's valid flag
  uint32_t recordBytes = 84;                    // size of the record file, bytes
  bool serveHookup = false;                     // serve \Device\Hookup CSSQueryIP
  std::map<int32_t, uint32_t> hookupAddresses;  // session -> host-order address
  HookupReply hookupReply = HookupReply::ADDRESS;
  std::string keyFile;  // the server's key to publish; empty: the server's default file
  bool noKey = false;   // publish no key
};

// The --help text: every option, one paragraph each.
extern const char SESSION_USAGE[];

// Parses argv with the tools' shared option rules. PARSE_OK fills options;
// PARSE_HELP, PARSE_VERSION and PARSE_ERROR (with the reason in error) go
// to toolParseExit with SESSION_USAGE.
ParseOutcome sessionParseOptions(int argc, char **argv, SessionOptions &options,
                                 std::string &error);
// Parses a dotted IPv4 address into the host-order form. Returns false for
// anything but four decimal octets.
bool sessionParseAddress(const std::string &text, uint32_t &address);
