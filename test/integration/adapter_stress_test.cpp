// 1,000 devices advertising every 20 ms while two threads start and stop scans, read results and
// swap callbacks, and the callbacks read results themselves. Afterwards one quiet scan must still
// find every device exactly once, as the same backend objects. TAVRIN_STRESS_SECONDS sets the
// duration (default 10).

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <set>

#include "support/AdapterHarness.h"

namespace adapter_test {
namespace {

constexpr unsigned kDevices = 1000;

std::chrono::milliseconds stress_duration() {
    const char* text = std::getenv("TAVRIN_STRESS_SECONDS");
    const double seconds = text ? std::atof(text) : 10.0;
    return std::chrono::milliseconds(static_cast<long long>((seconds > 0 ? seconds : 10.0) * 1000));
}

TEST(AdapterStress, ScansResultsAndCallbacksFromTwoThreadsWhileDevicesAdvertise) {
    std::vector<platform::sim::PeripheralConfig> devices;
    for (unsigned i = 0; i < kDevices; ++i) {
        devices.push_back(device(device_id(1000 + i), 20));
    }
    reset_world(std::move(devices));
    LogCapture log;  // keeps the records of the throwing callbacks off standard output

    auto adapter = the_adapter();
    auto* self = &adapter;
    // Address -> backend object, first seen anywhere; every later sighting must be the same object.
    std::mutex identity_mutex;
    std::map<std::string, Tavrin::PeripheralBase*> identity;  // guarded by identity_mutex
    std::atomic<size_t> identity_errors{0}, callback_calls{0};
    auto check_identity = [&](const Tavrin::Peripheral& p) {
        const std::string address = Tavrin::Peripheral(p).address();
        std::lock_guard<std::mutex> lock(identity_mutex);
        const auto [it, inserted] = identity.emplace(address, backend_of(p));
        if (!inserted && it->second != backend_of(p)) {
            ++identity_errors;
        }
    };
    auto install = [&, self](int variant) {
        self->set_callback_on_scan_found([&, self, variant](Tavrin::Peripheral p) {
            check_identity(p);
            if (++callback_calls % 97 == 0) {
                (void)self->scan_get_results();
            }
            if (variant == 1 && callback_calls % 53 == 0) {
                throw std::runtime_error("found");
            }
        });
        self->set_callback_on_scan_updated([&, self, variant](Tavrin::Peripheral p) {
            if (++callback_calls % 101 == 0) {
                check_identity(p);
                (void)self->scan_get_results();
            }
            if (variant == 2 && callback_calls % 59 == 0) {
                throw 1;
            }
        });
    };
    install(0);

    const auto deadline = Clock::now() + stress_duration();
    std::atomic<size_t> scans{0}, swaps{0}, reads{0};
    std::thread scanner([&] {
        std::mt19937 random(1);
        while (Clock::now() < deadline) {
            self->scan_start();
            ++scans;
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 60));
            if (random() % 4 != 0) {
                self->scan_stop();
            }
        }
    });
    std::thread fiddler([&] {
        std::mt19937 random(2);
        while (Clock::now() < deadline) {
            switch (random() % 5) {
                case 0:
                    install(static_cast<int>(random() % 3));
                    ++swaps;
                    break;
                case 1:
                    self->set_callback_on_scan_updated({});
                    ++swaps;
                    break;
                case 2:
                    self->scan_start();
                    ++scans;
                    break;
                default:
                    for (const auto& p : self->scan_get_results()) {
                        check_identity(p);
                    }
                    ++reads;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 5));
        }
    });
    scanner.join();
    fiddler.join();
    adapter.scan_stop();
    drain(adapter);
    std::printf("stress: %zu scans, %zu swaps, %zu reads, %zu callback calls\n", scans.load(), swaps.load(),
                reads.load(), callback_calls.load());
    EXPECT_GT(scans.load(), 10u);
    EXPECT_GT(swaps.load(), 10u);
    EXPECT_GT(reads.load(), 10u);
    EXPECT_GT(callback_calls.load(), 1000u);
    EXPECT_EQ(identity_errors.load(), 0u);

    // A quiet scan: every device found exactly once, as the object it was before.
    ScanRecorder recorder;
    recorder.install(adapter);
    adapter.scan_start();
    const bool all = eventually([&] { return recorder.distinct_found() == kDevices; }, 20s);
    ASSERT_TRUE(eventually([&] { return recorder.updated(device_id(1000)) >= 1; }, 5s));
    adapter.scan_stop();
    drain(adapter);
    ASSERT_TRUE(all) << recorder.distinct_found();
    EXPECT_EQ(recorder.total_found(), static_cast<size_t>(kDevices));
    const auto results = adapter.scan_get_results();
    EXPECT_EQ(results.size(), static_cast<size_t>(kDevices));
    for (const auto& p : results) {
        check_identity(p);
    }
    EXPECT_EQ(identity_errors.load(), 0u);
    std::lock_guard<std::mutex> lock(identity_mutex);
    EXPECT_EQ(identity.size(), static_cast<size_t>(kDevices));
}

}  // namespace
}  // namespace adapter_test
