// The Drivers32 values and setup's record, through advapi32.
#include "tools/setup/drivers32.h"

// Slots per kind: the bare name and the digits 1 to 9, as winmm reads them.
static constexpr int SLOTS = 10;

static std::wstring slotName(const wchar_t *kind, int slot) {
  std::wstring name = kind;
  if (slot > 0) name += wchar_t(L'0' + slot);
  return name;
}

static bool sameText(const std::wstring &a, const std::wstring &b) {
  return CompareStringOrdinal(a.c_str(), int(a.size()), b.c_str(), int(b.size()), TRUE) ==
         CSTR_EQUAL;
}

// A REG_SZ value of the key; false when it is absent or of another type.
static bool readString(HKEY key, const wchar_t *name, std::wstring *text) {
  wchar_t data[MAX_PATH] = {};
  DWORD bytes = sizeof data - sizeof(wchar_t);  // room for a terminator
  if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, data, &bytes) != ERROR_SUCCESS)
    return false;
  *text = data;
  return true;
}

static HKEY openKey(const wchar_t *path, REGSAM view, REGSAM access) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, access | view, &key) != ERROR_SUCCESS)
    return nullptr;
  return key;
}

std::vector<std::wstring> drivers32Naming(REGSAM view, const wchar_t *kind, const wchar_t *driver) {
  std::vector<std::wstring> names;
  HKEY key = openKey(DRIVERS32_KEY, view, KEY_QUERY_VALUE);
  if (!key) return names;
  for (int slot = 0; slot < SLOTS; slot++) {
    std::wstring name = slotName(kind, slot), data;
    if (readString(key, name.c_str(), &data) && sameText(data, driver)) names.push_back(name);
  }
  RegCloseKey(key);
  return names;
}

std::wstring drivers32Add(REGSAM view, const wchar_t *kind, const wchar_t *driver, bool *createdKey,
                          std::wstring *error) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, DRIVERS32_KEY, 0, nullptr, 0,
                      KEY_QUERY_VALUE | KEY_SET_VALUE | view, nullptr, &key,
                      &disposition) != ERROR_SUCCESS) {
    *error = L"cannot open Drivers32 for writing (run as an administrator)";
    return {};
  }
  if (disposition == REG_CREATED_NEW_KEY) *createdKey = true;
  std::wstring taken;
  for (int slot = 0; slot < SLOTS && taken.empty(); slot++) {
    std::wstring name = slotName(kind, slot);
    if (RegGetValueW(key, nullptr, name.c_str(), RRF_RT_ANY, nullptr, nullptr, nullptr) ==
        ERROR_FILE_NOT_FOUND)
      taken = name;
  }
  if (taken.empty()) {
    *error = std::wstring(L"every ") + kind + L" slot of Drivers32 is taken";
  } else if (RegSetValueExW(key, taken.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(driver),
                            DWORD((wcslen(driver) + 1) * sizeof(wchar_t))) != ERROR_SUCCESS) {
    *error = L"cannot write Drivers32\\" + taken;
    taken.clear();
  }
  RegCloseKey(key);
  return taken;
}

bool drivers32Remove(REGSAM view, const std::wstring &name, const wchar_t *driver) {
  HKEY key = openKey(DRIVERS32_KEY, view, KEY_QUERY_VALUE | KEY_SET_VALUE);
  if (!key) return false;
  std::wstring data;
  bool removed = readString(key, name.c_str(), &data) && sameText(data, driver) &&
                 RegDeleteValueW(key, name.c_str()) == ERROR_SUCCESS;
  RegCloseKey(key);
  return removed;
}

void drivers32RemoveKeyIfEmpty(REGSAM view) {
  HKEY key = openKey(DRIVERS32_KEY, view, KEY_QUERY_VALUE);
  if (!key) return;
  DWORD subkeys = 1, values = 1;
  RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                   nullptr, nullptr, nullptr);
  RegCloseKey(key);
  if (subkeys == 0 && values == 0) RegDeleteKeyExW(HKEY_LOCAL_MACHINE, DRIVERS32_KEY, view, 0);
}

bool recordRead(REGSAM view, SetupRecord *record) {
  HKEY key = openKey(RECORD_KEY, view, KEY_QUERY_VALUE);
  if (!key) return false;
  *record = {};
  // The value names, as a REG_MULTI_SZ: a few short names, well within 1 KiB.
  wchar_t names[512] = {};
  DWORD bytes = sizeof names - 2 * sizeof(wchar_t);
  if (RegGetValueW(key, nullptr, L"Drivers32", RRF_RT_REG_MULTI_SZ, nullptr, names, &bytes) ==
      ERROR_SUCCESS) {
    for (const wchar_t *name = names; *name; name += wcslen(name) + 1)
      record->values.push_back(name);
  }
  readString(key, L"File", &record->file);
  DWORD created = 0, size = sizeof created;
  record->createdKey = RegGetValueW(key, nullptr, L"CreatedDrivers32", RRF_RT_REG_DWORD, nullptr,
                                    &created, &size) == ERROR_SUCCESS &&
                       created != 0;
  RegCloseKey(key);
  return true;
}

bool recordWrite(REGSAM view, const SetupRecord &record) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, RECORD_KEY, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    return false;
  std::wstring names;
  for (const std::wstring &name : record.values) names += name + L'\0';
  names += L'\0';
  bool written = RegSetValueExW(key, L"Drivers32", 0, REG_MULTI_SZ,
                                reinterpret_cast<const BYTE *>(names.data()),
                                DWORD(names.size() * sizeof(wchar_t))) == ERROR_SUCCESS;
  if (record.file.empty()) {
    RegDeleteValueW(key, L"File");
  } else {
    written =
        written &&
        RegSetValueExW(key, L"File", 0, REG_SZ, reinterpret_cast<const BYTE *>(record.file.c_str()),
                       DWORD((record.file.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  }
  if (record.createdKey) {
    DWORD created = 1;
    written = written && RegSetValueExW(key, L"CreatedDrivers32", 0, REG_DWORD,
                                        reinterpret_cast<const BYTE *>(&created),
                                        sizeof created) == ERROR_SUCCESS;
  }
  RegCloseKey(key);
  return written;
}

void recordDelete(REGSAM view) {
  HKEY key = openKey(RECORD_KEY, view, KEY_SET_VALUE);
  if (!key) return;
  RegDeleteValueW(key, L"Drivers32");
  RegDeleteValueW(key, L"File");
  RegDeleteValueW(key, L"CreatedDrivers32");
  RegCloseKey(key);
  // Fails, as it should, while the key holds anything setup did not write.
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, RECORD_KEY, view, 0);
}
