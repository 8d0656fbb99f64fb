#pragma once
// The sequence fuzzer's worlds. A seed gives 1 to 5 small devices with random latencies, connection
// outcomes, disconnection behaviours, faults and attribute trees. Every value an attribute starts with,
// is written or is sent begins with that attribute's tag, so a value that reaches the wrong attribute shows.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <platform/CBTypes.h>
#include <platform/sim/WorldConfig.h>

#include "support/WorldBuilder.h"

namespace seqfuzz {

using Random = std::mt19937_64;

inline bool chance(Random& random, unsigned percent) {
    return random() % 100 < percent;
}
inline unsigned pick(Random& random, unsigned low, unsigned high) {
    return low + static_cast<unsigned>(random() % (high - low + 1));
}

/// One characteristic or descriptor, as a call names it, with the tag its values carry.
struct Attribute {
    std::string service;
    std::string characteristic;
    std::string descriptor;  // empty for a characteristic
    platform::CBCharacteristicProperties properties = 0;
    std::string tag;
};

struct Device {
    std::string id;
    platform::sim::PeripheralConfig config;  // as made: a device that left comes back as it was
    std::vector<Attribute> characteristics;
    std::vector<Attribute> descriptors;
    std::vector<bool> write_fault;  // by characteristic: its device drops some writes from the start
    unsigned discovery_steps = 0;   // one per service and per characteristic: connect's bounded steps
};

struct World {
    platform::sim::WorldConfig config;
    std::vector<Device> devices;
    bool power_cycle = false;  // the radio goes off once for a moment
};

inline std::string uuid(unsigned kind, unsigned n) {
    char text[40];
    std::snprintf(text, sizeof text, "5e9f%01x%03x-0000-4000-8000-00000000005e", kind, n);
    return text;
}
inline std::string service_uuid(unsigned n) {
    return uuid(1, n);
}
inline std::string characteristic_uuid(unsigned n) {
    return uuid(2, n);
}
inline std::string descriptor_uuid(unsigned n) {
    return uuid(3, n);
}
inline const char* const kUserDescription = "00002901-0000-1000-8000-00805f9b34fb";
inline const char* const kClientConfiguration = "00002902-0000-1000-8000-00805f9b34fb";

/// Tag of the attribute at these indexes: 'C' or 'D', device, service, characteristic (and descriptor).
inline std::string tag(char kind, unsigned device, unsigned service, unsigned characteristic, unsigned descriptor = 0) {
    return {kind, static_cast<char>('0' + device), static_cast<char>('0' + service),
            static_cast<char>('a' + characteristic), static_cast<char>('a' + descriptor)};
}

inline std::optional<platform::sim::Fault> random_fault(Random& random, unsigned percent) {
    if (!chance(random, percent)) {
        return std::nullopt;
    }
    const unsigned kind = pick(random, 0, 99);
    return kind < 50   ? platform::sim::Fault::Error
           : kind < 85 ? platform::sim::Fault::Silent
                       : platform::sim::Fault::Drop;
}

inline void maybe_fault(Random& random, platform::sim::Faults& faults, const char* request, unsigned percent) {
    if (auto fault = random_fault(random, percent)) {
        faults[request] = *fault;
    }
}

inline Device make_device(Random& random, unsigned index) {
    using namespace platform;
    Device device;
    device.id = test_support::device_id(index + 1);
    auto& config = device.config;
    config = test_support::device(device.id, pick(random, 5, 30));
    if (chance(random, 20)) {
        config.name.reset();
    }
    const unsigned mtus[] = {23, 50, 185, 247};
    config.mtu = mtus[random() % 4];
    config.latency_ms = pick(random, 1, 15);
    config.advertising.connectable = !chance(random, 4);
    auto& connection = config.connection;
    const unsigned outcome = pick(random, 0, 99);
    connection.outcome = outcome < 86   ? sim::ConnectOutcome::Connect
                         : outcome < 94 ? sim::ConnectOutcome::Fail
                                        : sim::ConnectOutcome::Hang;
    connection.delay_ms = pick(random, 1, 15);
    if (chance(random, 15)) {
        connection.drop_after_ms = pick(random, 20, 400);
    }
    connection.disconnect = chance(random, 6) ? sim::DisconnectBehaviour::Hang : sim::DisconnectBehaviour::Disconnect;
    // Now and then longer than a disconnection waits.
    connection.disconnect_delay_ms = chance(random, 3) ? pick(random, 5100, 5600) : pick(random, 1, 15);
    connection.interval_ms = pick(random, 5, 20);
    connection.packets_per_interval = pick(random, 1, 6);
    maybe_fault(random, config.faults, "discover_services", 3);

    const unsigned services = pick(random, 1, 2);
    const unsigned first_service = pick(random, 0, 1);
    device.discovery_steps = services;
    for (unsigned s = 0; s < services; ++s) {
        sim::ServiceConfig service;
        service.uuid = service_uuid(first_service + s);
        maybe_fault(random, service.faults, "discover_characteristics", 3);
        // Characteristic UUIDs repeat across services, so one UUID in two services must stay two attributes.
        const unsigned count = pick(random, 1, 3);
        const unsigned first = pick(random, 0, 2);
        for (unsigned c = 0; c < count; ++c) {
            Attribute attribute;
            attribute.service = service.uuid;
            attribute.characteristic = characteristic_uuid(first + c);
            attribute.tag = tag('C', index, s, c);
            CBCharacteristicProperties properties = 0;
            properties |= chance(random, 70) ? CBCharacteristicPropertyRead : 0;
            properties |= chance(random, 50) ? CBCharacteristicPropertyWrite : 0;
            properties |= chance(random, 50) ? CBCharacteristicPropertyWriteWithoutResponse : 0;
            properties |= chance(random, 40) ? CBCharacteristicPropertyNotify : 0;
            properties |= chance(random, 15) ? CBCharacteristicPropertyIndicate : 0;
            attribute.properties = properties;
            const bool subscribable =
                (properties & (CBCharacteristicPropertyNotify | CBCharacteristicPropertyIndicate));

            std::optional<std::string> initial;
            if (chance(random, 80)) {
                initial = attribute.tag + "init";
            }
            auto characteristic = test_support::characteristic(attribute.characteristic, properties, initial);
            if (subscribable && chance(random, 30)) {
                characteristic.notifications =
                    sim::NotificationConfig{pick(random, 10, 100), {attribute.tag + "tick1", attribute.tag + "tick2"}};
            }
            for (const char* request : {"discover_descriptors", "read", "write", "subscribe", "unsubscribe"}) {
                maybe_fault(random, characteristic.faults, request, 3);
            }

            std::vector<std::string> descriptors;
            if (chance(random, 40)) {
                descriptors.push_back(kUserDescription);
            }
            if (chance(random, 30)) {
                descriptors.push_back(descriptor_uuid(pick(random, 0, 1)));
            }
            if (subscribable) {
                descriptors.push_back(kClientConfiguration);
            }
            for (unsigned d = 0; d < descriptors.size(); ++d) {
                Attribute described = attribute;
                described.descriptor = descriptors[d];
                described.tag = tag('D', index, s, c, d);
                auto config_descriptor = test_support::descriptor(descriptors[d]);
                if (descriptors[d] != kClientConfiguration) {
                    config_descriptor.value = described.tag + "desc";
                }
                maybe_fault(random, config_descriptor.faults, "read", 3);
                maybe_fault(random, config_descriptor.faults, "write", 3);
                characteristic.descriptors.push_back(config_descriptor);
                device.descriptors.push_back(described);
            }
            device.write_fault.push_back(characteristic.faults.count("write") > 0);
            service.characteristics.push_back(characteristic);
            device.characteristics.push_back(attribute);
            ++device.discovery_steps;
        }
        config.services.push_back(service);
    }
    return device;
}

inline World make_world(uint64_t seed) {
    Random random(seed);
    World world;
    const unsigned devices = pick(random, 1, 5);
    for (unsigned d = 0; d < devices; ++d) {
        world.devices.push_back(make_device(random, d));
        world.config.peripherals.push_back(world.devices.back().config);
    }
    world.config.adapter.state_delay_ms = 1;
    world.power_cycle = chance(random, 8);
    return world;
}

}  // namespace seqfuzz
