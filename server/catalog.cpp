#include "server/catalog.h"

Catalog catalogCreate(const ServerOptions &options) {
  Catalog c;
  if (options.outputDevice) {
    c.devices.push_back({DIRECTION_PLAYBACK, OUTPUT_DEVICE_ID});
    c.controls.push_back({CONTROL_KIND_VOLUME, OUTPUT_VOLUME_ID, OUTPUT_DEVICE_ID});
  }
  if (options.inputDevice) {
    c.devices.push_back({DIRECTION_RECORDING, INPUT_DEVICE_ID});
    c.controls.push_back({CONTROL_KIND_VOLUME, INPUT_VOLUME_ID, INPUT_DEVICE_ID});
  }
  c.values.assign(c.controls.size(), VOLUME_FULL);
  return c;
}

const DeviceEntry *catalogDevice(const Catalog &catalog, uint16_t id, uint8_t direction) {
  for (const DeviceEntry &d : catalog.devices) {
    if (d.id == id && d.direction == direction) return &d;
  }
  return nullptr;
}

uint32_t *catalogValue(Catalog &catalog, uint16_t controlId) {
  for (size_t i = 0; i < catalog.controls.size(); ++i) {
    if (catalog.controls[i].id == controlId) return &catalog.values[i];
  }
  return nullptr;
}
