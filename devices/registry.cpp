// The name registry over QueryDosDeviceW and DefineDosDeviceW.
#include "devices/registry.h"

static const WCHAR REGISTRY_TARGET[] = LV_WTEXT("NoAudio");

int registryName(WCHAR *name, DWORD address, DWORD port) {
  // "Lumivox{" + 8 digits + ":" + at most 10 digits + "}": 28 characters.
  return wsprintfW(name, LV_WTEXT("Lumivox{%08x:%d}"), address, port);
}

int serverMarkedUnreachable(DWORD address, DWORD port) {
  WCHAR name[REGISTRY_NAME_CHARS];
  WCHAR target[REGISTRY_NAME_CHARS];
  registryName(name, address, port);
  // Only whether the name is defined matters; the target is not examined.
  return QueryDosDeviceW(name, target, REGISTRY_NAME_CHARS) != 0 ? 1 : 0;
}

void markServerUnreachable(DWORD address, DWORD port) {
  WCHAR name[REGISTRY_NAME_CHARS];
  registryName(name, address, port);
  DefineDosDeviceW(DDD_RAW_TARGET_PATH, name, REGISTRY_TARGET);
}
