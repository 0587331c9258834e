// Where each word size's driver comes from and goes.
#include "tools/setup/sides.h"

// The folder of this program, with a trailing backslash.
static std::wstring programFolder() {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

// A system directory by one of the two calls; empty when there is none
// (GetSystemWow64DirectoryW fails on a 32-bit Windows).
static std::wstring systemFolder(UINT(WINAPI *get)(LPWSTR, UINT)) {
  wchar_t path[MAX_PATH];
  UINT length = get(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  return std::wstring(path, length) + L"\\";
}

// True for a 32-bit process on 64-bit Windows.
static bool underWow64() {
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

std::vector<Side> setupSides(std::wstring *error) {
  std::wstring folder = programFolder();
  std::wstring wow64 = systemFolder(GetSystemWow64DirectoryW);
  std::vector<Side> sides;
  if (sizeof(void *) == 8) {
    sides.push_back({L"64-bit", folder + DRIVER_FILE,
                     systemFolder(GetSystemDirectoryW) + DRIVER_FILE, KEY_WOW64_64KEY});
    if (!wow64.empty())
      sides.push_back(
          {L"32-bit", folder + L"x86\\" + DRIVER_FILE, wow64 + DRIVER_FILE, KEY_WOW64_32KEY});
  } else if (underWow64()) {
    // System32 would be redirected for this process: name SysWOW64 itself.
    sides.push_back({L"32-bit", folder + DRIVER_FILE, wow64 + DRIVER_FILE, KEY_WOW64_32KEY});
  } else {
    sides.push_back({L"32-bit", folder + DRIVER_FILE,
                     systemFolder(GetSystemDirectoryW) + DRIVER_FILE, KEY_WOW64_32KEY});
  }
  for (const Side &side : sides) {
    if (side.target.size() <= wcslen(DRIVER_FILE)) {
      *error = L"the system directory is unknown";
      return {};
    }
  }
  return sides;
}
