#include "catalog/crc32_kernels.h"
#include "catalog/verify.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

namespace {

// Bit at a time, straight from the polynomial: shares nothing with the kernels.
std::uint32_t bitwise_crc(const std::uint8_t* bytes, std::size_t count, std::uint32_t crc)
{
    for (std::size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        }
    }
    return crc;
}

std::vector<std::uint8_t> random_bytes(std::size_t count, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> bytes(count);
    for (auto& b : bytes) {
        b = static_cast<std::uint8_t>(rng());
    }
    return bytes;
}

TEST(Crc32Kernels, EveryAvailableKernelMatchesThePolynomialAtRandomLengthsAndAlignments)
{
    const std::vector<std::uint8_t> data = random_bytes(70000, 7);
    std::mt19937 rng(11);
    int checked = 0;
    for (int k = 0; k < CRC32_KERNEL_COUNT; ++k) {
        if (!crc32_kernel_available(k)) {
            std::printf("kernel %s: not on this CPU\n", crc32_kernel_name(k));
            continue;
        }
        std::printf("kernel %s: checked\n", crc32_kernel_name(k));
        for (int round = 0; round < 600; ++round) {
            const std::size_t offset = rng() % 64;
            // Mostly short and medium lengths, around every block boundary.
            std::size_t length = rng() % 1100;
            if (round % 5 == 0) {
                length = rng() % (data.size() - 64);
            }
            const std::uint32_t running = static_cast<std::uint32_t>(rng());
            const std::uint8_t* at = data.data() + offset;
            ASSERT_EQ(crc32_kernel_run(k, at, length, running), bitwise_crc(at, length, running))
                << crc32_kernel_name(k) << " offset " << offset << " length " << length;
        }
        // Every length from 0 to 600 at an odd address.
        for (std::size_t length = 0; length <= 600; ++length) {
            const std::uint8_t* at = data.data() + 3;
            ASSERT_EQ(crc32_kernel_run(k, at, length, 0xFFFFFFFFu),
                      bitwise_crc(at, length, 0xFFFFFFFFu))
                << crc32_kernel_name(k) << " length " << length;
        }
        ++checked;
    }
    EXPECT_GE(checked, 2);
}

TEST(Crc32Kernels, SpecialInputsGiveTheSameValueOnEveryKernel)
{
    std::vector<std::uint8_t> zeros(1 << 20, 0);
    std::vector<std::uint8_t> ones(1 << 20, 0xFF);
    const std::uint32_t want_zeros = bitwise_crc(zeros.data(), zeros.size(), 0xFFFFFFFFu);
    const std::uint32_t want_ones = bitwise_crc(ones.data(), ones.size(), 0);
    for (int k = 0; k < CRC32_KERNEL_COUNT; ++k) {
        if (!crc32_kernel_available(k)) {
            continue;
        }
        EXPECT_EQ(crc32_kernel_run(k, zeros.data(), zeros.size(), 0xFFFFFFFFu), want_zeros)
            << crc32_kernel_name(k);
        EXPECT_EQ(crc32_kernel_run(k, ones.data(), ones.size(), 0), want_ones)
            << crc32_kernel_name(k);
        const std::uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
        EXPECT_EQ(~crc32_kernel_run(k, digits, 9, 0xFFFFFFFFu), 0xCBF43926u)
            << crc32_kernel_name(k);
    }
}

TEST(Crc32Kernels, UpdateUsesTheBestAvailableKernel)
{
    const int selected = crc32_kernel_selected();
    ASSERT_TRUE(crc32_kernel_available(selected));
    for (int k = selected + 1; k < CRC32_KERNEL_COUNT; ++k) {
        EXPECT_FALSE(crc32_kernel_available(k)) << crc32_kernel_name(k);
    }
    EXPECT_GE(selected, CRC32_KERNEL_SLICE8);
    const std::vector<std::uint8_t> data = random_bytes(300000, 3);
    EXPECT_EQ(crc32_update(data.data() + 1, 299990, 0x1234u),
              bitwise_crc(data.data() + 1, 299990, 0x1234u));
}

} // namespace
