// Memory of devices that pass by: ten scans through one adapter, each of 2,700 devices that join the world
// during the scan and leave it after, 27,000 in all. What the library keeps of devices gone for good shows as
// resident memory growing scan after scan; what it releases is reused by the next scan's devices.
//
// Figures: resident set size before the first scan, after the first and after the last, and the growth from
// the first to the last per device seen meanwhile.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "../test/support/AdapterHarness.h"

namespace {

using namespace adapter_test;

constexpr unsigned kScans = 10;
constexpr unsigned kDevicesPerScan = 2700;
constexpr unsigned kIntervalMs = 50;

double rss_mb() {
    long pages = 0, resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(statm);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

platform::sim::PeripheralConfig passer(unsigned n) {
    auto config = device(device_id(n), kIntervalMs);
    config.advertising.tx_power = 4;
    config.advertising.manufacturer_data = std::string("\x4c\x00\x02\x15\x01\x02\x03\x04", 8);
    config.advertising.service_uuids = std::vector<std::string>{"180D"};
    return config;
}

void BM_PassingDevices(benchmark::State& state) {
    reset_world({});
    auto& world = platform::sim::World::get();
    double before = 0, after_first = 0, after = 0;
    for (auto _ : state) {
        auto adapter = the_adapter();
        std::atomic<unsigned> found{0};
        adapter.set_callback_on_scan_found([&](Tavrin::Peripheral) { found.fetch_add(1, std::memory_order_relaxed); });
        before = rss_mb();
        unsigned next = 0;
        for (unsigned scan = 0; scan < kScans; ++scan) {
            found = 0;
            adapter.scan_start();
            const unsigned first = next;
            for (unsigned i = 0; i < kDevicesPerScan; ++i) {
                world.addPeripheral(passer(next++));
            }
            if (!eventually([&] { return found.load() == kDevicesPerScan; }, 30s)) {
                state.SkipWithError("not every device was found");
                return;
            }
            adapter.scan_stop();
            drain(adapter);
            for (unsigned n = first; n < next; ++n) {
                world.removePeripheral(device_id(n));
            }
            drain(adapter);
            if (scan == 0) {
                after_first = rss_mb();
            }
        }
        after = rss_mb();
        adapter.set_callback_on_scan_found({});
    }
    state.counters["devices"] = kScans * kDevicesPerScan;
    state.counters["rss_mb_before"] = before;
    state.counters["rss_mb_after_first"] = after_first;
    state.counters["rss_mb_after"] = after;
    state.counters["kb_per_device"] = (after - after_first) * 1024.0 / ((kScans - 1) * kDevicesPerScan);
}
BENCHMARK(BM_PassingDevices)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
