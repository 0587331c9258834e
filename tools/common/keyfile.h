// The audio server's secret key in its file: where it lives by default,
// how it is made on first use, and the checks that keep it its user's.
// Shared by lumivox-server, which proves drivers with it, and
// lumivox-session, which hands it to the drivers of the same user.
//
// The file holds the key as 64 hex digits and a newline. It must be a
// regular file of the effective user that nobody else can read or write
// (mode 0600 or stricter); anything else is refused with the reason, as a
// key others may read proves nothing.
#pragma once

#include <cstdint>
#include <string>

#include "wire/auth.h"

// $XDG_CONFIG_HOME/lumivox/server.key, else $HOME/.config/lumivox/server.key;
// empty when neither variable is set.
std::string keyFileDefault();

enum class KeyFileResult { READ, CREATED, FAILED };

// Reads the key at path. When the file does not exist and create is set, a
// new random key is written there first (its folder made with mode 0700
// when missing, the file with 0600, never replacing a file that appeared
// meanwhile). FAILED leaves the reason in error.
KeyFileResult keyFileLoad(const std::string &path, bool create, uint8_t key[KEY_BYTES],
                          std::string &error);

// Replaces the key at path with a new random one (written beside it and
// renamed over it, so a reader sees the old key or the new one). False with
// the reason in error.
bool keyFileRenew(const std::string &path, uint8_t key[KEY_BYTES], std::string &error);
