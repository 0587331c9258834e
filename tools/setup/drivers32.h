// The multimedia layer's driver list (the Drivers32 key) and lumivox-setup's
// own record of what it added, in one registry view at a time.
//
// Winmm loads a wave driver for every value named "wave" or "wave1" to
// "wave9" of the key HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Drivers32
// and a mixer driver for "mixer" to "mixer9"; the data is the DLL's file
// name. Other drivers hold some of these slots, so the driver takes the
// first free one of each kind, and setup remembers which it took under
// HKLM\SOFTWARE\Lumivox (same view), so that uninstalling removes exactly
// those values and nothing another installer wrote.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

inline constexpr wchar_t DRIVERS32_KEY[] =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";
inline constexpr wchar_t RECORD_KEY[] = L"SOFTWARE\\Lumivox";

// What setup added in one view: the Drivers32 value names and the copied
// file (empty when the file was there before setup copied it).
struct SetupRecord {
  std::vector<std::wstring> values;
  std::wstring file;
  bool createdKey = false;  // the Drivers32 key itself was made by setup
};

// The names of the Drivers32 values of `kind` ("wave", "mixer") whose data
// is `driver` (compared without case). Empty when the key cannot be read.
std::vector<std::wstring> drivers32Naming(REGSAM view, const wchar_t *kind, const wchar_t *driver);

// Adds `driver` in the first free slot of `kind` (kind, kind1 ... kind9).
// Returns the name taken, or empty with `error` set when every slot is
// taken or the key cannot be written. Sets *createdKey when the key did not
// exist (a view that no program of its word size has used yet).
std::wstring drivers32Add(REGSAM view, const wchar_t *kind, const wchar_t *driver, bool *createdKey,
                          std::wstring *error);

// Deletes the value `name` if its data is still `driver`; true when it did.
bool drivers32Remove(REGSAM view, const std::wstring &name, const wchar_t *driver);
// Deletes the Drivers32 key if it holds no value and no subkey.
void drivers32RemoveKeyIfEmpty(REGSAM view);

// The record of this view; false when there is none.
bool recordRead(REGSAM view, SetupRecord *record);
// Writes the record of this view; false on failure.
bool recordWrite(REGSAM view, const SetupRecord &record);
// Deletes the record's values and, when it is left empty, its key.
void recordDelete(REGSAM view);
