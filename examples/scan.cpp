// Scans for a few seconds and prints every device seen, with its signal strength and what it advertises.
//
//   example_scan [seconds]
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>

#include <tavrin/Tavrin.h>

static std::string hex(const std::string& bytes) {
    std::string text;
    char digits[4];
    for (unsigned char byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::stoi(argv[1]) : 3;

    if (!Tavrin::Adapter::bluetooth_enabled()) {
        std::cerr << "Bluetooth is not enabled." << std::endl;
        return 1;
    }
    Tavrin::Adapter adapter = Tavrin::Adapter::get_adapters().front();

    std::cout << "Scanning for " << seconds << " s..." << std::endl;
    // Blocks for the whole scan. To hear of devices while it runs, install set_callback_on_scan_found:
    // that callback runs on the library's event queue, not on this thread.
    adapter.scan_for(seconds * 1000);

    // The results hold every device seen, with its latest advertisement.
    for (Tavrin::Peripheral& peripheral : adapter.scan_get_results()) {
        std::cout << peripheral.address() << " \"" << peripheral.identifier() << "\""
                  << " rssi " << peripheral.rssi() << " dBm" << (peripheral.is_connectable() ? ", connectable" : "");
        if (peripheral.tx_power() != INT16_MIN) {
            std::cout << ", tx power " << peripheral.tx_power() << " dBm";
        }
        std::cout << std::endl;
        for (const auto& [company, data] : peripheral.manufacturer_data()) {
            std::cout << "    manufacturer " << company << ": " << hex(data) << std::endl;
        }
        // While not connected, services() are the advertised ones, with their service data.
        for (Tavrin::Service& service : peripheral.services()) {
            std::cout << "    service " << service.uuid();
            if (!service.data().empty()) {
                std::cout << ": " << hex(service.data());
            }
            std::cout << std::endl;
        }
    }
    return 0;
}
