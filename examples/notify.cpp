// Subscribes to the first characteristic of a device that sends notifications, prints what
// arrives for a few seconds, and unsubscribes.
//
//   example_notify [address] [seconds]
#include <chrono>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include <tavrin/Tavrin.h>

#include "example_common.h"

int main(int argc, char** argv) {
    // The heart rate sensor of the default world sends a value every second.
    const std::string address = argc > 1 ? argv[1] : "0F3E9B7A-52C4-4D1E-8A6B-7C9D0E1F2A3B";
    const int seconds = argc > 2 ? std::stoi(argv[2]) : 5;

    std::optional<Tavrin::Peripheral> found = example::find_device(address);
    if (!found) {
        return 1;
    }
    Tavrin::Peripheral device = *found;

    try {
        device.connect();

        std::string service_uuid;
        std::string characteristic_uuid;
        for (Tavrin::Service& service : device.services()) {
            for (Tavrin::Characteristic& characteristic : service.characteristics()) {
                if (characteristic.can_notify() && characteristic_uuid.empty()) {
                    service_uuid = service.uuid();
                    characteristic_uuid = characteristic.uuid();
                }
            }
        }
        if (characteristic_uuid.empty()) {
            std::cerr << "The device has no characteristic that notifies." << std::endl;
            device.disconnect();
            return 1;
        }

        // Values arrive on the library's event queue, not on this thread.
        device.notify(service_uuid, characteristic_uuid,
                      [](std::string value) { std::cout << "value: " << example::hex(value) << std::endl; });
        std::cout << "Subscribed to " << characteristic_uuid << " for " << seconds << " s" << std::endl;
        std::this_thread::sleep_for(std::chrono::seconds(seconds));

        device.unsubscribe(service_uuid, characteristic_uuid);
        device.disconnect();
        std::cout << "Unsubscribed." << std::endl;
    } catch (const Tavrin::Exception::BaseException& e) {
        std::cerr << "Failed: " << e.what() << std::endl;
        try {
            if (device.is_connected()) {
                device.disconnect();
            }
        } catch (const Tavrin::Exception::BaseException&) {
        }
        return 1;
    }
    return 0;
}
