// lumivox-setup: installs, registers and uninstalls the driver on a Windows
// server, for both word sizes (see sides.h), and tells what is installed.
//
//   lumivox-setup install | uninstall | status
//   lumivox-setup pair SERVER KEY | unpair SERVER
//
// install copies each word size's LUMIVOX.dll into that word size's system
// directory and adds the Drivers32 values that make winmm load it; it is
// idempotent. uninstall removes what install recorded and nothing else.
// pair stores the key of a terminal's audio server for the user who runs
// it, where the driver of either word size finds it; unpair removes it.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/secrets.h"
#include "platform/version.h"
#include "tools/setup/drivers32.h"
#include "tools/setup/sides.h"
#include "wire/auth.h"

namespace {

// The kinds of Drivers32 values the driver answers: wave for wodMessage
// and widMessage, mixer for mxdMessage.
const wchar_t *const KINDS[] = {L"wave", L"mixer"};

bool sameContents(const std::wstring &a, const std::wstring &b) {
  auto read = [](const std::wstring &path, std::string *bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    char block[65536];
    DWORD got = 0;
    while (ReadFile(file, block, sizeof block, &got, nullptr) && got > 0) bytes->append(block, got);
    CloseHandle(file);
    return true;
  };
  std::string left, right;
  return read(a, &left) && read(b, &right) && left == right;
}

bool exists(const std::wstring &path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Copies the DLL unless the same bytes are there. A file that setup did not
// put there is replaced (a newer build over an .inf deployment) but stays
// unrecorded, so uninstall leaves it. Returns false on failure.
bool installFile(const Side &side, SetupRecord *record, bool *changed) {
  bool existed = exists(side.target);
  if (existed && sameContents(side.source, side.target)) return true;
  if (!CopyFileW(side.source.c_str(), side.target.c_str(), FALSE)) {
    fwprintf(stderr, L"lumivox-setup: cannot copy %ls to %ls (error %lu)\n", side.source.c_str(),
             side.target.c_str(), GetLastError());
    return false;
  }
  if (!existed) record->file = side.target;
  *changed = true;
  wprintf(L"%ls: copied %ls\n", side.name, side.target.c_str());
  return true;
}

// Adds a value of each kind that does not name the driver yet.
bool installValues(const Side &side, SetupRecord *record, bool *changed) {
  for (const wchar_t *kind : KINDS) {
    if (!drivers32Naming(side.view, kind, DRIVER_FILE).empty()) continue;
    std::wstring error,
        name = drivers32Add(side.view, kind, DRIVER_FILE, &record->createdKey, &error);
    if (name.empty()) {
      fwprintf(stderr, L"lumivox-setup: %ls: %ls\n", side.name, error.c_str());
      return false;
    }
    record->values.push_back(name);
    *changed = true;
    wprintf(L"%ls: Drivers32 %ls = %ls\n", side.name, name.c_str(), DRIVER_FILE);
  }
  return true;
}

bool install(const Side &side) {
  if (!exists(side.source)) {
    wprintf(L"%ls: %ls is not there; skipped\n", side.name, side.source.c_str());
    return true;
  }
  SetupRecord record;
  recordRead(side.view, &record);
  bool changed = false;
  bool ok = installFile(side, &record, &changed) && installValues(side, &record, &changed);
  // What was added is recorded even when a later step failed, so that
  // uninstall can take it back.
  if (changed && !recordWrite(side.view, record)) {
    fwprintf(stderr, L"lumivox-setup: %ls: cannot write HKLM\\%ls\n", side.name, RECORD_KEY);
    ok = false;
  }
  if (ok && !changed) wprintf(L"%ls: already installed\n", side.name);
  return ok;
}

bool uninstall(const Side &side) {
  SetupRecord record;
  if (!recordRead(side.view, &record)) {
    wprintf(L"%ls: nothing installed by lumivox-setup\n", side.name);
    return true;
  }
  for (const std::wstring &name : record.values) {
    if (drivers32Remove(side.view, name, DRIVER_FILE))
      wprintf(L"%ls: removed Drivers32 %ls\n", side.name, name.c_str());
  }
  if (record.createdKey) drivers32RemoveKeyIfEmpty(side.view);
  bool ok = true;
  if (!record.file.empty() && exists(record.file)) {
    if (DeleteFileW(record.file.c_str())) {
      wprintf(L"%ls: deleted %ls\n", side.name, record.file.c_str());
    } else if (MoveFileExW(record.file.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
      // Loaded by a running process: Windows deletes it at the next start.
      wprintf(L"%ls: %ls is in use; deleted at the next restart\n", side.name, record.file.c_str());
    } else {
      fwprintf(stderr, L"lumivox-setup: cannot delete %ls (error %lu)\n", record.file.c_str(),
               GetLastError());
      ok = false;
    }
  }
  if (ok) recordDelete(side.view);
  return ok;
}

void status(const Side &side) {
  wprintf(L"%ls:\n  bundle: %ls%ls\n", side.name, side.source.c_str(),
          exists(side.source) ? L"" : L" (missing)");
  wprintf(L"  system: %ls%ls\n", side.target.c_str(),
          exists(side.target) ? L"" : L" (not installed)");
  for (const wchar_t *kind : KINDS) {
    std::wstring names;
    for (const std::wstring &name : drivers32Naming(side.view, kind, DRIVER_FILE))
      names += L" " + name;
    wprintf(L"  Drivers32 %ls:%ls\n", kind, names.empty() ? L" none" : names.c_str());
  }
  SetupRecord record;
  if (recordRead(side.view, &record)) {
    std::wstring names;
    for (const std::wstring &name : record.values) names += L" " + name;
    wprintf(L"  added by lumivox-setup:%ls%ls%ls\n", names.c_str(),
            record.file.empty() ? L"" : L" ", record.file.c_str());
  } else {
    wprintf(L"  added by lumivox-setup: nothing\n");
  }
}

// "a.b.c.d" or "a.b.c.d:port", each number in range.
bool serverNameValid(const std::string &name) {
  unsigned a, b, c, d, port = 0;
  char end;
  int fields = std::sscanf(name.c_str(), "%3u.%3u.%3u.%3u:%5u%c", &a, &b, &c, &d, &port, &end);
  return lvUserKeyNameValid(name.c_str()) && (fields == 4 || fields == 5) && a < 256 && b < 256 &&
         c < 256 && d < 256 && port < 65536 && (fields == 4 || port > 0);
}

// Stores (or with an empty key removes) the user's key for server in
// HKEY_CURRENT_USER, which only this user and the system may read; the
// key is shared by both word sizes' views.
int pair(const std::string &server, const std::string &keyText) {
  if (!serverNameValid(server)) {
    std::fprintf(stderr, "lumivox-setup: '%s' is not ADDRESS or ADDRESS:PORT (10.0.0.5:9000)\n",
                 server.c_str());
    return 2;
  }
  if (keyText.empty()) {
    LSTATUS result = RegDeleteKeyValueA(HKEY_CURRENT_USER, LV_USER_KEYS_REGISTRY, server.c_str());
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
      std::fprintf(stderr, "lumivox-setup: cannot remove the key for %s (error %ld)\n",
                   server.c_str(), long(result));
      return 1;
    }
    std::printf("%s: %s\n", server.c_str(),
                result == ERROR_SUCCESS ? "key removed" : "no key was stored");
    return 0;
  }
  uint8_t key[KEY_BYTES];
  if (!keyTextParse(keyText, key)) {
    std::fprintf(stderr,
                 "lumivox-setup: the key is the 64 hex digits that 'lumivox-server "
                 "--print-key' prints on the terminal\n");
    return 2;
  }
  char text[KEY_TEXT_CHARS + 1];
  keyTextFormat(key, text);
  LSTATUS result = RegSetKeyValueA(HKEY_CURRENT_USER, LV_USER_KEYS_REGISTRY, server.c_str(), REG_SZ,
                                   text, DWORD(sizeof text));
  if (result != ERROR_SUCCESS) {
    std::fprintf(stderr, "lumivox-setup: cannot store the key for %s (error %ld)\n", server.c_str(),
                 long(result));
    return 1;
  }
  std::printf("%s: key stored for this user (HKEY_CURRENT_USER\\%s)\n", server.c_str(),
              LV_USER_KEYS_REGISTRY);
  return 0;
}

int usage(FILE *to) {
  fputs(
      "Usage: lumivox-setup install | uninstall | status\n"
      "   or: lumivox-setup pair SERVER KEY | unpair SERVER\n"
      "\n"
      "install    copy LUMIVOX.dll (and x86\\LUMIVOX.dll) from beside this program into\n"
      "           the system directories and register them with the multimedia layer\n"
      "           (Drivers32 wave and mixer values, 64-bit and 32-bit registry views)\n"
      "uninstall  remove exactly what install added\n"
      "status     show what is installed where\n"
      "pair       store for the user who runs it the KEY of the audio server at\n"
      "           SERVER (its terminal's ADDRESS, or ADDRESS:PORT for one display),\n"
      "           as 'lumivox-server --print-key' prints it there; the driver proves\n"
      "           it to that server, which serves no one else's\n"
      "unpair     remove that user's key for SERVER\n"
      "\n"
      "install and uninstall need an administrator; pair and unpair do not.\n"
      "\n"
      "Exit status: 0 on success, 1 on failure, 2 on wrong usage.\n",
      to);
  return to == stdout ? 0 : 2;
}

}  // namespace

int main(int argc, char **argv) {
  std::string command = argc >= 2 ? argv[1] : "";
  if (command == "pair" && argc == 4) return pair(argv[2], argv[3]);
  if (command == "unpair" && argc == 3) return pair(argv[2], "");
  if (argc != 2) command = "";
  if (command == "--help" || command == "-h") return usage(stdout);
  if (command == "--version") {
    std::printf("lumivox-setup %s\n", LUMIVOX_VERSION);
    return 0;
  }
  if (command != "install" && command != "uninstall" && command != "status") return usage(stderr);
  std::wstring error;
  std::vector<Side> sides = setupSides(&error);
  if (sides.empty()) {
    fwprintf(stderr, L"lumivox-setup: %ls\n", error.c_str());
    return 1;
  }
  bool ok = true;
  for (const Side &side : sides) {
    if (command == "install") ok = install(side) && ok;
    if (command == "uninstall") ok = uninstall(side) && ok;
    if (command == "status") status(side);
  }
  return ok ? 0 : 1;
}
