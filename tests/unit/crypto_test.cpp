// Ed25519 against RFC 8032's test vectors (verification, signing and the
// public key of a seed), SHA-256 against FIPS 180-2's, and the text codings.
#include "crypto/crypto.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> bytes_of(const std::string& hex)
{
    std::vector<std::uint8_t> out(hex.size() / 2);
    EXPECT_EQ(hex_decode(hex.c_str(), static_cast<int>(hex.size()), out.data(),
                         static_cast<int>(out.size())),
              1)
        << hex;
    return out;
}

struct Vector {
    const char* seed;
    const char* key;
    const char* message;
    const char* signature;
};

// RFC 8032, section 7.1, tests 1 to 3.
const Vector RFC8032[] = {
    {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b"
     "46b"
     "d25bf5f0595bbe24655141438e7a100b"},
    {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11"
     "d8c"
     "387b2eaeb4302aeeb00d291612bb0c00"},
    {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc"
     "659"
     "4a7c15e9716ed28dc027beceea1ec40a"},
};

} // namespace

TEST(Ed25519, Rfc8032VectorsSignVerifyAndDeriveTheKey)
{
    for (const Vector& v : RFC8032) {
        SCOPED_TRACE(v.key);
        const auto seed = bytes_of(v.seed);
        const auto key = bytes_of(v.key);
        auto message = bytes_of(v.message);
        const auto signature = bytes_of(v.signature);

        std::uint8_t derived[ED25519_KEY_SIZE];
        ASSERT_EQ(ed25519_public_key(seed.data(), derived), 1);
        EXPECT_EQ(std::memcmp(derived, key.data(), sizeof derived), 0);
        std::uint8_t made[ED25519_SIGNATURE_SIZE];
        ASSERT_EQ(ed25519_sign(seed.data(), message.data(), message.size(), made), 1);
        EXPECT_EQ(std::memcmp(made, signature.data(), sizeof made), 0);
        EXPECT_EQ(ed25519_verify(key.data(), message.data(), message.size(), signature.data()), 1);

        // One bit anywhere, or another vector's key, and it fails.
        auto bad = signature;
        bad[37] ^= 0x10;
        EXPECT_EQ(ed25519_verify(key.data(), message.data(), message.size(), bad.data()), 0);
        message.push_back(0);
        EXPECT_EQ(ed25519_verify(key.data(), message.data(), message.size(), signature.data()), 0);
        const auto other = bytes_of(RFC8032[(&v - RFC8032 + 1) % 3].key);
        EXPECT_EQ(
            ed25519_verify(other.data(), message.data(), message.size() - 1, signature.data()), 0);
    }
    std::uint8_t seed[ED25519_KEY_SIZE] = {};
    std::uint8_t again[ED25519_KEY_SIZE] = {};
    ASSERT_EQ(ed25519_new_seed(seed), 1);
    ASSERT_EQ(ed25519_new_seed(again), 1);
    EXPECT_NE(std::memcmp(seed, again, sizeof seed), 0);
}

TEST(Sha256, KnownDigestsInOneOrManyPieces)
{
    const std::string million_a(1000000, 'a');
    const struct {
        std::string text;
        const char* digest;
    } cases[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {million_a, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        for (std::size_t piece : {c.text.size() + 1, std::size_t{7}}) {
            Sha256 state;
            ASSERT_EQ(sha256_begin(&state), 1);
            for (std::size_t at = 0; at < c.text.size(); at += piece) {
                const std::size_t n = std::min(piece, c.text.size() - at);
                sha256_update(&state, reinterpret_cast<const std::uint8_t*>(c.text.data() + at), n);
            }
            std::uint8_t digest[SHA256_SIZE];
            ASSERT_EQ(sha256_end(&state, digest), 1);
            char text[2 * SHA256_SIZE + 1];
            hex_encode(digest, SHA256_SIZE, text);
            EXPECT_STREQ(text, c.digest);
        }
    }
}

TEST(TextCodings, Base64AndHexRoundTripAndRefuseWhatIsNotCanonical)
{
    std::uint8_t bytes[66];
    for (int i = 0; i < 66; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 37 + 11);
    }
    for (int length = 0; length <= 66; ++length) {
        char text[100];
        ASSERT_EQ(base64_encode(bytes, length, text, sizeof text), (length + 2) / 3 * 4);
        std::uint8_t back[66];
        ASSERT_EQ(base64_decode(text, static_cast<int>(std::strlen(text)), back, sizeof back),
                  length)
            << text;
        EXPECT_EQ(std::memcmp(back, bytes, static_cast<std::size_t>(length)), 0);
    }
    std::uint8_t out[8];
    char small[4];
    EXPECT_EQ(base64_encode(bytes, 3, small, sizeof small), -1); // no room for the terminator
    EXPECT_EQ(base64_decode("  Zm9v\n", 7, out, sizeof out), 3);
    // Only the given bytes are read: a zero byte inside them is no digit,
    // and digits past them are not taken.
    EXPECT_EQ(base64_decode("Zm9v\0\0\0\0", 8, out, sizeof out), -1);
    EXPECT_EQ(base64_decode("Zm9vYmFy", 4, out, sizeof out), 3);
    // Cut, foreign characters, padding inside, stray bits after padding,
    // too long for the output.
    for (const char* bad :
         {"Zm9", "Zm9v!", "Zm=v", "Zh==", "Zm9=", "====", "Zm 9v", "Zm9vYmFyYmF6"}) {
        EXPECT_EQ(base64_decode(bad, static_cast<int>(std::strlen(bad)), out, sizeof out), -1)
            << bad;
    }
    std::uint8_t two[2];
    EXPECT_EQ(hex_decode("aB0f", 4, two, 2), 1);
    EXPECT_EQ(two[0], 0xAB);
    EXPECT_EQ(hex_decode("aB0", 3, two, 2), 0);
    EXPECT_EQ(hex_decode("aB0fe", 5, two, 2), 0);
    EXPECT_EQ(hex_decode("xx0f", 4, two, 2), 0);
    EXPECT_EQ(hex_decode("aB\0f", 4, two, 2), 0);
}
