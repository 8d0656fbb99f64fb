// The floor of the peer race: a 2 s scan whose advertisements (RSSI changes) one thread reads and counts signal
// by signal; the same 200 reads and 200 writes with response, each one blocking D-Bus call straight to
// bluetoothd (here the simulator) from that thread, with no BLE library at all; then the counter's
// notifications, each signal read and counted as it comes. Neither side of the race can
// answer faster than the bus and the daemon behind it; the CPU per signal is what one wake per signal costs.
// Prints one JSON object with the figures.
//
//   compare_peers_floor <plug address> [notifications]

#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* const kBluez = "org.bluez";
const char* const kDevice = "org.bluez.Device1";
const char* const kCharacteristic = "org.bluez.GattCharacteristic1";
const std::string kCommand = "fb1e4002-54ae-4a28-9f74-dfccb248601d";
const std::string kStatus = "fb1e4003-54ae-4a28-9f74-dfccb248601d";
const std::string kCounter = "fb1e5002-54ae-4a28-9f74-dfccb248601d";
const std::string kSink = "fb1e5003-54ae-4a28-9f74-dfccb248601d";
constexpr long kWriteCommands = 5000;

using Clock = std::chrono::steady_clock;
using Properties = std::map<std::string, sdbus::Variant>;
using Objects = std::map<sdbus::ObjectPath, std::map<std::string, Properties>>;

Objects managedObjects(sdbus::IConnection& bus) {
    Objects objects;
    sdbus::createProxy(bus, kBluez, "/")
        ->callMethod("GetManagedObjects")
        .onInterface("org.freedesktop.DBus.ObjectManager")
        .storeResultsTo(objects);
    return objects;
}

// The path of the first object with `interface` whose string property `key` is `value`, or "".
std::string find(const Objects& objects, const char* interface, const char* key, const std::string& value) {
    for (const auto& [path, interfaces] : objects) {
        const auto it = interfaces.find(interface);
        if (it != interfaces.end() && it->second.count(key) && it->second.at(key).get<std::string>() == value) {
            return path;
        }
    }
    return "";
}

template <typename Call>
std::vector<double> timed(int count, Call call) {
    std::vector<double> samples;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        call();
        samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(samples.begin(), samples.end());
    return samples;
}

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Handles the bus's messages on this thread until `done()` or `deadline`.
template <typename Done>
void pump(sdbus::IConnection& bus, Clock::time_point deadline, Done done) {
    for (;;) {
        while (!done() && bus.processPendingRequest()) {
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (done() || left <= 0) {
            return;
        }
        const auto data = bus.getEventLoopPollData();
        pollfd fd{data.fd, static_cast<short>(data.events), 0};
        const int bus_timeout = data.getPollTimeout();
        ::poll(&fd, 1, bus_timeout >= 0 && bus_timeout < left ? bus_timeout : static_cast<int>(left));
    }
}

// Counts the PropertiesChanged signals under `path` (a namespace) whose `interface` changed `property`.
sdbus::Slot countChanges(sdbus::IConnection& bus, const std::string& path, const char* interface, const char* property,
                         long& count) {
    return bus.addMatch(
        "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',"
        "member='PropertiesChanged',path_namespace='" +
            path + "'",
        [interface, property, &count](sdbus::Message& message) {
            std::string changed_interface;
            Properties changed;
            message >> changed_interface >> changed;
            if (changed_interface == interface && changed.count(property)) {
                ++count;
            }
        });
}

double percentile(const std::vector<double>& sorted, double p) {
    return sorted[static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5)];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <plug address> [notifications]\n", argv[0]);
        return 2;
    }
    const long wanted = argc > 2 ? std::stol(argv[2]) : 10000;
    try {
        auto bus = sdbus::createSystemBusConnection();
        // Every advertisement is an RSSI change of a device object.
        long advertisements = 0;
        auto match = countChanges(*bus, "/org/bluez", kDevice, "RSSI", advertisements);
        auto adapter = sdbus::createProxy(*bus, kBluez, "/org/bluez/hci0");
        adapter->callMethod("SetDiscoveryFilter")
            .onInterface("org.bluez.Adapter1")
            .withArguments(Properties{{"DuplicateData", sdbus::Variant(true)}});
        const double scan_cpu_start = cpuSeconds();
        adapter->callMethod("StartDiscovery").onInterface("org.bluez.Adapter1");
        pump(*bus, Clock::now() + std::chrono::seconds(2), [] { return false; });
        adapter->callMethod("StopDiscovery").onInterface("org.bluez.Adapter1");
        const double scan_cpu = cpuSeconds() - scan_cpu_start;
        const std::string device = find(managedObjects(*bus), kDevice, "Address", argv[1]);
        if (device.empty()) {
            std::fprintf(stderr, "the plug %s was not found\n", argv[1]);
            return 1;
        }
        auto plug = sdbus::createProxy(*bus, kBluez, device);
        plug->callMethod("Connect").onInterface(kDevice);
        std::string status, command, counter, sink;
        for (int i = 0; i < 100 && (status.empty() || command.empty() || counter.empty() || sink.empty()); ++i) {
            const Objects objects = managedObjects(*bus);
            status = find(objects, kCharacteristic, "UUID", kStatus);
            command = find(objects, kCharacteristic, "UUID", kCommand);
            counter = find(objects, kCharacteristic, "UUID", kCounter);
            sink = find(objects, kCharacteristic, "UUID", kSink);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        auto status_proxy = sdbus::createProxy(*bus, kBluez, status);
        auto command_proxy = sdbus::createProxy(*bus, kBluez, command);
        const auto reads = timed(200, [&] {
            std::vector<uint8_t> value;
            status_proxy->callMethod("ReadValue")
                .onInterface(kCharacteristic)
                .withArguments(Properties{})
                .storeResultsTo(value);
        });
        const std::string off = std::string("\t") + R"({"mode":3,"switch":0})";
        const std::vector<uint8_t> bytes(off.begin(), off.end());
        const auto writes = timed(200, [&] {
            command_proxy->callMethod("WriteValue")
                .onInterface(kCharacteristic)
                .withArguments(bytes, Properties{{"type", sdbus::Variant(std::string("request"))}});
        });

        // Each Value change is one signal; this thread waits for it, reads it and counts it. The scan's match goes,
        // so that each signal is read once.
        long values = 0;
        match = countChanges(*bus, counter, kCharacteristic, "Value", values);
        auto counter_proxy = sdbus::createProxy(*bus, kBluez, counter);
        counter_proxy->callMethod("StartNotify").onInterface(kCharacteristic);
        const double cpu = cpuSeconds();
        pump(*bus, Clock::now() + std::chrono::seconds(60), [&] { return values >= wanted; });
        const double notify_cpu = cpuSeconds() - cpu;
        counter_proxy->callMethod("StopNotify").onInterface(kCharacteristic);

        // Writes without response as bare blocking calls: one method call and its reply each.
        auto sink_proxy = sdbus::createProxy(*bus, kBluez, sink);
        const std::vector<uint8_t> payload{1, 2, 3, 4, 5, 6, 7, 8};
        const double write_cpu_start = cpuSeconds();
        const auto write_start = Clock::now();
        for (long i = 0; i < kWriteCommands; ++i) {
            sink_proxy->callMethod("WriteValue")
                .onInterface(kCharacteristic)
                .withArguments(payload, Properties{{"type", sdbus::Variant(std::string("command"))}});
        }
        const double write_s = std::chrono::duration<double>(Clock::now() - write_start).count();
        const double write_cpu = cpuSeconds() - write_cpu_start;
        plug->callMethod("Disconnect").onInterface(kDevice);
        std::printf(
            "{\"scan_cpu_us_per_advertisement\": %.3f, \"read_median_ms\": %.3f, \"read_p99_ms\": %.3f, "
            "\"write_median_ms\": %.3f, \"write_p99_ms\": %.3f, "
            "\"notify_cpu_us_per_value\": %.3f, \"write_command_cpu_us_per_write\": %.3f, "
            "\"write_commands_per_s\": %.1f}\n",
            advertisements ? scan_cpu * 1e6 / static_cast<double>(advertisements) : 0.0, percentile(reads, 0.5),
            percentile(reads, 0.99), percentile(writes, 0.5), percentile(writes, 0.99),
            values ? notify_cpu * 1e6 / static_cast<double>(values) : 0.0, write_cpu * 1e6 / kWriteCommands,
            kWriteCommands / write_s);
    } catch (const sdbus::Error& e) {
        std::fprintf(stderr, "%s: %s\n", e.getName().c_str(), e.getMessage().c_str());
        return 1;
    }
    return 0;
}
