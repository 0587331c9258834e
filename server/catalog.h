// What the server offers: its devices, their volume controls and the
// controls' stored values, shared by every connection (a mixer request of
// the driver opens a connection per request, so a value set on one must be
// what a later one reads).
#pragma once

#include <cstdint>
#include <vector>

#include "wire/messages.h"
#include "server/options.h"

enum : uint16_t {
  OUTPUT_DEVICE_ID = 1,
  INPUT_DEVICE_ID = 2,
  OUTPUT_VOLUME_ID = 3,  // kind 0, of the output device
  INPUT_VOLUME_ID = 4,   // kind 0, of the input device
};
constexpr uint8_t CONTROL_KIND_VOLUME = 0;
constexpr uint32_t VOLUME_FULL = 0xFFFFFFFF;  // a 16-bit level in both halves: full scale

struct Catalog {
  std::vector<DeviceEntry> devices;    // in the order the setup reply lists them
  std::vector<ControlEntry> controls;  // likewise
  std::vector<uint32_t> values;        // the stored value of controls[i]
};

// The devices and controls the options leave listed, values at VOLUME_FULL.
Catalog catalogCreate(const ServerOptions &options);
// The listed device with this id and direction, or null.
const DeviceEntry *catalogDevice(const Catalog &catalog, uint16_t id, uint8_t direction);
// The stored value of a listed control, or null when the id is not listed.
uint32_t *catalogValue(Catalog &catalog, uint16_t controlId);
