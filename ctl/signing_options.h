// What quorvelctl catalog and sign share for signing.
#pragma once

#include "crypto/crypto.h"

#include <cstdint>

struct SigningOptions {
    std::int32_t has_version;
    std::int64_t version; // default: seconds since 1970
    std::int32_t has_expiry_days;
    std::int64_t expiry_days; // default: 30
};

// Takes --version N or --expires DAYS at argv[*i] (moving *i onto its
// value, which the caller's loop steps past): 1 taken, 0 not one of them or
// no value follows, -1 a bad value.
int signing_option(SigningOptions* options, int argc, char** argv, int* i);

// The secret seed of a key file written by quorvelctl keygen. 1 on success.
int read_signing_key(const char* path, std::uint8_t seed[ED25519_KEY_SIZE]);

// Seals text (records, no seal lines) with VERSION, EXPIRES and the
// signature, to output or, when null, standard output. 1 on success.
int write_signed(const char* text, std::int64_t length, const SigningOptions* options,
                 const std::uint8_t seed[ED25519_KEY_SIZE], const char* output);
