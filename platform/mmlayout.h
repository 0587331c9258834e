// The sizes of the records the multimedia layer and the driver exchange, in
// the layout of the target's word size (the x64 sizes, and the 32-bit ones
// where a record holds pointer-sized fields). Checked against the real
// headers on Windows and against the stand-ins of the POSIX runtime.
#pragma once

static_assert(sizeof(WCHAR) == 2);
static_assert(sizeof(WAVEFORMAT) == 14);
static_assert(sizeof(PCMWAVEFORMAT) == 16);
static_assert(sizeof(WAVEFORMATEX) == 18);
static_assert(sizeof(WAVEOUTCAPSW) == 84);
static_assert(sizeof(WAVEINCAPSW) == 80);
static_assert(sizeof(MIXERCAPSW) == 80);
static_assert(sizeof(MIXERCONTROLW) == 228);
static_assert(sizeof(MIXERCONTROLDETAILS_UNSIGNED) == 4);
static_assert(sizeof(MIXERCONTROLDETAILS_LISTTEXTW) == 136);
static_assert(sizeof(MMTIME) == 12);
static_assert(sizeof(WAVEHDR) == (sizeof(void *) == 8 ? 48 : 32));
static_assert(sizeof(MIXERLINEW) == (sizeof(void *) == 8 ? 284 : 280));
static_assert(sizeof(MIXERLINECONTROLSW) == (sizeof(void *) == 8 ? 28 : 24));
static_assert(sizeof(MIXERCONTROLDETAILS) == (sizeof(void *) == 8 ? 32 : 24));
static_assert(sizeof(MCI_OPEN_DRIVER_PARMS) == (sizeof(void *) == 8 ? 20 : 16));
static_assert(sizeof(WAVEOPENDESC) == (sizeof(void *) == 8 ? 44 : 24));
static_assert(sizeof(MIXEROPENDESC) == (sizeof(void *) == 8 ? 40 : 20));
