// The scan path, from the platform's discovery event to the caller's updated callback, with 10,000
// devices advertising; and the memory the adapter holds per registered peripheral.
//
// The library's own cost is the process CPU time per advertisement with the adapter, minus the same
// with a bare counting delegate over the same simulated radio (what the radio costs by itself).
// BM_ScanPathDirect measures the library alone, replaying advertisements straight into the delegate.

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../test/support/AdapterHarness.h"
#include "backends/macos/AdapterBaseMacOS.h"

// Live heap bytes of this process, counted by the replaced global allocation functions.
namespace {
std::atomic<long long> g_live_bytes{0};
}

void* operator new(std::size_t size) {
    void* p = std::malloc(size ? size : 1);
    if (!p) {
        throw std::bad_alloc();
    }
    g_live_bytes.fetch_add(static_cast<long long>(malloc_usable_size(p)), std::memory_order_relaxed);
    return p;
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
// GCC cannot see that these pair with the malloc above.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept {
    if (p) {
        g_live_bytes.fetch_sub(static_cast<long long>(malloc_usable_size(p)), std::memory_order_relaxed);
        std::free(p);
    }
}
void operator delete[](void* p) noexcept {
    operator delete(p);
}
void operator delete(void* p, std::size_t) noexcept {
    operator delete(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    operator delete(p);
}

namespace {

using namespace adapter_test;

constexpr unsigned kDevices = 10000;
constexpr unsigned kIntervalMs = 200;  // 50,000 advertisements offered per second
constexpr auto kWindow = std::chrono::seconds(3);

void reset_dense_world() {
    std::vector<platform::sim::PeripheralConfig> devices;
    devices.reserve(kDevices);
    for (unsigned i = 0; i < kDevices; ++i) {
        auto config = device(device_id(i), kIntervalMs);
        config.advertising.tx_power = 4;
        config.advertising.manufacturer_data = std::string("\x4c\x00\x02\x15\x01\x02\x03\x04", 8);
        config.advertising.service_uuids = std::vector<std::string>{"180D"};
        devices.push_back(std::move(config));
    }
    reset_world(std::move(devices));
}

double process_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

/// The radio by itself: counts advertisements and keeps each peripheral once, as any delegate must.
class CountingDelegate : public platform::CBCentralManagerDelegate {
  public:
    void centralManagerDidUpdateState(platform::CBCentralManager&) override {}
    void centralManagerDidDiscoverPeripheral(platform::CBCentralManager&, const platform::CBPeripheralPtr& peripheral,
                                             const platform::AdvertisementData&, int) override {
        if (seen_.size() < kDevices && seen_.insert(peripheral.get()).second) {
            first_sightings.fetch_add(1, std::memory_order_relaxed);
        }
        advertisements.fetch_add(1, std::memory_order_relaxed);
    }
    std::atomic<uint64_t> advertisements{0};
    std::atomic<uint64_t> first_sightings{0};

  private:
    std::set<void*> seen_;  // event queue only
};

struct RadioFigures {
    double per_second = 0;
    double cpu_ns_per_advertisement = 0;
    double bytes_per_peripheral = 0;
};
RadioFigures g_bare;

/// Waits until every device has been seen once, then measures a window of steady scanning.
template <typename Count>
RadioFigures measure_window(Count count) {
    const uint64_t n0 = count();
    const double cpu0 = process_cpu_seconds();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(kWindow);
    const uint64_t n1 = count();
    const double cpu1 = process_cpu_seconds();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    RadioFigures figures;
    const double n = static_cast<double>(n1 - n0);
    figures.per_second = n / seconds;
    figures.cpu_ns_per_advertisement = n > 0 ? (cpu1 - cpu0) * 1e9 / n : 0;
    return figures;
}

void BM_ScanPathRadioOnly(benchmark::State& state) {
    reset_dense_world();
    for (auto _ : state) {
        const long long bytes0 = g_live_bytes.load();
        auto delegate = std::make_shared<CountingDelegate>();
        auto queue = platform::dispatch_queue_create(
            "bench.centralManagerQueue",
            platform::dispatch_queue_attr_make_with_qos_class(
                platform::DISPATCH_QUEUE_SERIAL, platform::dispatch_qos_class_t::QOS_CLASS_USER_INITIATED, -1));
        auto manager = platform::CBCentralManager::initWithDelegate(delegate, queue, std::nullopt);
        eventually([&] { return manager->state() == platform::CBManagerState::PoweredOn; });
        manager->scanForPeripherals(std::nullopt, {{platform::CBCentralManagerScanOptionAllowDuplicatesKey, true}});
        if (!eventually([&] { return delegate->first_sightings.load() == kDevices; }, 30s)) {
            state.SkipWithError("not every device was seen");
            return;
        }
        g_bare = measure_window([&] { return delegate->advertisements.load(); });
        manager->stopScan();
        queue->sync([] {});
        g_bare.bytes_per_peripheral = static_cast<double>(g_live_bytes.load() - bytes0) / kDevices;
        manager.reset();
        queue.reset();
    }
    state.counters["adv_per_s"] = g_bare.per_second;
    state.counters["cpu_ns_per_adv"] = g_bare.cpu_ns_per_advertisement;
    state.counters["bytes_per_peripheral"] = g_bare.bytes_per_peripheral;
}
BENCHMARK(BM_ScanPathRadioOnly)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ScanPathAdapter(benchmark::State& state) {
    reset_dense_world();
    RadioFigures figures;
    for (auto _ : state) {
        const long long bytes0 = g_live_bytes.load();
        std::atomic<uint64_t> found{0}, updated{0};
        auto adapter = the_adapter();
        adapter.set_callback_on_scan_found([&](Tavrin::Peripheral) { found.fetch_add(1, std::memory_order_relaxed); });
        adapter.set_callback_on_scan_updated(
            [&](Tavrin::Peripheral) { updated.fetch_add(1, std::memory_order_relaxed); });
        adapter.scan_start();
        if (!eventually([&] { return found.load() == kDevices; }, 30s)) {
            state.SkipWithError("not every device was found");
            return;
        }
        figures = measure_window([&] { return found.load() + updated.load(); });
        adapter.scan_stop();
        drain(adapter);
        figures.bytes_per_peripheral = static_cast<double>(g_live_bytes.load() - bytes0) / kDevices;
        adapter.set_callback_on_scan_found({});
        adapter.set_callback_on_scan_updated({});
    }
    state.counters["adv_per_s"] = figures.per_second;
    state.counters["cpu_ns_per_adv"] = figures.cpu_ns_per_advertisement;
    state.counters["library_ns_per_adv"] = figures.cpu_ns_per_advertisement - g_bare.cpu_ns_per_advertisement;
    // What the adapter holds beyond the platform's own peripheral objects (counted in the bare run).
    state.counters["library_bytes_per_peripheral"] = figures.bytes_per_peripheral - g_bare.bytes_per_peripheral;
    state.counters["bytes_per_peripheral"] = figures.bytes_per_peripheral;
}
BENCHMARK(BM_ScanPathAdapter)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

/// The library alone: advertisements of 10,000 registered peripherals replayed into a delegate on
/// this thread, each one building the record and reaching the caller's updated callback.
void BM_ScanPathDirect(benchmark::State& state) {
    reset_dense_world();
    std::atomic<uint64_t> found{0};
    uint64_t updated = 0;
    auto adapter = the_adapter();
    adapter.set_callback_on_scan_found([&](Tavrin::Peripheral) { found.fetch_add(1, std::memory_order_relaxed); });
    adapter.scan_start();
    if (!eventually([&] { return found.load() == kDevices; }, 30s)) {
        state.SkipWithError("not every device was found");
        return;
    }
    adapter.scan_stop();
    drain(adapter);
    adapter.set_callback_on_scan_updated([&](Tavrin::Peripheral) { ++updated; });

    std::vector<platform::CBPeripheralPtr> peripherals;
    for (auto& p : adapter.scan_get_results()) {
        peripherals.push_back(static_cast<platform::CBPeripheral*>(p.underlying())->shared_from_this());
    }
    platform::AdvertisementData advertisement;
    advertisement.isConnectable = true;
    advertisement.txPowerLevel = 4;
    advertisement.manufacturerData = std::string("\x4c\x00\x02\x15\x01\x02\x03\x04", 8);
    advertisement.serviceUUIDs = std::vector<platform::CBUUID>{platform::CBUUID::UUIDWithString("180D")};
    // A second delegate feeding the same adapter; the adapter's own queue is idle (no scan).
    const auto delegate = Tavrin::AdapterBaseMacOS::init(AdapterPeek(adapter).backend());
    auto& manager = *static_cast<platform::CBCentralManager*>(adapter.underlying());

    size_t i = 0;
    for (auto _ : state) {
        delegate->centralManagerDidDiscoverPeripheral(manager, peripherals[i], advertisement, -50);
        if (++i == peripherals.size()) {
            i = 0;
        }
    }
    state.counters["updated_calls"] = static_cast<double>(updated);
    adapter.set_callback_on_scan_found({});
    adapter.set_callback_on_scan_updated({});
}
BENCHMARK(BM_ScanPathDirect)->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();
