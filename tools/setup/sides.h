// The word sizes lumivox-setup installs the driver for. A 64-bit server has
// two: its 64-bit processes load the driver from System32 and read the
// 64-bit registry view, its 32-bit processes load it from SysWOW64 and read
// the 32-bit view. A 32-bit Windows has one, in System32.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// One word size's installation: where the DLL comes from and goes, and
// which view of the registry its processes read.
struct Side {
  const wchar_t *name;  // "64-bit" or "32-bit", for messages
  std::wstring source;  // the DLL in the bundle, beside the program
  std::wstring target;  // the DLL in the system directory of that word size
  REGSAM view;          // KEY_WOW64_64KEY or KEY_WOW64_32KEY
};

// The file name the multimedia layer loads, and the data of every Drivers32
// value that names the driver.
inline constexpr wchar_t DRIVER_FILE[] = L"LUMIVOX.dll";

// The sides of this system that this build of the program serves, in the
// order they are installed: its own word size, and, for the 64-bit build,
// the 32-bit side when the system has one. The 64-bit build takes the
// 32-bit DLL from x86\LUMIVOX.dll beside it; a 32-bit build its own.
// A 32-bit build on 64-bit Windows serves the 32-bit side only. Returns
// an empty list, with the reason in `error`, when no side can be served.
std::vector<Side> setupSides(std::wstring *error);
