// Parsing a catalog of 10,000 records and freeing its list: the cost of
// one heap allocation of ~4.2 KiB per entry (a page fault for nearly every
// page an entry first touches) beside the parsing itself.
#include "catalog/catalog.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

std::string catalog_of(int records)
{
    std::string text;
    char record[160];
    for (int i = 0; i < records; ++i) {
        std::snprintf(record, sizeof record, "FILE\ndata/f%05d.pak\n%d\n%8X\ndata/f%05d.pak\n\n\n",
                      i, 1000 + i, static_cast<unsigned int>(i * 2654435761u), i);
        text += record;
    }
    return text;
}

void BM_CatalogParseAndFree(benchmark::State& state)
{
    const std::string text = catalog_of(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        CatalogEntry* head = catalog_parse(text.data(), static_cast<std::int64_t>(text.size()),
                                           "game", "http://127.0.0.1/q");
        benchmark::DoNotOptimize(head);
        catalog_free(&head);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CatalogParseAndFree)->Arg(10000)->Unit(benchmark::kMillisecond);

} // namespace
