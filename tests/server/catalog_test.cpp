// The server's catalog of devices and controls, and the setup acceptance
// built from it.
#include "server/catalog.h"

#include <gtest/gtest.h>

#include <vector>

#include "wire/messages.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(SetupMessages, AcceptedListsDevicesThenControls) {
  ServerOptions options;
  Catalog catalog = catalogCreate(options);
  Bytes out(512, 0xCC);
  size_t bytes = setupAcceptedBuild(out, catalog.devices, catalog.controls);
  ASSERT_EQ(bytes, 48u);
  out.resize(bytes);
  EXPECT_EQ(out, (Bytes{1, 0, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 2, 0,  //
                        0, 0, 1,  0, 0, 0, 0, 0, 1, 0, 2, 0, 0, 0, 0, 0,  //
                        0, 0, 3,  0, 1, 0, 0, 0, 0, 0, 4, 0, 2, 0, 0, 0}));
  Bytes small(47);
  EXPECT_EQ(setupAcceptedBuild(small, catalog.devices, catalog.controls), 0u);
  std::vector<DeviceEntry> many(62, DeviceEntry{0, 1});  // 16 + 62 x 8 = 512 bytes
  EXPECT_EQ(setupAcceptedBuild(out = Bytes(600), many, {}), 512u);
  many.push_back({0, 2});
  EXPECT_EQ(setupAcceptedBuild(out, many, {}), 0u) << "longer than any message";
}

TEST(Catalog, OptionsDropADirectionWithItsControl) {
  ServerOptions options;
  options.outputDevice = false;
  Catalog c = catalogCreate(options);
  ASSERT_EQ(c.devices.size(), 1u);
  EXPECT_EQ(c.devices[0].id, INPUT_DEVICE_ID);
  EXPECT_EQ(catalogDevice(c, INPUT_DEVICE_ID, DIRECTION_RECORDING), &c.devices[0]);
  EXPECT_EQ(catalogDevice(c, INPUT_DEVICE_ID, DIRECTION_PLAYBACK), nullptr);
  EXPECT_EQ(catalogDevice(c, OUTPUT_DEVICE_ID, DIRECTION_PLAYBACK), nullptr);
  EXPECT_EQ(catalogValue(c, OUTPUT_VOLUME_ID), nullptr);
  ASSERT_NE(catalogValue(c, INPUT_VOLUME_ID), nullptr);
  EXPECT_EQ(*catalogValue(c, INPUT_VOLUME_ID), 0xFFFFFFFFu);
}

}  // namespace
