// The simulated radio's own throughput, so that it is never what limits a library benchmark:
// advertisements delivered to a counting delegate, and a notification stream on one link.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/CoreBluetooth.h"
#include "platform/sim/World.h"

namespace {

using namespace platform;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Counter : CBCentralManagerDelegate, CBPeripheralDelegate {
    std::atomic<uint64_t> adverts{0};
    std::atomic<uint64_t> values{0};
    std::atomic<bool> connected{false};
    void centralManagerDidUpdateState(CBCentralManager&) override {}
    void centralManagerDidDiscoverPeripheral(CBCentralManager&, const CBPeripheralPtr&, const AdvertisementData&,
                                             int) override {
        adverts.fetch_add(1, std::memory_order_relaxed);
    }
    void centralManagerDidConnectPeripheral(CBCentralManager&, const CBPeripheralPtr&) override { connected = true; }
    void peripheralDidUpdateValueForCharacteristic(const CBPeripheralPtr&, const CBCharacteristicPtr&,
                                                   const NSError*) override {
        values.fetch_add(1, std::memory_order_relaxed);
    }
};

template <typename F>
bool waitFor(F condition, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

sim::WorldConfig advertisers(int count, unsigned interval_ms) {
    sim::WorldConfig w;
    w.adapter.state_delay_ms = 1;
    for (int i = 0; i < count; ++i) {
        sim::PeripheralConfig p;
        char id[37];
        std::snprintf(id, sizeof id, "%08X-5A5A-4000-8000-00000000%04X", static_cast<unsigned>(i),
                      static_cast<unsigned>(i & 0xFFFF));
        p.identifier = id;
        p.name = "Bench";
        p.advertising.interval_ms = interval_ms;
        p.advertising.connectable = true;
        p.advertising.tx_power = 4;
        p.advertising.service_uuids = std::vector<std::string>{"180D"};
        w.peripherals.push_back(std::move(p));
    }
    return w;
}

// Advertisements of `devices` devices every `interval` ms, with duplicates, counted over one second of a
// running scan. "events/s" is what the counting delegate received, "demanded/s" what the devices send, and
// "radio_cpu" the CPU seconds the whole process (radio thread and queue) spent per second.
void BM_Advertisements(benchmark::State& state) {
    const int devices = static_cast<int>(state.range(0));
    const auto interval = static_cast<unsigned>(state.range(1));
    sim::World::get().reset(advertisers(devices, interval));
    auto counter = std::make_shared<Counter>();
    auto queue = dispatch_queue_create("bench.adverts", DISPATCH_QUEUE_SERIAL);
    auto central = CBCentralManager::initWithDelegate(counter, queue, std::nullopt);
    waitFor([&] { return central->state() == CBManagerState::PoweredOn; }, 1000ms);

    uint64_t events = 0;
    double seconds = 0, cpu = 0;
    for (auto _ : state) {
        central->scanForPeripherals(std::nullopt, {{CBCentralManagerScanOptionAllowDuplicatesKey, true}});
        std::this_thread::sleep_for(200ms);  // past every device's first phase: the steady rate
        const uint64_t before = counter->adverts.load();
        const double cpu0 = cpuSeconds();
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(1s);
        const uint64_t after = counter->adverts.load();
        const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
        cpu += cpuSeconds() - cpu0;
        central->stopScan();
        state.SetIterationTime(elapsed);
        events += after - before;
        seconds += elapsed;
    }
    state.counters["events/s"] = benchmark::Counter(static_cast<double>(events) / seconds);
    state.counters["demanded/s"] = benchmark::Counter(devices * 1000.0 / interval);
    state.counters["radio_cpu"] = benchmark::Counter(cpu / seconds);
    central.reset();
}
// The figure asked for: 10,000 devices at 20 ms. Then 10,000 devices at 2 ms, to show the radio's capacity.
BENCHMARK(BM_Advertisements)
    ->Args({10000, 20})
    ->Args({10000, 2})
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// One link subscribed to one characteristic; World::notify in a tight loop. "values/s" counts values
// from the first notification sent until the delegate has received the last.
void BM_NotificationStream(benchmark::State& state) {
    const std::string id = "B0B0B0B0-0000-4000-8000-000000000001";
    sim::WorldConfig w;
    w.adapter.state_delay_ms = 1;
    sim::PeripheralConfig p;
    p.identifier = id;
    p.latency_ms = 1;
    p.advertising.interval_ms = 1;
    p.connection.delay_ms = 1;
    sim::ServiceConfig s;
    s.uuid = "180D";
    sim::CharacteristicConfig c;
    c.uuid = "2A37";
    c.properties = CBCharacteristicPropertyNotify;
    s.characteristics = {c};
    p.services = {s};
    w.peripherals = {p};
    sim::World::get().reset(w);

    // Counts values and keeps the peripheral its first advertisement brings.
    struct Keeper : Counter {
        std::mutex mutex;
        CBPeripheralPtr found;  // guarded by mutex
        void centralManagerDidDiscoverPeripheral(CBCentralManager&, const CBPeripheralPtr& p, const AdvertisementData&,
                                                 int) override {
            std::lock_guard<std::mutex> lock(mutex);
            found = p;
        }
    };
    auto keeper = std::make_shared<Keeper>();
    auto queue = dispatch_queue_create("bench.notify", DISPATCH_QUEUE_SERIAL);
    auto central = CBCentralManager::initWithDelegate(keeper, queue, std::nullopt);
    waitFor([&] { return central->state() == CBManagerState::PoweredOn; }, 1000ms);
    central->scanForPeripherals(std::nullopt, {});
    waitFor(
        [&] {
            std::lock_guard<std::mutex> lock(keeper->mutex);
            return keeper->found != nullptr;
        },
        1000ms);
    central->stopScan();
    CBPeripheralPtr peripheral;
    {
        std::lock_guard<std::mutex> lock(keeper->mutex);
        peripheral = keeper->found;
    }
    if (!peripheral) {
        state.SkipWithError("peripheral not found");
        return;
    }
    peripheral->setDelegate(keeper);
    central->connectPeripheral(peripheral, {});
    waitFor([&] { return keeper->connected.load(); }, 1000ms);
    peripheral->discoverServices(std::nullopt);
    waitFor([&] { return peripheral->services().has_value(); }, 1000ms);
    auto service = peripheral->services()->front();
    peripheral->discoverCharacteristics(std::nullopt, service);
    waitFor([&] { return service->characteristics().has_value(); }, 1000ms);
    auto characteristic = service->characteristics()->front();
    peripheral->setNotifyValue(true, characteristic);
    waitFor([&] { return characteristic->isNotifying(); }, 1000ms);

    constexpr uint64_t kValues = 1'000'000;
    const std::string value("\x00\x48", 2);
    uint64_t total = 0;
    double seconds = 0;
    for (auto _ : state) {
        const uint64_t before = keeper->values.load();
        const auto t0 = Clock::now();
        for (uint64_t i = 0; i < kValues; ++i) {
            sim::World::get().notify(id, "180D", "2A37", value);
        }
        waitFor([&] { return keeper->values.load() - before >= kValues; }, 60s);
        const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
        state.SetIterationTime(elapsed);
        total += keeper->values.load() - before;
        seconds += elapsed;
    }
    state.counters["values/s"] = benchmark::Counter(static_cast<double>(total) / seconds);
    central->cancelPeripheralConnection(peripheral);
}
BENCHMARK(BM_NotificationStream)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
