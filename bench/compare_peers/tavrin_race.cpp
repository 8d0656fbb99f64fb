// One side of the peer race: the scenario of bench/compare_peers/run, driven through Tavrin's public API
// against whatever radio the environment chooses (the race runs it through BlueZ on a private bus).
// Prints one JSON object with the figures.
//
//   compare_peers_tavrin <plug address> [notifications [scan ms [notifications through the socket]]]

#include <tavrin/Tavrin.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kPlugService = "fb1e4001-54ae-4a28-9f74-dfccb248601d";
const std::string kCommand = "fb1e4002-54ae-4a28-9f74-dfccb248601d";
const std::string kStatus = "fb1e4003-54ae-4a28-9f74-dfccb248601d";
const std::string kCounterService = "fb1e5001-54ae-4a28-9f74-dfccb248601d";
const std::string kCounter = "fb1e5002-54ae-4a28-9f74-dfccb248601d";
const std::string kSink = "fb1e5003-54ae-4a28-9f74-dfccb248601d";  // takes writes without response
constexpr long kWriteCommands = 5000;
constexpr uint32_t kCycle = 80000;  // the counter's values, in turn (make_world.py)

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

struct Stream {
    long received = 0;
    long lost = 0;
    long reordered = 0;  // values that came after a later one (or again)
    double cpu_us_per_value = 0;
};

// Subscribes to the counter until `wanted` values came (at most twice the time they take, plus 10 s); gaps in
// the counter are values lost.
Stream stream(Tavrin::Peripheral& plug, Tavrin::Delivery delivery, long wanted) {
    std::mutex mutex;
    std::condition_variable done;
    long received = 0, reordered = 0, lost = 0;
    std::optional<uint32_t> latest;  // the highest value so far
    plug.notify(
        kCounterService, kCounter,
        [&](std::string value) {
            std::lock_guard<std::mutex> lock(mutex);
            const uint32_t n = counter_of(value);
            if (latest) {
                // Steps forward around the counter's cycle (the world may have gone round it before).
                const uint32_t ahead = (n + kCycle - *latest) % kCycle;
                if (ahead == 0 || ahead > kCycle / 2) {
                    ++reordered;  // a repeat or a value that comes after a later one
                } else {
                    lost += ahead - 1;
                    latest = n;
                }
            } else {
                latest = n;
            }
            if (++received == wanted) {
                done.notify_all();
            }
        },
        delivery);
    const double cpu_start = cpu_seconds();
    {
        std::unique_lock<std::mutex> lock(mutex);
        done.wait_for(lock, std::chrono::milliseconds(2 * wanted + 10000), [&] { return received >= wanted; });
    }
    const double cpu = cpu_seconds() - cpu_start;
    plug.unsubscribe(kCounterService, kCounter);
    std::lock_guard<std::mutex> lock(mutex);
    Stream result;
    result.received = received;
    result.reordered = reordered;
    result.lost = received == 0 ? wanted : lost;
    result.cpu_us_per_value = received ? cpu * 1e6 / static_cast<double>(received) : 0.0;
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <plug address> [notifications [scan ms [socket notifications]]]\n", argv[0]);
        return 2;
    }
    const std::string plug_address = argv[1];
    const long wanted_notifications = argc > 2 ? std::stol(argv[2]) : 10000;
    // A longer scan gives a profiler enough samples; the race itself scans for 2 s.
    const long scan_ms = argc > 3 ? std::stol(argv[3]) : 2000;
    // A long run of the socket path shows whether it loses or reorders anything.
    const long socket_notifications = argc > 4 ? std::stol(argv[4]) : wanted_notifications;

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

    // Notifications: a counter every millisecond; through bluetoothd's signals, then through a socket of our own.
    const Stream shared = stream(plug, Tavrin::Delivery::Shared, wanted_notifications);
    const Stream exclusive = stream(plug, Tavrin::Delivery::Exclusive, socket_notifications);

    // Writes without response, back to back: each call returns once its write was handed to the link.
    const std::string payload = "\x01\x02\x03\x04\x05\x06\x07\x08";
    const double write_cpu_start = cpu_seconds();
    start = Clock::now();
    for (long i = 0; i < kWriteCommands; ++i) {
        plug.write_command(kCounterService, kSink, payload);
    }
    const double write_command_s = ms_since(start) / 1000.0;
    const double write_command_cpu = cpu_seconds() - write_cpu_start;
    plug.disconnect();

    std::printf(
        "{\"scan_advertisements\": %ld, \"scan_devices\": %zu, \"scan_cpu_us_per_advertisement\": %.3f, "
        "\"connect_discovery_ms\": %.3f, \"read_median_ms\": %.3f, \"read_p99_ms\": %.3f, "
        "\"write_median_ms\": %.3f, \"write_p99_ms\": %.3f, \"notifications\": %ld, \"notifications_lost\": %ld, "
        "\"notify_cpu_us_per_value\": %.3f, \"socket_notifications\": %ld, \"socket_notifications_lost\": %ld, "
        "\"socket_notifications_reordered\": %ld, "
        "\"socket_notify_cpu_us_per_value\": %.3f, \"write_command_cpu_us_per_write\": %.3f, "
        "\"write_commands_per_s\": %.1f}\n",
        advertisements.load(), results.size(),
        advertisements.load() ? scan_cpu * 1e6 / static_cast<double>(advertisements.load()) : 0.0, connect_ms,
        percentile(reads, 0.5), percentile(reads, 0.99), percentile(writes, 0.5), percentile(writes, 0.99),
        shared.received, shared.lost, shared.cpu_us_per_value, exclusive.received, exclusive.lost, exclusive.reordered,
        exclusive.cpu_us_per_value, write_command_cpu * 1e6 / kWriteCommands, kWriteCommands / write_command_s);
    return 0;
}
