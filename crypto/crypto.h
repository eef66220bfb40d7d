// Signatures and digests for signed catalogs: Ed25519 (RFC 8032) and
// SHA-256 from libgcrypt, and the base64 and hex texts a catalog and a key
// file carry them in. No cryptography is written here; this is the one
// place that speaks to the library.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int ED25519_KEY_SIZE = 32;
constexpr int ED25519_SIGNATURE_SIZE = 64;
constexpr int SHA256_SIZE = 32;

// Starts the library once; later calls return at once. 1 when it is usable.
int crypto_init();

// 1 when signature is key's Ed25519 signature of the message.
int ed25519_verify(const std::uint8_t key[ED25519_KEY_SIZE], const std::uint8_t* message,
                   std::size_t length, const std::uint8_t signature[ED25519_SIGNATURE_SIZE]);

// A new secret seed from the system's cryptographic random source.
int ed25519_new_seed(std::uint8_t seed[ED25519_KEY_SIZE]);

// The public key of a secret seed. 1 on success.
int ed25519_public_key(const std::uint8_t seed[ED25519_KEY_SIZE],
                       std::uint8_t key[ED25519_KEY_SIZE]);

// Signs message with the seed's key. 1 on success.
int ed25519_sign(const std::uint8_t seed[ED25519_KEY_SIZE], const std::uint8_t* message,
                 std::size_t length, std::uint8_t signature[ED25519_SIGNATURE_SIZE]);

// SHA-256 over a stream of pieces: begin, update any number of times, end.
struct Sha256 {
    void* handle;
};
int sha256_begin(Sha256* state);
void sha256_update(Sha256* state, const std::uint8_t* bytes, std::size_t length);
// 1 with the digest written; 0 when the library could not make one.
int sha256_end(Sha256* state, std::uint8_t digest[SHA256_SIZE]);

// The digest of bytes held in memory, in one call (no state to open: the
// block maps hash many small pieces). 1 when written.
int sha256_digest(const std::uint8_t* bytes, std::size_t length, std::uint8_t digest[SHA256_SIZE]);

#include "crypto/text_codings.h"
