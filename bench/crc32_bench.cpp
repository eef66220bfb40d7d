// CRC-32 throughput of every kernel this CPU runs, over buffers that stay in
// the first-level cache, the second-level cache and beyond.
#include "catalog/crc32_kernels.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

void BM_Crc32(benchmark::State& state, int kernel)
{
    if (!crc32_kernel_available(kernel)) {
        state.SkipWithError("not on this CPU");
        return;
    }
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    std::vector<std::uint8_t> data(size);
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<std::uint8_t>(i * 131u + 7u);
    }
    std::uint32_t crc = 0xFFFFFFFFu;
    for (auto _ : state) {
        crc = crc32_kernel_run(kernel, data.data(), size, crc);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(size));
}

BENCHMARK_CAPTURE(BM_Crc32, bytewise, CRC32_KERNEL_BYTEWISE)->Arg(4096)->Arg(65536)->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_Crc32, slice8, CRC32_KERNEL_SLICE8)->Arg(4096)->Arg(65536)->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_Crc32, pclmul, CRC32_KERNEL_PCLMUL)->Arg(4096)->Arg(65536)->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_Crc32, vpclmul256, CRC32_KERNEL_VPCLMUL256)
    ->Arg(4096)
    ->Arg(65536)
    ->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_Crc32, vpclmul, CRC32_KERNEL_VPCLMUL)->Arg(4096)->Arg(65536)->Arg(1 << 20);

} // namespace
