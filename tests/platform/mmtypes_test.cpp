// Field offsets of the records the multimedia layer and the driver exchange,
// and the message and flag values their callers rely on. The sizes are
// checked where the records are declared; a field moved within an unchanged
// size only shows here. The numbers are those of the x64 Windows headers,
// which the POSIX runtime on 64-bit Linux shares.
#include <gtest/gtest.h>

#include <cstddef>

#include "platform/posix/mmtypes.h"

namespace {

static_assert(sizeof(void *) == 8, "these are the x64 layouts");

TEST(MmTypes, WaveRecordsKeepTheWindowsOffsets) {
  EXPECT_EQ(offsetof(WAVEHDR, lpData), 0u);
  EXPECT_EQ(offsetof(WAVEHDR, dwBufferLength), 8u);
  EXPECT_EQ(offsetof(WAVEHDR, dwBytesRecorded), 12u);
  EXPECT_EQ(offsetof(WAVEHDR, dwUser), 16u);
  EXPECT_EQ(offsetof(WAVEHDR, dwFlags), 24u);
  EXPECT_EQ(offsetof(WAVEHDR, dwLoops), 28u);
  EXPECT_EQ(offsetof(WAVEHDR, lpNext), 32u);
  EXPECT_EQ(offsetof(WAVEHDR, reserved), 40u);

  EXPECT_EQ(offsetof(WAVEFORMATEX, nAvgBytesPerSec), 8u);
  EXPECT_EQ(offsetof(WAVEFORMATEX, cbSize), 16u);

  EXPECT_EQ(offsetof(WAVEOUTCAPSW, szPname), 8u);
  EXPECT_EQ(offsetof(WAVEOUTCAPSW, dwFormats), 72u);
  EXPECT_EQ(offsetof(WAVEOUTCAPSW, wChannels), 76u);
  EXPECT_EQ(offsetof(WAVEOUTCAPSW, dwSupport), 80u);
  EXPECT_EQ(offsetof(WAVEINCAPSW, dwFormats), 72u);

  // Packed: dwInstance ends at 32 and the pointer-sized dnDevNode follows
  // the four-byte device id without padding.
  EXPECT_EQ(offsetof(WAVEOPENDESC, dwInstance), 24u);
  EXPECT_EQ(offsetof(WAVEOPENDESC, uMappedDeviceID), 32u);
  EXPECT_EQ(offsetof(WAVEOPENDESC, dnDevNode), 36u);

  EXPECT_EQ(offsetof(MCI_OPEN_DRIVER_PARMS, lpstrParams), 4u);
  EXPECT_EQ(offsetof(MCI_OPEN_DRIVER_PARMS, wCustomCommandTable), 12u);
  EXPECT_EQ(offsetof(MCI_OPEN_DRIVER_PARMS, wType), 16u);
}

TEST(MmTypes, MixerRecordsKeepTheWindowsOffsets) {
  EXPECT_EQ(offsetof(MIXERCAPSW, fdwSupport), 72u);
  EXPECT_EQ(offsetof(MIXERCAPSW, cDestinations), 76u);

  // Packed: the pointer-sized dwUser sits at 20, not at 24.
  EXPECT_EQ(offsetof(MIXERLINEW, dwUser), 20u);
  EXPECT_EQ(offsetof(MIXERLINEW, dwComponentType), 28u);
  EXPECT_EQ(offsetof(MIXERLINEW, cControls), 40u);
  EXPECT_EQ(offsetof(MIXERLINEW, szShortName), 44u);
  EXPECT_EQ(offsetof(MIXERLINEW, szName), 76u);
  EXPECT_EQ(offsetof(MIXERLINEW, Target), 204u);
  EXPECT_EQ(offsetof(MIXERLINEW, Target.szPname), 220u);

  EXPECT_EQ(offsetof(MIXERCONTROLW, cMultipleItems), 16u);
  EXPECT_EQ(offsetof(MIXERCONTROLW, szShortName), 20u);
  EXPECT_EQ(offsetof(MIXERCONTROLW, szName), 52u);
  EXPECT_EQ(offsetof(MIXERCONTROLW, Bounds), 180u);
  EXPECT_EQ(offsetof(MIXERCONTROLW, Metrics), 204u);

  EXPECT_EQ(offsetof(MIXERLINECONTROLSW, pamxctrl), 20u);
  EXPECT_EQ(offsetof(MIXERCONTROLDETAILS, paDetails), 24u);
}

TEST(MmTypes, MessagesHaveTheirWindowsValues) {
  EXPECT_EQ(WOM_OPEN, 0x3BB);
  EXPECT_EQ(WOM_CLOSE, 0x3BC);
  EXPECT_EQ(WOM_DONE, 0x3BD);
  EXPECT_EQ(WIM_OPEN, 0x3BE);
  EXPECT_EQ(WIM_CLOSE, 0x3BF);
  EXPECT_EQ(WIM_DATA, 0x3C0);
  EXPECT_EQ(MM_MIXM_CONTROL_CHANGE, 0x3D1);

  EXPECT_EQ(DRV_OPEN, 3);
  EXPECT_EQ(DRVM_INIT, 100);
  EXPECT_EQ(WODM_OPEN, 5);
  EXPECT_EQ(WODM_WRITE, 9);
  EXPECT_EQ(WODM_GETPOS, 13);
  EXPECT_EQ(WIDM_OPEN, 52);
  EXPECT_EQ(WIDM_ADDBUFFER, 56);
  EXPECT_EQ(MXDM_OPEN, 3);
  EXPECT_EQ(MXDM_SETCONTROLDETAILS, 8);

  EXPECT_EQ(WAVERR_BADFORMAT, 32);
  EXPECT_EQ(MIXERR_INVALLINE, 1024);
  EXPECT_EQ(MIXERCONTROL_CONTROLTYPE_VOLUME, 0x50030001u);
  EXPECT_EQ(MCI_DEVTYPE_WAVEFORM_AUDIO, 522);
}

// The multimedia layer hands the driver the application's CALLBACK_* type
// shifted down into the DCB_* value that DriverCallback takes.
TEST(MmTypes, CallbackTypesLineUpWithDriverCallbackFlags) {
  EXPECT_EQ(CALLBACK_FUNCTION, 0x30000u);
  EXPECT_EQ(CALLBACK_EVENT, 0x50000u);
  EXPECT_EQ(DCB_FUNCTION, 3);
  EXPECT_EQ(DCB_EVENT, 5);
  EXPECT_EQ(CALLBACK_TYPEMASK >> 16, unsigned(DCB_TYPEMASK));
  EXPECT_EQ(CALLBACK_WINDOW >> 16, unsigned(DCB_WINDOW));
  EXPECT_EQ(CALLBACK_TASK >> 16, unsigned(DCB_TASK));
  EXPECT_EQ(CALLBACK_FUNCTION >> 16, unsigned(DCB_FUNCTION));
  EXPECT_EQ(CALLBACK_EVENT >> 16, unsigned(DCB_EVENT));
}

}  // namespace
