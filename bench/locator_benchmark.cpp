// Throughput of find_insertion_point over generated tables of ordinary
// 50-byte entries with the usbfs entry last, so the whole table is read.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "locator/find_insertion_point.h"

namespace {

constexpr std::size_t entry_size = 50;

// One ordinary entry of exactly entry_size bytes, its line feed included.
std::string ordinary_entry(std::size_t number) {
    char entry[entry_size + 1];
    const int written =
        std::snprintf(entry, sizeof entry, "UUID=%08zx /srv/volume%06zu ext4 defaults 0 2\n",
                      number * 2654435761U % 0xffffffffU, number % 1000000);
    if (written != static_cast<int>(entry_size)) {
        std::abort();
    }
    return {entry, entry_size};
}

std::string table_of_size(std::size_t size) {
    const std::string usbfs_entry = "none /proc/bus/usb usbfs defaults 0 0\n";
    std::string table;
    table.reserve(size + entry_size);
    for (std::size_t number = 0; table.size() + usbfs_entry.size() < size; ++number) {
        table += ordinary_entry(number);
    }
    table += usbfs_entry;
    return table;
}

void find_insertion_point_in_table(benchmark::State& state) {
    const std::string table = table_of_size(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(find_insertion_point(table));
    }
    if (!find_insertion_point(table)) {
        state.SkipWithError("the generated table has no insertion point");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(table.size()));
}

BENCHMARK(find_insertion_point_in_table)
    ->Arg(std::int64_t{1} << 10)
    ->Arg(std::int64_t{64} << 10)
    ->Arg(std::int64_t{1} << 20)
    ->Arg(std::int64_t{64} << 20);

}  // namespace

BENCHMARK_MAIN();
