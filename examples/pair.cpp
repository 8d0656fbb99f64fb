// Pairs with a device that asks for a passkey, reads a characteristic only a paired link may read, and
// forgets the bond again. The program answers pairing itself: its agent types the passkey the device shows.
//
//   example_pair address service characteristic [passkey]
//
// Without a passkey on the command line it asks for one on standard input.
#include <iostream>
#include <optional>
#include <string>

#include <tavrin/Tavrin.h>

#include "example_common.h"

static const char* type_name(Tavrin::AddressType type) {
    switch (type) {
        case Tavrin::AddressType::Public:
            return "public";
        case Tavrin::AddressType::Random:
            return "random";
        case Tavrin::AddressType::Unspecified:
            break;
    }
    return "unspecified";
}

int main(int argc, char** argv) {
    if (argc < 4) {
        std::cerr << "usage: example_pair address service characteristic [passkey]" << std::endl;
        return 2;
    }
    const std::string address = argv[1];
    const std::string service = argv[2];
    const std::string characteristic = argv[3];
    const std::optional<std::string> given = argc > 4 ? std::optional<std::string>(argv[4]) : std::nullopt;

    std::optional<Tavrin::Adapter> adapter = example::first_adapter();
    if (!adapter) {
        return 1;
    }
    // The devices this machine is bonded with already.
    for (Tavrin::Peripheral& known : adapter->get_paired_peripherals()) {
        std::cout << "bonded: " << known.address() << " (" << type_name(known.address_type()) << ")" << std::endl;
    }

    // The program's agent: it runs on a thread of the library's, and may block (here, on standard input).
    Tavrin::PairingAgent agent;
    agent.capability = Tavrin::IoCapability::KeyboardDisplay;
    agent.request_passkey = [&given](const std::string& device) -> uint32_t {
        std::string text;
        if (given) {
            text = *given;
        } else {
            std::cout << "Passkey shown by " << device << ": " << std::flush;
            std::getline(std::cin, text);
        }
        std::cout << "agent: passkey for " << device << std::endl;
        return static_cast<uint32_t>(std::stoul(text));
    };
    agent.display_passkey = [](const std::string& device, uint32_t passkey) {
        std::cout << "agent: type " << passkey << " on " << device << std::endl;
    };
    agent.confirm = [](const std::string& device, uint32_t passkey) {
        std::cout << "agent: " << device << " shows " << passkey << ", accepted" << std::endl;
        return true;
    };
    adapter->set_pairing_agent(agent);

    std::optional<Tavrin::Peripheral> found = example::find_device(address);
    if (!found) {
        return 1;
    }
    Tavrin::Peripheral device = *found;
    try {
        device.connect();
        std::cout << "paired before: " << (device.is_paired() ? "yes" : "no") << std::endl;
        device.pair();  // asks the agent; throws OperationFailed if the passkey is wrong
        std::cout << "paired: " << (device.is_paired() ? "yes" : "no") << std::endl;
        std::cout << "value: " << example::hex(device.read(service, characteristic)) << std::endl;
        device.unpair();  // disconnects and forgets the bond
        std::cout << "unpaired: " << (device.is_paired() ? "no" : "yes") << std::endl;
    } catch (const Tavrin::Exception::BaseException& e) {
        std::cerr << "Failed: " << e.what() << std::endl;
        return 1;
    }
    adapter->remove_pairing_agent();
    return 0;
}
