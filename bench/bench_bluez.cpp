// The BlueZ radio through tavrin-bluez-sim on a private bus: read latency (median, p99), connect plus full
// discovery of the plug, notifications per second on one subscription and the radio's CPU per notification,
// the delivery latency of a sparse (10/s) and a dense (1,000/s) stream, and a 2 s scan of 200 devices.
#include <benchmark/benchmark.h>
#include <sdbus-c++/sdbus-c++.h>

#include <sys/resource.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BluezFixture.h"
#include "bluez/BluezRadio.h"
#include "platform/Radio.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using platform::CBManagerState;
using platform::NSError;
using platform::radio::AttributeHandle;

const std::string kPlug = "2D:5B:8C:0E:7A:13";

// Counts what the radio reports; waits are bounded.
class Listener : public platform::radio::RadioCentralEvents {
  public:
    void radioStateChanged(CBManagerState state) override {
        update([&] { state_ = state; });
    }
    void radioDiscovered(const std::vector<platform::radio::Sighting>& batch) override {
        update([&] {
            for (const auto& sighting : batch) {
                found_.insert(sighting.report->device);
            }
        });
    }
    void radioConnected(const std::string&) override {
        update([&] { ++connected_; });
    }
    void radioConnectFailed(const std::string&, const NSError&) override {}
    void radioDisconnected(const std::string&, const NSError*) override {
        update([&] { ++disconnected_; });
    }
    void radioNotified(const std::string&, AttributeHandle, const std::string& value) override {
        notifications_.fetch_add(1, std::memory_order_relaxed);
        if (timing_) {
            std::lock_guard<std::mutex> lock(mutex_);
            arrivals_.emplace_back(value, Clock::now());
        }
    }

    template <typename Pred>
    bool waitFor(Pred pred, std::chrono::milliseconds limit = 10s) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return pred(); });
    }

    std::mutex mutex_;  // guards state_, found_, connected_, disconnected_
    std::condition_variable changed_;
    CBManagerState state_ = CBManagerState::Unknown;
    std::set<std::string> found_;
    int connected_ = 0;
    int disconnected_ = 0;
    std::atomic<long> notifications_{0};
    std::atomic<bool> timing_{false};
    std::vector<std::pair<std::string, Clock::time_point>> arrivals_;  // guarded by mutex_, while timing_

  private:
    template <typename F>
    void update(F&& f) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            f();
        }
        changed_.notify_all();
    }
};

// A private bus, the simulator serving `world` on it, and a BlueZ radio session over them.
class Bench {
  public:
    explicit Bench(const std::string& world) {
        char name[] = "/tmp/tavrin-bench-world-XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd >= 0) {
            ::close(fd);
        }
        world_file_ = name;
        std::ofstream(world_file_) << world;
        bus_ = std::make_unique<bluez_test::PrivateBus>();
        address_ = bus_->address();
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_->address().c_str(), 1);
        simulator_ = std::make_unique<bluez_test::SimulatorProcess>(world_file_, bus_->address());
        radio_ = platform::bluez::makeRadio();
        listener_ = std::make_shared<Listener>();
        session_ = radio_->openCentral(listener_);
        ok_ = listener_->waitFor([&] { return listener_->state_ == CBManagerState::PoweredOn; });
    }

    ~Bench() {
        session_->close();
        session_.reset();
        radio_.reset();
        simulator_.reset();
        bus_.reset();
        std::remove(world_file_.c_str());
    }

    bool ok() const { return ok_; }
    const std::string& busAddress() const { return address_; }
    platform::radio::RadioCentral& session() { return *session_; }
    Listener& listener() { return *listener_; }

    bool scanFor(const std::string& device) {
        session_->startScan(std::nullopt, false);
        const bool found = listener_->waitFor([&] { return listener_->found_.count(device) != 0; });
        session_->stopScan();
        return found;
    }

    bool connect(const std::string& device) {
        const int before = listener_->connected_;
        session_->connect(device);
        return listener_->waitFor([&] { return listener_->connected_ > before; });
    }

    bool disconnect(const std::string& device) {
        const int before = listener_->disconnected_;
        session_->cancelConnection(device);
        return listener_->waitFor([&] { return listener_->disconnected_ > before; });
    }

    // The whole tree, stage by stage; returns the characteristic handles by UUID text.
    std::map<std::string, AttributeHandle> discover(const std::string& device) {
        std::map<std::string, AttributeHandle> handles;
        std::promise<std::vector<platform::radio::ServiceInfo>> services;
        session_->discoverServices(device, [&](const NSError*, const auto& list) { services.set_value(list); });
        for (const auto& service : services.get_future().get()) {
            std::promise<std::vector<platform::radio::CharacteristicInfo>> chars;
            session_->discoverCharacteristics(device, service.handle,
                                              [&](const NSError*, const auto& list) { chars.set_value(list); });
            for (const auto& c : chars.get_future().get()) {
                handles[c.uuid.UUIDString()] = c.handle;
                std::promise<void> descriptors;
                session_->discoverDescriptors(device, c.handle,
                                              [&](const NSError*, const auto&) { descriptors.set_value(); });
                descriptors.get_future().wait();
            }
        }
        return handles;
    }

    bool read(const std::string& device, AttributeHandle handle) {
        std::promise<bool> done;
        auto answer = done.get_future();
        session_->readCharacteristic(device, handle,
                                     [&](const NSError* e, const std::string&) { done.set_value(e == nullptr); });
        return answer.wait_for(5s) == std::future_status::ready && answer.get();
    }

  private:
    std::string world_file_;
    std::string address_;
    std::unique_ptr<bluez_test::PrivateBus> bus_;
    std::unique_ptr<bluez_test::SimulatorProcess> simulator_;
    std::unique_ptr<platform::radio::Radio> radio_;
    std::shared_ptr<Listener> listener_;
    std::shared_ptr<platform::radio::RadioCentral> session_;
    bool ok_ = false;
};

std::string plugWorld(const std::string& extra_characteristics = "", const std::string& others = "") {
    return R"({ "peripherals": [ { "identifier": "C3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13", "name": "Tavrin Plug",
        "model": "plug", "mtu": 185, "latency_ms": 0, "advertising": { "interval_ms": 20 },
        "connection": { "delay_ms": 0, "disconnect_delay_ms": 0 }, "services": [ )" +
           extra_characteristics + R"( ] } )" + others + R"( ] })";
}

double percentile(std::vector<double> samples, double p) {
    if (samples.empty()) {
        return 0;
    }
    std::sort(samples.begin(), samples.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1));
    return samples[index];
}

void BM_BluezRead(benchmark::State& state) {
    Bench bench(plugWorld());
    if (!bench.ok() || !bench.scanFor(kPlug) || !bench.connect(kPlug)) {
        state.SkipWithError("the simulator did not serve the plug");
        return;
    }
    const AttributeHandle status = bench.discover(kPlug).at("FB1E4003-54AE-4A28-9F74-DFCCB248601D");
    std::vector<double> micros;
    for (auto _ : state) {
        const auto start = Clock::now();
        if (!bench.read(kPlug, status)) {
            state.SkipWithError("a read failed");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    state.counters["median_us"] = percentile(micros, 0.5);
    state.counters["p99_us"] = percentile(micros, 0.99);
}
BENCHMARK(BM_BluezRead)->Iterations(2000)->Unit(benchmark::kMicrosecond);

void BM_BluezConnectAndDiscover(benchmark::State& state) {
    Bench bench(plugWorld(R"({ "uuid": "180a", "characteristics": [
        { "uuid": "2a29", "properties": ["read"], "value": "546176726e6e204c616273" },
        { "uuid": "2a24", "properties": ["read"], "value": "54502d31" } ] })"));
    if (!bench.ok() || !bench.scanFor(kPlug)) {
        state.SkipWithError("the simulator did not serve the plug");
        return;
    }
    for (auto _ : state) {
        if (!bench.connect(kPlug) || bench.discover(kPlug).size() < 4) {
            state.SkipWithError("connect or discovery failed");
            break;
        }
        state.PauseTiming();
        bench.disconnect(kPlug);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_BluezConnectAndDiscover)->Iterations(50)->Unit(benchmark::kMillisecond);

void BM_BluezNotifications(benchmark::State& state) {
    // A characteristic that notifies every millisecond while subscribed.
    Bench bench(plugWorld(R"({ "uuid": "feed", "characteristics": [ { "uuid": "f00d", "properties": ["notify"],
        "notifications": { "every_ms": 1, "values": ["01", "02", "03"] } } ] })"));
    if (!bench.ok() || !bench.scanFor(kPlug) || !bench.connect(kPlug)) {
        state.SkipWithError("the simulator did not serve the plug");
        return;
    }
    const AttributeHandle handle = bench.discover(kPlug).at("F00D");
    std::promise<void> on;
    bench.session().setNotify(kPlug, handle, true, [&](const NSError*) { on.set_value(); });
    on.get_future().wait();
    long total = 0;
    double seconds = 0;
    double cpu = 0;  // this process's CPU time (the radio and its listener), in microseconds
    const auto cpuNow = [] {
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
    };
    for (auto _ : state) {
        const double cpuBefore = cpuNow();
        const long before = bench.listener().notifications_.load();
        const auto start = Clock::now();
        std::this_thread::sleep_for(1s);
        total += bench.listener().notifications_.load() - before;
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
        cpu += cpuNow() - cpuBefore;
    }
    state.counters["notifications_per_s"] = seconds > 0 ? static_cast<double>(total) / seconds : 0;
    state.counters["cpu_us_per_notification"] = total > 0 ? cpu / static_cast<double>(total) : 0;
}
BENCHMARK(BM_BluezNotifications)->Iterations(3)->Unit(benchmark::kMillisecond);

// Another client on the bus, reading every Value signal as it arrives: when the simulator's notification went out,
// as near as a client can tell.
class SignalClock {
  public:
    explicit SignalClock(const std::string& address)
        : connection_(sdbus::createSessionBusConnectionWithAddress(address)) {
        slot_ = connection_->addMatch(
            "type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
            "arg0='org.bluez.GattCharacteristic1'",
            [this](sdbus::Message& m) {
                const auto now = Clock::now();
                std::string interface;
                std::map<std::string, sdbus::Variant> changed;
                m >> interface >> changed;
                const auto it = changed.find("Value");
                if (it != changed.end()) {
                    const auto bytes = it->second.get<std::vector<uint8_t>>();
                    std::lock_guard<std::mutex> lock(mutex_);
                    sent_[std::string(bytes.begin(), bytes.end())].push_back(now);
                }
            });
        connection_->enterEventLoopAsync();
    }
    ~SignalClock() { connection_->leaveEventLoop(); }

    // The send nearest to an arrival of the same value (values repeat only after a long cycle).
    std::optional<Clock::time_point> sentBefore(const std::string& value, Clock::time_point arrival) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = sent_.find(value);
        if (it == sent_.end()) {
            return std::nullopt;
        }
        std::optional<Clock::time_point> best;
        for (const auto t : it->second) {
            if (!best || std::chrono::abs(arrival - t) < std::chrono::abs(arrival - *best)) {
                best = t;
            }
        }
        return best;
    }

  private:
    std::unique_ptr<sdbus::IConnection> connection_;
    sdbus::Slot slot_;
    std::mutex mutex_;  // guards sent_
    std::map<std::string, std::vector<Clock::time_point>> sent_;
};

// From the simulator's send to the radio's callback, for a stream of `every_ms`, alone or while the central
// scans a beacon that advertises every 20 ms: a sparse stream must not wait for a batch, a dense one may be read
// a few at a time.
void BM_BluezNotificationLatency(benchmark::State& state) {
    const long everyMs = state.range(0);
    const bool scanning = state.range(1) != 0;
    std::string values;
    for (int i = 0; i < 250; ++i) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%s\"%04x\"", i ? ", " : "", i);
        values += hex;
    }
    Bench bench(plugWorld(R"({ "uuid": "feed", "characteristics": [ { "uuid": "f00d", "properties": ["notify"],
        "notifications": { "every_ms": )" +
                              std::to_string(everyMs) + R"(, "values": [)" + values + "] } } ] }",
                          R"(, { "identifier": "B0000000-0000-4000-8000-000000000001", "name": "Beacon",
                              "advertising": { "interval_ms": 20, "rssi": -70 } })"));
    if (!bench.ok() || !bench.scanFor(kPlug) || !bench.connect(kPlug)) {
        state.SkipWithError("the simulator did not serve the plug");
        return;
    }
    const AttributeHandle handle = bench.discover(kPlug).at("F00D");
    SignalClock clock(bench.busAddress());
    std::promise<void> on;
    bench.session().setNotify(kPlug, handle, true, [&](const NSError*) { on.set_value(); });
    on.get_future().wait();
    if (scanning) {
        bench.session().startScan(std::nullopt, true);
    }
    std::vector<double> micros;
    for (auto _ : state) {
        {
            std::lock_guard<std::mutex> lock(bench.listener().mutex_);
            bench.listener().arrivals_.clear();
        }
        bench.listener().timing_ = true;
        std::this_thread::sleep_for(everyMs >= 50 ? 5s : 2s);
        bench.listener().timing_ = false;
        std::this_thread::sleep_for(50ms);  // the clock's last signals
        std::lock_guard<std::mutex> lock(bench.listener().mutex_);
        for (const auto& [value, arrival] : bench.listener().arrivals_) {
            if (const auto sent = clock.sentBefore(value, arrival)) {
                micros.push_back(std::chrono::duration<double, std::micro>(arrival - *sent).count());
            }
        }
    }
    state.counters["samples"] = static_cast<double>(micros.size());
    state.counters["p50_us"] = percentile(micros, 0.5);
    state.counters["p99_us"] = percentile(micros, 0.99);
}
BENCHMARK(BM_BluezNotificationLatency)
    ->ArgNames({"every_ms", "scanning"})
    ->Args({100, 0})
    ->Args({100, 1})
    ->Args({1, 0})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_BluezScan200Devices(benchmark::State& state) {
    std::string world = R"({ "peripherals": [ )";
    for (int i = 0; i < 200; ++i) {
        char identifier[64];
        std::snprintf(identifier, sizeof identifier, "00000000-0000-4000-8000-%012X", 0xA00000 + i);
        world += std::string(i ? ", " : "") + R"({ "identifier": ")" + identifier +
                 R"(", "advertising": { "interval_ms": 100, "rssi": -60 } })";
    }
    world += " ] }";
    Bench bench(world);
    if (!bench.ok()) {
        state.SkipWithError("the simulator did not start");
        return;
    }
    double found_in_2s = 0;
    for (auto _ : state) {
        {
            std::lock_guard<std::mutex> lock(bench.listener().mutex_);
            bench.listener().found_.clear();
        }
        const auto start = Clock::now();
        bench.session().startScan(std::nullopt, false);
        bench.listener().waitFor([&] { return bench.listener().found_.size() >= 200; }, 2s);
        bench.session().stopScan();
        std::lock_guard<std::mutex> lock(bench.listener().mutex_);
        found_in_2s = static_cast<double>(bench.listener().found_.size());
        state.counters["all_found_ms"] =
            found_in_2s >= 200 ? std::chrono::duration<double, std::milli>(Clock::now() - start).count() : -1;
    }
    state.counters["found_in_2s"] = found_in_2s;
}
BENCHMARK(BM_BluezScan200Devices)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
