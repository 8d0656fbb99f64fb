// Connects to a device, lists its services and characteristics with what each can do, reads every
// readable characteristic, and switches the plug on for a few seconds.
//
//   example_read_write [address]
#include <iostream>
#include <optional>
#include <string>

#include <tavrin/Tavrin.h>

#include "example_common.h"

static const std::string kPlugService = "fb1e4001-54ae-4a28-9f74-dfccb248601d";
static const std::string kPlugCommand = "fb1e4002-54ae-4a28-9f74-dfccb248601d";
static const std::string kPlugStatus = "fb1e4003-54ae-4a28-9f74-dfccb248601d";

int main(int argc, char** argv) {
    const std::string address = argc > 1 ? argv[1] : "C3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13";

    std::optional<Tavrin::Peripheral> found = example::find_device(address);
    if (!found) {
        return 1;
    }
    Tavrin::Peripheral plug = *found;

    try {
        plug.connect();  // blocks until every service, characteristic and descriptor is known
        std::cout << "Connected to \"" << plug.identifier() << "\", MTU " << plug.mtu() << std::endl;

        for (Tavrin::Service& service : plug.services()) {
            std::cout << "service " << service.uuid() << std::endl;
            for (Tavrin::Characteristic& characteristic : service.characteristics()) {
                std::cout << "  characteristic " << characteristic.uuid() << " [";
                for (const std::string& capability : characteristic.capabilities()) {
                    std::cout << " " << capability;
                }
                std::cout << " ]" << std::endl;
                for (Tavrin::Descriptor& descriptor : characteristic.descriptors()) {
                    std::cout << "    descriptor " << descriptor.uuid() << std::endl;
                }
                if (characteristic.can_read()) {
                    std::cout << "    value: " << example::hex(plug.read(service.uuid(), characteristic.uuid()))
                              << std::endl;
                }
            }
        }

        // The plug takes a tab byte and a JSON command; its status is: switch, then the seconds left (16-bit LE).
        plug.write_request(kPlugService, kPlugCommand, "\t{\"mode\":3,\"switch\":1,\"timer\":5}");
        std::cout << "plug on for 5 s, status: " << example::hex(plug.read(kPlugService, kPlugStatus)) << std::endl;

        plug.disconnect();
    } catch (const Tavrin::Exception::BaseException& e) {
        std::cerr << "Failed: " << e.what() << std::endl;
        try {
            if (plug.is_connected()) {
                plug.disconnect();
            }
        } catch (const Tavrin::Exception::BaseException&) {
        }
        return 1;
    }
    return 0;
}
