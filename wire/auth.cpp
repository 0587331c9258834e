// The key proof's texts, layouts and MAC.
#include "wire/auth.h"

#include <algorithm>

#include "platform/bytes.h"
#include "platform/secrets.h"
#include "wire/messages.h"

namespace {

// What the MAC covers: a label that no other use of the key shares, both
// nonces and the address pair, 44 bytes.
constexpr char PROOF_LABEL[8] = {'L', 'V', 'X', 'P', 'R', 'O', 'O', 'F'};
constexpr size_t PROOF_INPUT_BYTES =
    sizeof PROOF_LABEL + CHALLENGE_NONCE_BYTES + PROOF_NONCE_BYTES + 12;

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

bool keyTextParse(std::string_view text, uint8_t key[KEY_BYTES]) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  if (text.size() != KEY_TEXT_CHARS) return false;
  for (size_t i = 0; i < KEY_BYTES; ++i) {
    int high = hexDigit(text[2 * i]), low = hexDigit(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    key[i] = uint8_t(high << 4 | low);
  }
  return true;
}

void keyTextFormat(const uint8_t key[KEY_BYTES], char out[KEY_TEXT_CHARS + 1]) {
  static const char digits[] = "0123456789abcdef";
  for (size_t i = 0; i < KEY_BYTES; ++i) {
    out[2 * i] = digits[key[i] >> 4];
    out[2 * i + 1] = digits[key[i] & 15];
  }
  out[KEY_TEXT_CHARS] = 0;
}

bool setupAcceptedChallenge(std::span<const uint8_t> message,
                            uint8_t nonce[CHALLENGE_NONCE_BYTES]) {
  if (message.size() < 4 + CHALLENGE_NONCE_BYTES || message[0] != TYPE_SETUP_ACCEPTED ||
      message[1] != SETUP_CHALLENGES) {
    return false;
  }
  std::copy_n(message.begin() + 4, CHALLENGE_NONCE_BYTES, nonce);
  return true;
}

bool keyProofMac(const uint8_t key[KEY_BYTES], const uint8_t challenge[CHALLENGE_NONCE_BYTES],
                 const uint8_t nonce[PROOF_NONCE_BYTES], const AddressPair &pair,
                 uint8_t mac[KEY_PROOF_MAC_BYTES]) {
  uint8_t input[PROOF_INPUT_BYTES];
  uint8_t *at = std::copy_n(PROOF_LABEL, sizeof PROOF_LABEL, input);
  at = std::copy_n(challenge, CHALLENGE_NONCE_BYTES, at);
  at = std::copy_n(nonce, PROOF_NONCE_BYTES, at);
  store32(at, pair.driverAddress);
  store16(at + 4, pair.driverPort);
  store32(at + 6, pair.serverAddress);
  store16(at + 10, pair.serverPort);
  static_assert(KEY_PROOF_MAC_BYTES == LV_HMAC_BYTES);
  return lvHmacSha256(key, KEY_BYTES, input, sizeof input, mac) != 0;
}

size_t keyProofBuild(std::span<uint8_t> out, const uint8_t key[KEY_BYTES],
                     const uint8_t challenge[CHALLENGE_NONCE_BYTES],
                     const uint8_t nonce[PROOF_NONCE_BYTES], const AddressPair &pair) {
  if (out.size() < KEY_PROOF_BYTES) return 0;
  std::fill_n(out.begin(), KEY_PROOF_BYTES, uint8_t(0));
  out[0] = TYPE_KEY_PROOF;
  leStore16(out, 2, uint16_t(KEY_PROOF_BYTES / 4));
  std::copy_n(nonce, PROOF_NONCE_BYTES, out.begin() + 4);
  if (!keyProofMac(key, challenge, nonce, pair, out.data() + 4 + PROOF_NONCE_BYTES)) return 0;
  return KEY_PROOF_BYTES;
}

bool keyProofValid(std::span<const uint8_t> message, const uint8_t key[KEY_BYTES],
                   const uint8_t challenge[CHALLENGE_NONCE_BYTES], const AddressPair &pair) {
  if (message.size() < KEY_PROOF_BYTES || message[0] != TYPE_KEY_PROOF) return false;
  uint8_t mac[KEY_PROOF_MAC_BYTES];
  if (!keyProofMac(key, challenge, message.data() + 4, pair, mac)) return false;
  uint8_t difference = 0;
  for (size_t i = 0; i < KEY_PROOF_MAC_BYTES; ++i) {
    difference |= uint8_t(mac[i] ^ message[4 + PROOF_NONCE_BYTES + i]);
  }
  return difference == 0;
}

size_t keyRefusedBuild(std::span<uint8_t> out) {
  if (out.size() < EVENT_BYTES) return 0;
  std::fill_n(out.begin(), EVENT_BYTES, uint8_t(0));
  out[0] = TYPE_EVENT;
  out[1] = EVENT_KEY_REFUSED;
  leStore16(out, 2, uint16_t(EVENT_BYTES / 4));
  return EVENT_BYTES;
}
