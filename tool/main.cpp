// tavrin-switch: switches the plug with the given address on (with a timer) or off.
//
//   tavrin-switch <address> <on|anything else> <timer seconds>
#include <chrono>
#include <cstdint>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <tavrin/Tavrin.h>

#include "Utils.h"

namespace {

constexpr int kScanTimeMs = 5000;
const std::string kWriteCharacteristic = "fb1e4002-54ae-4a28-9f74-dfccb248601d";
const std::string kReadCharacteristic = "fb1e4003-54ae-4a28-9f74-dfccb248601d";
constexpr int kReadCount = 5;

// Filled by the scan-found callback on the library's event queue, read by main after the scan.
// The callback shares ownership, so the list outlives any delivery whatever path main takes out.
struct FoundDevices {
    std::mutex mutex;
    std::vector<Tavrin::Peripheral> peripherals;  // guarded by mutex
};

// `chosen` receives the peripheral once it is picked, so that main can disconnect it when a failure ends the run.
int run(const std::string& device_address, const std::string& mode, const std::string& timer,
        std::optional<Tavrin::Peripheral>& chosen) {
    std::optional<Tavrin::Adapter> adapter_choice = Utils::getAdapter();
    if (!adapter_choice) {
        return 1;
    }
    Tavrin::Adapter adapter = *adapter_choice;

    auto found = std::make_shared<FoundDevices>();
    adapter.set_callback_on_scan_found([found](Tavrin::Peripheral peripheral) {
        // The lock also keeps this line whole against the main thread's scan lines.
        std::lock_guard<std::mutex> lock(found->mutex);
        std::cout << "Found device: " << peripheral.identifier() << " [" << peripheral.address() << "]" << std::endl;
        found->peripherals.push_back(peripheral);
    });
    adapter.set_callback_on_scan_start([found]() {
        std::lock_guard<std::mutex> lock(found->mutex);
        std::cout << "Scan started." << std::endl;
    });
    adapter.set_callback_on_scan_stop([found]() {
        std::lock_guard<std::mutex> lock(found->mutex);
        std::cout << "Scan stopped." << std::endl;
    });

    adapter.scan_for(kScanTimeMs);
    // Removing the callback waits for a delivery still running and keeps later ones away, so the
    // list and standard output belong to this thread from here on.
    adapter.set_callback_on_scan_found(nullptr);

    std::vector<Tavrin::Peripheral> peripherals;
    {
        std::lock_guard<std::mutex> lock(found->mutex);
        peripherals = found->peripherals;
    }

    std::cout << "The following devices were found:" << std::endl;
    std::optional<std::size_t> device_position;
    for (uint64_t i = 0; i < peripherals.size(); ++i) {
        Tavrin::Peripheral& peripheral = peripherals[static_cast<std::size_t>(i)];
        const std::string address = peripheral.address();
        std::cout << "[" << i << "] " << peripheral.identifier() << " [" << address << "]" << std::endl;
        if (device_address == address) {
            device_position = static_cast<std::size_t>(i);  // the last match wins
        }
    }

    if (!device_position) {
        std::cerr << "Error: No matching device found for deviceName: " << device_address << std::endl;
        return 0;
    }

    chosen = peripherals[*device_position];
    Tavrin::Peripheral& peripheral = *chosen;
    std::cout << "Connecting to " << peripheral.identifier() << " [" << peripheral.address() << "]" << std::endl;
    peripheral.connect();
    std::cout << "Successfully connected, printing services and characteristics.." << std::endl;
    std::cout << "MTU: " << static_cast<uint16_t>(peripheral.mtu()) << std::endl;

    std::vector<std::pair<std::string, std::string>> pairs;
    for (Tavrin::Service& service : peripheral.services()) {
        for (Tavrin::Characteristic& characteristic : service.characteristics()) {
            pairs.emplace_back(service.uuid(), characteristic.uuid());
        }
    }

    std::cout << "The following services and characteristics were found:" << std::endl;
    // A characteristic that is missing leaves its position at the first pair.
    std::size_t write_position = 0;
    std::size_t read_position = 0;
    for (uint64_t i = 0; i < pairs.size(); ++i) {
        const auto& [service_uuid, characteristic_uuid] = pairs[static_cast<std::size_t>(i)];
        std::cout << "[" << i << "] " << service_uuid << " " << characteristic_uuid << std::endl;
        if (characteristic_uuid == kWriteCharacteristic) {
            write_position = static_cast<std::size_t>(i);
        }
        if (characteristic_uuid == kReadCharacteristic) {
            read_position = static_cast<std::size_t>(i);
        }
    }

    if (pairs.empty()) {
        // Without a single characteristic there is nowhere to write or read.
        std::cerr << "Error: No characteristics found on the device." << std::endl;
        peripheral.disconnect();
        return 1;
    }

    const std::string command =
        mode == "on" ? "{\"mode\":3,\"switch\":1,\"timer\":" + timer + "}" : "{\"mode\":3,\"switch\":0}";
    const std::string payload = "\t" + command;
    for (uint64_t i = 0; i < payload.size(); ++i) {
        std::cout << "Byte " << i << ": "
                  << static_cast<int>(static_cast<unsigned char>(payload[static_cast<std::size_t>(i)])) << std::endl;
    }
    peripheral.write_request(pairs[write_position].first, pairs[write_position].second, payload);

    for (int i = 0; i < kReadCount; ++i) {
        const std::string value = peripheral.read(pairs[read_position].first, pairs[read_position].second);
        std::cout << "Characteristic content is: ";
        Utils::print_byte_array(value);
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }

    peripheral.disconnect();
    std::cout << "exit" << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string device_address;
    std::string mode;
    std::string timer;

    if (argc <= 1) {
        std::cout << "No command-line arguments provided." << std::endl;
    } else {
        device_address = argv[1];
        if (argc > 2) {
            mode = argv[2];
        }
        if (argc > 3) {
            timer = argv[3];
        }
    }

    std::cout << "You passed the number: " << timer << std::endl;

    std::optional<Tavrin::Peripheral> peripheral;
    try {
        return run(device_address, mode, timer, peripheral);
    } catch (const std::exception& e) {
        // Leave the device free for the next run; a failure here changes nothing of the outcome.
        try {
            if (peripheral && peripheral->is_connected()) {
                peripheral->disconnect();
            }
        } catch (...) {
        }
        std::cerr << "Error: " << e.what() << std::endl;
        return 1;
    }
}
