// Peripheral stack figures over the simulated radio: read latency against a device that answers at
// once, writes without response against the link's capacity, notification throughput, and connection
// with full discovery of the default world's plug.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../test/support/PeripheralHarness.h"

namespace {

using namespace peripheral_test;
using Milliseconds = std::chrono::duration<double, std::milli>;

platform::sim::PeripheralConfig instant_device() {
    auto device = test_device();
    device.latency_ms = 0;
    return device;
}

// 200 reads, one after the other; each should end within one poll step of its answer.
void BM_ReadLatency(benchmark::State& state) {
    PeripheralHarness harness(world_of({instant_device()}));
    harness.base().connect();
    std::vector<double> samples;
    for (auto _ : state) {
        samples.clear();
        for (int i = 0; i < 200; ++i) {
            const auto start = Clock::now();
            benchmark::DoNotOptimize(harness.base().read(kService, kValueChar));
            samples.push_back(Milliseconds(Clock::now() - start).count());
        }
    }
    std::sort(samples.begin(), samples.end());
    state.counters["median_ms"] = samples[samples.size() / 2];
    state.counters["p99_ms"] = samples[samples.size() * 99 / 100];
    state.counters["max_ms"] = samples.back();
}
BENCHMARK(BM_ReadLatency)->Iterations(1)->Unit(benchmark::kMillisecond);

// 10,000 maximum-length writes without response in a row: all must arrive, in order, and the link
// should be kept busy.
void BM_WriteCommandThroughput(benchmark::State& state) {
    constexpr int kWrites = 10000;
    auto device = instant_device();
    device.connection.interval_ms = 4;
    device.connection.packets_per_interval = 4;
    const double capacity_per_s = 1000.0 * device.connection.packets_per_interval / device.connection.interval_ms;
    PeripheralHarness harness(world_of({device}));
    harness.base().connect();
    const size_t length = harness.base().mtu();

    double seconds = 0;
    bool in_order = true;
    size_t received = 0;
    for (auto _ : state) {
        harness.world().clearReceivedWrites(kDevice);
        const auto start = Clock::now();
        for (int i = 0; i < kWrites; ++i) {
            std::string payload(length, '\0');
            payload[0] = static_cast<char>(i & 0xFF);
            payload[1] = static_cast<char>((i >> 8) & 0xFF);
            harness.base().write_command(kService, kCommandChar, payload);
        }
        eventually([&] { return harness.world().receivedWrites(kDevice).size() >= kWrites; }, 30s);
        seconds = std::chrono::duration<double>(Clock::now() - start).count();

        const auto writes = harness.world().receivedWrites(kDevice);
        received = writes.size();
        for (size_t i = 0; i < writes.size(); ++i) {
            const auto& data = writes[i].data;
            const size_t index = static_cast<unsigned char>(data[0]) | (static_cast<unsigned char>(data[1]) << 8);
            in_order = in_order && data.size() == length && index == i;
        }
    }
    state.counters["received"] = static_cast<double>(received);
    state.counters["in_order"] = in_order ? 1 : 0;
    state.counters["writes_per_s"] = kWrites / seconds;
    state.counters["link_capacity_per_s"] = capacity_per_s;
    state.counters["of_capacity"] = kWrites / seconds / capacity_per_s;
    state.counters["write_bytes"] = static_cast<double>(length);
}
BENCHMARK(BM_WriteCommandThroughput)->Iterations(1)->Unit(benchmark::kMillisecond);

// Values reaching a counting callback on one subscription, end to end through the platform.
void BM_NotificationThroughput(benchmark::State& state) {
    constexpr long kValues = 200000;
    PeripheralHarness harness(world_of({instant_device()}));
    harness.base().connect();
    std::atomic<long> count{0};
    harness.base().notify(kService, kValueChar,
                          [&count](std::string) { count.fetch_add(1, std::memory_order_relaxed); });

    double seconds = 0;
    for (auto _ : state) {
        count = 0;
        const auto start = Clock::now();
        for (long i = 0; i < kValues; ++i) {
            harness.world().notify(kDevice, kService, kValueChar, std::string("\x01\x02", 2));
        }
        eventually([&] { return count.load() >= kValues; }, 60s);
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
    }
    state.counters["delivered"] = static_cast<double>(count.load());
    state.counters["values_per_s"] = static_cast<double>(count.load()) / seconds;
}
BENCHMARK(BM_NotificationThroughput)->Iterations(1)->Unit(benchmark::kMillisecond);

// The library's own share of one value: the delegate's value-update callback, from the record lookup
// to the caller's callback, called directly with a platform characteristic.
void BM_NotificationLibraryCost(benchmark::State& state) {
    PeripheralHarness harness(world_of({instant_device()}), Build::DelegateOnly);
    auto& delegate = harness.delegate();
    delegate.connect();
    long count = 0;
    delegate.notify(kService, kValueChar, [&count](std::string value) { count += static_cast<long>(value.size()); });
    const auto characteristic = delegate.findServiceAndCharacteristic(kService, kValueChar).second;
    for (auto _ : state) {
        delegate.peripheralDidUpdateValueForCharacteristic(harness.peripheral(), characteristic, nullptr);
    }
    benchmark::DoNotOptimize(count);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NotificationLibraryCost)->Unit(benchmark::kNanosecond);

// The same connection and discovery as the library makes (connect, services, each service's
// characteristics, each characteristic's descriptors, one request at a time), made straight on the
// platform by a delegate that only wakes the caller: what the world's answers take by themselves.
class Stepper : public platform::CBCentralManagerDelegate, public platform::CBPeripheralDelegate {
  public:
    void centralManagerDidUpdateState(platform::CBCentralManager&) override {}
    void centralManagerDidDiscoverPeripheral(platform::CBCentralManager&, const platform::CBPeripheralPtr& p,
                                             const platform::AdvertisementData&, int) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (p->identifier().UUIDString() == wanted_) {
            found_ = p;
        }
    }
    void centralManagerDidConnectPeripheral(platform::CBCentralManager&, const platform::CBPeripheralPtr&) override {
        step();
    }
    void centralManagerDidDisconnectPeripheral(platform::CBCentralManager&, const platform::CBPeripheralPtr&,
                                               const platform::NSError*) override {
        step();
    }
    void peripheralDidDiscoverServices(const platform::CBPeripheralPtr&, const platform::NSError*) override { step(); }
    void peripheralDidDiscoverCharacteristicsForService(const platform::CBPeripheralPtr&, const platform::CBServicePtr&,
                                                        const platform::NSError*) override {
        step();
    }
    void peripheralDidDiscoverDescriptorsForCharacteristic(const platform::CBPeripheralPtr&,
                                                           const platform::CBCharacteristicPtr&,
                                                           const platform::NSError*) override {
        step();
    }

    /// Runs `request` and waits for the event that answers it.
    template <typename Request>
    bool answer(Request request) {
        std::unique_lock<std::mutex> lock(mutex_);
        const unsigned before = steps_;
        lock.unlock();
        request();
        lock.lock();
        return stepped_.wait_for(lock, std::chrono::seconds(5), [&] { return steps_ != before; });
    }

    explicit Stepper(std::string wanted) : wanted_(std::move(wanted)) {}
    platform::CBPeripheralPtr found() {
        std::lock_guard<std::mutex> lock(mutex_);
        return found_;
    }

  private:
    void step() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++steps_;
        }
        stepped_.notify_all();
    }
    const std::string wanted_;
    std::mutex mutex_;
    std::condition_variable stepped_;
    unsigned steps_ = 0;               // guarded by mutex_
    platform::CBPeripheralPtr found_;  // guarded by mutex_
};

// Connect plus full discovery of the default world's plug, 20 times: through the library (connect()
// discovers everything), and through the platform alone. "library_own_ms" is the difference of the
// medians: the library's own time over the world's answer latencies.
void BM_ConnectAndDiscover(benchmark::State& state) {
    constexpr int kRounds = 20;
    const std::string plug = "C3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13";
    auto world = platform::sim::parseWorld(platform::sim::defaultWorldJson(), "<default world>");
    std::vector<double> library, platform_only;
    for (auto _ : state) {
        {
            PeripheralHarness harness(world, Build::Backend, plug);
            for (int i = 0; i < kRounds; ++i) {
                const auto start = Clock::now();
                harness.base().connect();
                library.push_back(Milliseconds(Clock::now() - start).count());
                harness.base().disconnect();
            }
        }
        platform::sim::World::get().reset(world);
        auto stepper = std::make_shared<Stepper>(plug);
        auto queue = platform::dispatch_queue_create("bench.stepper", platform::DISPATCH_QUEUE_SERIAL);
        auto central = platform::CBCentralManager::initWithDelegate(stepper, queue, std::nullopt);
        if (!eventually([&] { return central->state() == platform::CBManagerState::PoweredOn; })) {
            state.SkipWithError("the simulated radio did not power on");
            return;
        }
        central->scanForPeripherals(std::nullopt, {});
        if (!eventually([&] { return stepper->found() != nullptr; })) {
            state.SkipWithError("the plug was not found");
            return;
        }
        central->stopScan();
        const platform::CBPeripheralPtr p = stepper->found();
        p->setDelegate(stepper);
        for (int i = 0; i < kRounds; ++i) {
            const auto start = Clock::now();
            bool ok = stepper->answer([&] { central->connectPeripheral(p, {}); }) &&
                      stepper->answer([&] { p->discoverServices(std::nullopt); });
            for (const auto& service : p->services().value_or(std::vector<platform::CBServicePtr>{})) {
                ok = ok && stepper->answer([&] { p->discoverCharacteristics(std::nullopt, service); });
                for (const auto& c :
                     service->characteristics().value_or(std::vector<platform::CBCharacteristicPtr>{})) {
                    ok = ok && stepper->answer([&] { p->discoverDescriptors(c); });
                }
            }
            platform_only.push_back(Milliseconds(Clock::now() - start).count());
            ok = ok && stepper->answer([&] { central->cancelPeripheralConnection(p); });
            if (!ok) {
                state.SkipWithError("the plug did not answer");
                return;
            }
        }
        central.reset();
    }
    std::sort(library.begin(), library.end());
    std::sort(platform_only.begin(), platform_only.end());
    const double library_ms = library[library.size() / 2];
    const double platform_ms = platform_only[platform_only.size() / 2];
    state.counters["library_ms"] = library_ms;
    state.counters["platform_ms"] = platform_ms;
    state.counters["library_own_ms"] = library_ms - platform_ms;
}
BENCHMARK(BM_ConnectAndDiscover)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
