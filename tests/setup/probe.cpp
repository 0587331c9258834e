// Loads a driver as the multimedia layer does from its registration:
// OpenDriver on a Drivers32 alias ("wave1"), which reads the value of that
// name in this process's registry view and loads the DLL it names from the
// system directory. Prints the loaded module's path and word size and the
// driver's answer to DRV_QUERYCONFIGURE, closes it, and exits 0 when all
// of that worked.
//
//   setup_probe ALIAS
#include <windows.h>
// After windows.h, which defines its types.
#include <mmsystem.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fputs("usage: setup_probe ALIAS\n", stderr);
    return 2;
  }
  std::wstring alias(argv[1], argv[1] + std::strlen(argv[1]));
  HDRVR driver = OpenDriver(alias.c_str(), L"Drivers32", 0);
  if (!driver) {
    std::printf("OpenDriver(%s, Drivers32) failed\n", argv[1]);
    return 1;
  }
  char path[MAX_PATH] = {};
  HMODULE module = GetDriverModuleHandle(driver);
  GetModuleFileNameA(module, path, MAX_PATH);
  // A 32-bit process on a 64-bit system sees the system directory under
  // its 64-bit name whichever copy it loaded: the module's own header says
  // which word size it is.
  const BYTE *base = reinterpret_cast<const BYTE *>(module);
  const IMAGE_NT_HEADERS *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER *>(base)->e_lfanew);
  WORD machine = nt->FileHeader.Machine;
  const char *bits = machine == IMAGE_FILE_MACHINE_AMD64  ? "64-bit"
                     : machine == IMAGE_FILE_MACHINE_I386 ? "32-bit"
                                                          : "unknown";
  LRESULT configure = SendDriverMessage(driver, DRV_QUERYCONFIGURE, 0, 0);
  LRESULT closed = CloseDriver(driver, 0, 0);
  std::printf("%s: %s (%s), DRV_QUERYCONFIGURE %ld, closed %ld\n", argv[1], path, bits,
              long(configure), long(closed));
  return closed ? 0 : 1;
}
