// The first steps call the same functions, in the same order, as a device
// open does (discoverServer, serverMarkedUnreachable), and take the
// driver's parts apart only where it does not tell why: the kernel access
// device is opened once more to learn whether it is there, the record's
// fields are read at the offsets the driver reads, and the Hookup query is
// made with the driver's channel functions so that its reply can be shown.
#include "tools/doctor/discover.h"

#include <string>

#include "devices/discovery.h"
#include "devices/registry.h"
#include "platform/bytes.h"
#include "platform/platform.h"

namespace {

const WCHAR KERNEL_ACCESS_DEVICE[] = LV_WTEXT("\\Device\\KVTKernelAccess");
// The Hookup service that answers the address query (the driver's name).
const WCHAR HOOKUP_ADDRESS_SERVICE[] = LV_WTEXT("CSSQueryIP");
// The registry's mark target, and a removal that takes that target only.
const WCHAR MARK_TARGET[] = LV_WTEXT("NoAudio");
constexpr DWORD MARK_REMOVE_FLAGS =
    DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE | DDD_RAW_TARGET_PATH;

// The ASCII text of a wide name (the registry's names are ASCII).
std::string narrow(const WCHAR *text) {
  std::string out;
  for (; *text; ++text) out += *text < 0x80 ? char(*text) : '?';
  return out;
}

// Opens the kernel access device as QuerySessionNumber does and closes it
// again: the driver's query answers 0 both for session 0 and for a device
// that is not there, and only the open tells them apart.
NTSTATUS kernelAccessOpen() {
  UNICODE_STRING name;
  name.Length = USHORT((sizeof KERNEL_ACCESS_DEVICE / sizeof(WCHAR) - 1) * sizeof(WCHAR));
  name.MaximumLength = name.Length;
  name.Buffer = const_cast<WCHAR *>(KERNEL_ACCESS_DEVICE);
  OBJECT_ATTRIBUTES attributes = {};
  attributes.Length = sizeof attributes;
  attributes.ObjectName = &name;
  IO_STATUS_BLOCK io = {};
  HANDLE device = nullptr;
  NTSTATUS status =
      ZwCreateFile(&device, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, nullptr,
                   0, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE, 0, nullptr, 0);
  if (status >= 0 && device) ZwClose(device);
  return status;
}

std::string recordName(int32_t session) { return "XDisplayAddress-" + std::to_string(session); }

// The record's fields, each only when the view holds it. Returns whether
// the driver takes an address from it (ParseDisplayRecord).
bool readRecord(Step &step, int32_t session, uint32_t &address, uint32_t &display) {
  SIZE_T length = 0;
  const BYTE *view = MapDisplayAddress(session, &length);
  if (!view) {
    step.add("record", recordName(session) + ": not there");
    return false;
  }
  step.add("record", recordName(session) + ": " + std::to_string(length) + " bytes (" +
                         std::to_string(RECORD_MIN_BYTES) + " needed)");
  if (length >= RECORD_VALID + 4) step.addNumber("valid flag", load32(view + RECORD_VALID));
  if (length >= RECORD_PRIMARY_DISPLAY + 4) {
    step.add("primary", dottedAddress(load32(view + RECORD_PRIMARY_ADDRESS)) + " display " +
                            std::to_string(load32(view + RECORD_PRIMARY_DISPLAY)));
  }
  if (length >= RECORD_OVERRIDE_DISPLAY + 4) {
    uint32_t over = load32(view + RECORD_OVERRIDE_ADDRESS);
    step.add("override", over ? dottedAddress(over) + " display " +
                                    std::to_string(load32(view + RECORD_OVERRIDE_DISPLAY))
                              : std::string("none (address 0)"));
  }
  DWORD a = 0, d = 0;
  bool found = ParseDisplayRecord(view, length, &a, &d);
  UnmapViewOfFile(view);
  if (!found) {
    step.add("record verdict", length < RECORD_MIN_BYTES ? "too short: counts as no record"
                                                         : "not marked valid: counts as no record");
    return false;
  }
  address = a;
  display = d;
  return true;
}

// The Hookup query as QueryHookupAddress makes it, with its reply shown.
bool askHookup(Step &step, int32_t session, uint32_t &address) {
  HookupChannel *channel = OpenHookupChannel(HOOKUP_ADDRESS_SERVICE, HOOKUP_ADDRESS_SERVICE);
  if (!channel) {
    step.add("hookup", "the channel \\Device\\Hookup\\req-CSSQueryIP cannot be opened");
    return false;
  }
  BYTE request[4];
  BYTE reply[4] = {0, 0, 0, 0};
  ULONG replyLength = 0;
  store32(request, DWORD(session));
  NTSTATUS status =
      HookupTransact(channel, request, sizeof request, reply, sizeof reply, &replyLength);
  CloseHookupChannel(channel);
  if (status < 0 || status == NTSTATUS(STATUS_TIMEOUT)) {
    step.add("hookup", "no reply within " + std::to_string(HOOKUP_WAIT_MS) + " ms (status " +
                           hex32(uint32_t(status)) + ")");
    return false;
  }
  std::string bytes;
  for (ULONG i = 0; i < replyLength && i < sizeof reply; ++i) {
    bytes += (i ? " " : "") + std::to_string(reply[i]);
  }
  DWORD a = 0;
  bool found = ParseHookupReply(reply, replyLength, &a);
  step.add("hookup", "reply of " + std::to_string(replyLength) + " bytes [" + bytes +
                         "]: " + (found ? dottedAddress(a) : std::string("no address")));
  if (found) address = a;
  return found;
}

}  // namespace

Step checkSession(Discovery &found) {
  Step step;
  step.name = "session";
  NTSTATUS opened = kernelAccessOpen();
  found.deviceOpened = opened >= 0;
  found.session = QuerySessionNumber(0);
  step.add("device",
           "\\Device\\KVTKernelAccess: " +
               (found.deviceOpened ? std::string("opened")
                                   : "cannot be opened (status " + hex32(uint32_t(opened)) + ")"));
  step.addNumber("number", found.session);
  if (!found.deviceOpened) {
    step.fail("no session: the kernel access device is not there; the driver takes session 0",
              "log on through a terminal session: this process runs outside one, or the "
              "terminal-server installation's kernel component is not running (on Linux, "
              "lumivox-session --session N stands in for it)");
  } else if (found.session == SESSION_NONE) {
    step.fail("the kernel access device answers session -1: no session",
              "log on through a terminal session; this process belongs to none");
  } else {
    step.ok("session " + std::to_string(found.session) + " (from the kernel access device)");
    // QuerySessionNumber answers 0 for a failed request as well.
    if (found.session == 0) step.add("note", "the driver also takes 0 when the request fails");
  }
  return step;
}

Step checkAddress(Discovery &found) {
  Step step;
  step.name = "address";
  if (found.session == SESSION_NONE) {
    step.skip("no session to look up");
    return step;
  }
  uint32_t address = 0, display = 0;
  if (readRecord(step, found.session, address, display)) {
    step.add("hookup", "not asked: the record gives the address");
    found.addressFound = true;
    step.ok(dottedAddress(address) + " display " + std::to_string(display) + " (from the record)");
    return step;
  }
  if (askHookup(step, found.session, address)) {
    found.addressFound = true;
    step.ok(dottedAddress(address) + " display 0 (from the Hookup query: no usable record)");
    return step;
  }
  step.fail("no display address for session " + std::to_string(found.session) +
                ": no usable record, and the Hookup query gave none",
            "the terminal-server installation publishes " + recordName(found.session) +
                " when the session connects from a terminal: reconnect the session, or "
                "check the installation's services (on Linux, lumivox-session --record N "
                "--address A.B.C.D --display D, or --hookup)");
  return step;
}

namespace {

// The destination of the driver's discovery: discoverServer's visitor.
struct Destination {
  DWORD address = 0;
  DWORD port = 0;
};

int takeDestination(void *context, DWORD address, DWORD port) {
  Destination *d = static_cast<Destination *>(context);
  d->address = address;
  d->port = port;
  return 1;
}

}  // namespace

Step checkServer(Discovery &found, bool clear,
                 void (*announce)(const char *name, const char *target)) {
  Step step;
  step.name = "server";
  if (!found.addressFound) {
    step.skip("no display address");
    return step;
  }
  // The whole of the driver's discovery once more, as an open runs it.
  Destination destination;
  if (!discoverServer(takeDestination, &destination)) {
    step.fail(
        "the driver's discovery yields no server: the display number puts the port "
        "beyond 65535 (displays 0 to " +
            std::to_string(0xFFFF - AUDIO_PORT_BASE) + ")",
        "the record's display number is wrong: reconnect the session from the terminal");
    return step;
  }
  found.serverFound = true;
  found.address = destination.address;
  found.port = destination.port;
  step.add("address", dottedAddress(destination.address));
  step.addNumber("port", destination.port);
  WCHAR name[REGISTRY_NAME_CHARS];
  registryName(name, destination.address, destination.port);
  step.add("mark name", narrow(name));
  found.marked = serverMarkedUnreachable(destination.address, destination.port) != 0;
  std::string where = dottedAddress(destination.address) + ":" + std::to_string(destination.port);
  bool cleared = false;
  if (found.marked && clear) {
    WCHAR target[REGISTRY_NAME_CHARS] = {0};
    QueryDosDeviceW(name, target, REGISTRY_NAME_CHARS);
    announce(narrow(name).c_str(), narrow(target).c_str());
    // The registry's own target: a name defined by something else stays.
    bool removed = DefineDosDeviceW(MARK_REMOVE_FLAGS, name, MARK_TARGET) != 0;
    found.marked = serverMarkedUnreachable(destination.address, destination.port) != 0;
    cleared = removed && !found.marked;
    step.add("cleared", cleared ? "yes" : "no: the name could not be removed");
  }
  step.add("marked unreachable", found.marked ? "yes" : "no");
  if (found.marked) {
    step.fail(where +
                  " is marked unreachable for this logon session: every open gives it up "
                  "at once, in every process",
              "once the server answers (see the setup step), run 'lumivox-doctor --clear', or "
              "log off and on again: nothing else removes the mark");
  } else {
    step.ok(where + (cleared ? ", not marked any more (the mark was removed)" : ", not marked"));
  }
  return step;
}
