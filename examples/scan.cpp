// Scans for a few seconds and prints every device seen, with its signal strength and what it advertises.
//
//   example_scan [seconds]
#include <cstdint>
#include <iostream>
#include <optional>
#include <string>

#include <tavrin/Tavrin.h>

#include "example_common.h"

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::stoi(argv[1]) : 3;

    std::optional<Tavrin::Adapter> found = example::first_adapter();
    if (!found) {
        return 1;
    }
    Tavrin::Adapter adapter = *found;

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
            std::cout << "    manufacturer " << company << ": " << example::hex(data, "") << std::endl;
        }
        // While not connected, services() are the advertised ones, with their service data.
        for (Tavrin::Service& service : peripheral.services()) {
            std::cout << "    service " << service.uuid();
            if (!service.data().empty()) {
                std::cout << ": " << example::hex(service.data(), "");
            }
            std::cout << std::endl;
        }
    }
    return 0;
}
