// One side of the peer race: the scenario of bench/compare_peers/run, driven through Tavrin's public API
// against whatever radio the environment chooses (the race runs it through BlueZ on a private bus).
// Prints one JSON object with the figures.
//
//   compare_peers_tavrin <plug address> [notifications [scan ms]]

#include <tavrin/Tavrin.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kPlugService = "fb1e4001-54ae-4a28-9f74-dfccb248601d";
const std::string kCommand = "fb1e4002-54ae-4a28-9f74-dfccb248601d";
const std::string kStatus = "fb1e4003-54ae-4a28-9f74-dfccb248601d";
const std::string kCounterService = "fb1e5001-54ae-4a28-9f74-dfccb248601d";
const std::string kCounter = "fb1e5002-54ae-4a28-9f74-dfccb248601d";

using Clock = std::chrono::steady_clock;

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double percentile(std::vector<double> samples, double p) {
    std::sort(samples.begin(), samples.end());
    const size_t index = static_cast<size_t>(p * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[index];
}

uint32_t counter_of(const std::string& value) {
    uint32_t n = 0;
    for (size_t i = 0; i < value.size() && i < 4; ++i) {
        n |= static_cast<uint32_t>(static_cast<unsigned char>(value[i])) << (8 * i);
    }
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <plug address> [notifications [scan ms]]\n", argv[0]);
        return 2;
    }
    const std::string plug_address = argv[1];
    const long wanted_notifications = argc > 2 ? std::stol(argv[2]) : 10000;
    // A longer scan gives a profiler enough samples; the race itself scans for 2 s.
    const long scan_ms = argc > 3 ? std::stol(argv[3]) : 2000;

    Tavrin::Adapter adapter = Tavrin::Adapter::get_adapters().front();

    // Scan: every advertisement reaches a counting callback.
    std::atomic<long> advertisements{0};
    adapter.set_callback_on_scan_found([&](Tavrin::Peripheral) { advertisements.fetch_add(1); });
    adapter.set_callback_on_scan_updated([&](Tavrin::Peripheral) { advertisements.fetch_add(1); });
    const double scan_cpu_start = cpu_seconds();
    adapter.scan_for(scan_ms);
    const double scan_cpu = cpu_seconds() - scan_cpu_start;
    adapter.set_callback_on_scan_found(nullptr);
    adapter.set_callback_on_scan_updated(nullptr);

    Tavrin::Peripheral plug;
    auto results = adapter.scan_get_results();
    for (Tavrin::Peripheral& peripheral : results) {
        if (peripheral.address() == plug_address) {
            plug = peripheral;
        }
    }
    if (!plug.initialized()) {
        std::fprintf(stderr, "the plug %s was not found\n", plug_address.c_str());
        return 1;
    }

    // The end of the scan settles first (bluetoothd drops every device's RSSI), so that only the connection is timed.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto start = Clock::now();
    plug.connect();
    const double connect_ms = ms_since(start);

    std::vector<double> reads, writes;
    for (int i = 0; i < 200; ++i) {
        start = Clock::now();
        plug.read(kPlugService, kStatus);
        reads.push_back(ms_since(start));
    }
    const std::string off = std::string("\t") + R"({"mode":3,"switch":0})";
    for (int i = 0; i < 200; ++i) {
        start = Clock::now();
        plug.write_request(kPlugService, kCommand, off);
        writes.push_back(ms_since(start));
    }

    // Notifications: a counter every millisecond; gaps in the counter are values lost.
    std::mutex mutex;
    std::condition_variable done;
    long received = 0;
    uint32_t first = 0, last = 0;
    double notify_cpu_start = 0;
    plug.notify(kCounterService, kCounter, [&](std::string value) {
        std::lock_guard<std::mutex> lock(mutex);
        const uint32_t n = counter_of(value);
        if (received == 0) {
            first = n;
        }
        last = n;
        if (++received == wanted_notifications) {
            done.notify_all();
        }
    });
    notify_cpu_start = cpu_seconds();
    {
        std::unique_lock<std::mutex> lock(mutex);
        done.wait_for(lock, std::chrono::seconds(60), [&] { return received >= wanted_notifications; });
    }
    const double notify_cpu = cpu_seconds() - notify_cpu_start;
    plug.unsubscribe(kCounterService, kCounter);
    long values = 0, lost = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        values = received;
        lost = received == 0 ? wanted_notifications : static_cast<long>(last - first + 1) - received;
    }
    plug.disconnect();

    std::printf(
        "{\"scan_advertisements\": %ld, \"scan_devices\": %zu, \"scan_cpu_us_per_advertisement\": %.3f, "
        "\"connect_discovery_ms\": %.3f, \"read_median_ms\": %.3f, \"read_p99_ms\": %.3f, "
        "\"write_median_ms\": %.3f, \"write_p99_ms\": %.3f, \"notifications\": %ld, \"notifications_lost\": %ld, "
        "\"notify_cpu_us_per_value\": %.3f}\n",
        advertisements.load(), results.size(),
        advertisements.load() ? scan_cpu * 1e6 / static_cast<double>(advertisements.load()) : 0.0, connect_ms,
        percentile(reads, 0.5), percentile(reads, 0.99), percentile(writes, 0.5), percentile(writes, 0.99), values,
        lost, values ? notify_cpu * 1e6 / static_cast<double>(values) : 0.0);
    return 0;
}
