// Proof of a key on the control connection: the driver shows that it holds
// the secret key of the server's user without the key crossing the wire.
//
// The exchange rides on bytes that a server or driver knowing nothing of
// it never reads, so either side may lack it:
//   1. setup request, byte 1: SETUP_OFFERS_KEY from a driver that holds a
//      key for the server (0 otherwise, as every driver sends it);
//   2. setup accepted, byte 1: SETUP_CHALLENGES, and bytes 4 to 11 the
//      server's nonce, fresh for the connection; only in answer to an offer,
//      from a server that requires a key;
//   3. key proof (type 6, running phase, 52 bytes), only after a challenge:
//      bytes 4 to 19 the driver's nonce, bytes 20 to 51
//      HMAC-SHA256(key, proof input). It is the first running-phase message
//      and counts as a request, so the driver's next request is number 2.
// The proof input binds both nonces and the connection's address pair as
// each end sees it, so a recorded exchange proves nothing on another
// connection, and a proof relayed through a third host names the wrong
// pair. A server that requires a key refuses the setup of a driver that
// offers none (byte 1 SETUP_REFUSED_NO_KEY), and answers a wrong proof, or
// any request before the proof, with a key-refused event (type 2, byte 1
// EVENT_KEY_REFUSED) and the end of the connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

constexpr size_t KEY_BYTES = 32;
constexpr size_t KEY_TEXT_CHARS = 2 * KEY_BYTES;  // lower-case hex

constexpr uint8_t SETUP_OFFERS_KEY = 1;      // setup request, byte 1
constexpr uint8_t SETUP_CHALLENGES = 0xA5;   // setup accepted, byte 1
constexpr uint8_t SETUP_REFUSED_NO_KEY = 1;  // setup refused, byte 1
constexpr uint8_t EVENT_KEY_REFUSED = 1;     // event, byte 1
constexpr size_t CHALLENGE_NONCE_BYTES = 8;  // the server's, setup accepted bytes 4 to 11
constexpr size_t PROOF_NONCE_BYTES = 16;     // the driver's
constexpr size_t KEY_PROOF_BYTES = 52;
constexpr size_t KEY_PROOF_MAC_BYTES = 32;
constexpr size_t EVENT_BYTES = 16;

// Both ends of the control connection: IPv4 addresses and ports in host
// order, as the driver sees its own end and the server's.
struct AddressPair {
  uint32_t driverAddress;
  uint16_t driverPort;
  uint32_t serverAddress;
  uint16_t serverPort;
};

// The key from its text: 64 hex digits, white space around them allowed.
bool keyTextParse(std::string_view text, uint8_t key[KEY_BYTES]);
// The key as 64 lower-case hex digits and a terminator.
void keyTextFormat(const uint8_t key[KEY_BYTES], char out[KEY_TEXT_CHARS + 1]);

// The challenge of a setup acceptance; false when the message is shorter
// than 12 bytes or does not challenge.
bool setupAcceptedChallenge(std::span<const uint8_t> message, uint8_t nonce[CHALLENGE_NONCE_BYTES]);

// The MAC of a proof; false when the primitive failed.
bool keyProofMac(const uint8_t key[KEY_BYTES], const uint8_t challenge[CHALLENGE_NONCE_BYTES],
                 const uint8_t nonce[PROOF_NONCE_BYTES], const AddressPair &pair,
                 uint8_t mac[KEY_PROOF_MAC_BYTES]);
// The key-proof message; 0 when out is too small or the MAC failed.
size_t keyProofBuild(std::span<uint8_t> out, const uint8_t key[KEY_BYTES],
                     const uint8_t challenge[CHALLENGE_NONCE_BYTES],
                     const uint8_t nonce[PROOF_NONCE_BYTES], const AddressPair &pair);
// Whether message is a key proof made with key for this challenge and pair.
// The comparison takes the same time wherever the MACs differ.
bool keyProofValid(std::span<const uint8_t> message, const uint8_t key[KEY_BYTES],
                   const uint8_t challenge[CHALLENGE_NONCE_BYTES], const AddressPair &pair);

// The key-refused event, 16 bytes.
size_t keyRefusedBuild(std::span<uint8_t> out);
