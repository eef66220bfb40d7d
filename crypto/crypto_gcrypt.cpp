// The libgcrypt side of crypto.h. Keys and signatures travel as
// S-expressions; EdDSA values are the RFC 8032 encodings, byte for byte.
#include "crypto/crypto.h"

#include "platform/platform.h"

#include <gcrypt.h>

#include <cstring>

namespace {

int library_ready;

// The 32-byte value of token in an S-expression, or 0 when it has another
// size.
int copy_token(gcry_sexp_t list, const char* token, std::uint8_t* out)
{
    gcry_sexp_t found = gcry_sexp_find_token(list, token, 0);
    if (found == nullptr) {
        return 0;
    }
    std::size_t length = 0;
    const char* data = gcry_sexp_nth_data(found, 1, &length);
    const int fits = data != nullptr && length == 32;
    if (fits) {
        std::memcpy(out, data, 32);
    }
    gcry_sexp_release(found);
    return fits;
}

} // namespace

int crypto_init()
{
    if (library_ready) {
        return 1;
    }
    if (gcry_check_version("1.9.0") == nullptr) {
        return 0;
    }
    // Secrets live only in quorvelctl's short runs; no locked pool needed.
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    library_ready = 1;
    return 1;
}

int ed25519_verify(const std::uint8_t key[ED25519_KEY_SIZE], const std::uint8_t* message,
                   std::size_t length, const std::uint8_t signature[ED25519_SIGNATURE_SIZE])
{
    if (!crypto_init()) {
        return 0;
    }
    gcry_sexp_t public_key = nullptr;
    gcry_sexp_t signed_value = nullptr;
    gcry_sexp_t data = nullptr;
    const int built =
        gcry_sexp_build(&public_key, nullptr, "(public-key(ecc(curve Ed25519)(flags eddsa)(q %b)))",
                        ED25519_KEY_SIZE, key) == 0 &&
        gcry_sexp_build(&signed_value, nullptr, "(sig-val(eddsa(r %b)(s %b)))", 32, signature, 32,
                        signature + 32) == 0 &&
        gcry_sexp_build(&data, nullptr, "(data(flags eddsa)(hash-algo sha512)(value %b))",
                        static_cast<int>(length), message) == 0;
    const int good = built && gcry_pk_verify(signed_value, data, public_key) == 0;
    gcry_sexp_release(public_key);
    gcry_sexp_release(signed_value);
    gcry_sexp_release(data);
    return good;
}

int ed25519_new_seed(std::uint8_t seed[ED25519_KEY_SIZE])
{
    if (!crypto_init()) {
        return 0;
    }
    // The system's own source: libgcrypt's gatherer on Windows polls system
    // statistics, which can stall for minutes (under Wine it did).
    return random_bytes(seed, ED25519_KEY_SIZE);
}

int ed25519_public_key(const std::uint8_t seed[ED25519_KEY_SIZE],
                       std::uint8_t key[ED25519_KEY_SIZE])
{
    if (!crypto_init()) {
        return 0;
    }
    gcry_sexp_t secret = nullptr;
    if (gcry_sexp_build(&secret, nullptr, "(private-key(ecc(curve Ed25519)(flags eddsa)(d %b)))",
                        ED25519_KEY_SIZE, seed) != 0) {
        return 0;
    }
    gcry_ctx_t context = nullptr;
    int good = 0;
    if (gcry_mpi_ec_new(&context, secret, nullptr) == 0) {
        // The encoded point: an opaque value of exactly 32 bytes.
        gcry_mpi_t point = gcry_mpi_ec_get_mpi("q@eddsa", context, 1);
        unsigned int bits = 0;
        const void* bytes = point != nullptr && gcry_mpi_get_flag(point, GCRYMPI_FLAG_OPAQUE)
                                ? gcry_mpi_get_opaque(point, &bits)
                                : nullptr;
        if (bytes != nullptr && bits == 8 * ED25519_KEY_SIZE) {
            std::memcpy(key, bytes, ED25519_KEY_SIZE);
            good = 1;
        }
        gcry_mpi_release(point);
        gcry_ctx_release(context);
    }
    gcry_sexp_release(secret);
    return good;
}

int ed25519_sign(const std::uint8_t seed[ED25519_KEY_SIZE], const std::uint8_t* message,
                 std::size_t length, std::uint8_t signature[ED25519_SIGNATURE_SIZE])
{
    std::uint8_t key[ED25519_KEY_SIZE];
    if (!ed25519_public_key(seed, key)) {
        return 0;
    }
    gcry_sexp_t secret = nullptr;
    gcry_sexp_t data = nullptr;
    gcry_sexp_t result = nullptr;
    int good = gcry_sexp_build(&secret, nullptr,
                               "(private-key(ecc(curve Ed25519)(flags eddsa)(d %b)(q %b)))",
                               ED25519_KEY_SIZE, seed, ED25519_KEY_SIZE, key) == 0 &&
               gcry_sexp_build(&data, nullptr, "(data(flags eddsa)(hash-algo sha512)(value %b))",
                               static_cast<int>(length), message) == 0 &&
               gcry_pk_sign(&result, data, secret) == 0;
    good = good && copy_token(result, "r", signature) && copy_token(result, "s", signature + 32);
    gcry_sexp_release(secret);
    gcry_sexp_release(data);
    gcry_sexp_release(result);
    return good;
}

int sha256_begin(Sha256* state)
{
    state->handle = nullptr;
    gcry_md_hd_t handle = nullptr;
    if (!crypto_init() || gcry_md_open(&handle, GCRY_MD_SHA256, 0) != 0) {
        return 0;
    }
    state->handle = handle;
    return 1;
}

void sha256_update(Sha256* state, const std::uint8_t* bytes, std::size_t length)
{
    if (state->handle != nullptr) {
        gcry_md_write(static_cast<gcry_md_hd_t>(state->handle), bytes, length);
    }
}

int sha256_end(Sha256* state, std::uint8_t digest[SHA256_SIZE])
{
    if (state->handle == nullptr) {
        return 0;
    }
    auto handle = static_cast<gcry_md_hd_t>(state->handle);
    const unsigned char* result = gcry_md_read(handle, GCRY_MD_SHA256);
    if (result != nullptr) {
        std::memcpy(digest, result, SHA256_SIZE);
    }
    gcry_md_close(handle);
    state->handle = nullptr;
    return result != nullptr ? 1 : 0;
}

int sha256_digest(const std::uint8_t* bytes, std::size_t length, std::uint8_t digest[SHA256_SIZE])
{
    if (!crypto_init()) {
        return 0;
    }
    gcry_md_hash_buffer(GCRY_MD_SHA256, digest, bytes, length);
    return 1;
}
