#pragma once
// Simulated worlds built in C++: the one quick device every test starts from, its GATT parts, and the
// world around a list of devices.

#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <platform/CBTypes.h>
#include <platform/sim/World.h>
#include <platform/sim/WorldConfig.h>

namespace test_support {

/// A device identifier numbered `n`; the platform reports identifiers in upper case.
inline std::string device_id(unsigned n) {
    char text[40];
    std::snprintf(text, sizeof text, "A0DA%04X-0000-4000-8000-%012X", n & 0xffffu, n);
    return text;
}

/// A quick device with no services: an advertisement every `interval_ms`, 1 ms answers, a link made
/// and ended in 2 ms. A test adds services or changes fields on the result.
inline platform::sim::PeripheralConfig device(std::string identifier, unsigned interval_ms = 5,
                                              std::optional<std::string> name = std::string("Test Device")) {
    platform::sim::PeripheralConfig config;
    config.identifier = std::move(identifier);
    config.name = std::move(name);
    config.latency_ms = 1;
    config.advertising.interval_ms = interval_ms;
    config.advertising.rssi = -50;
    config.advertising.connectable = true;
    config.connection.delay_ms = 2;
    config.connection.disconnect_delay_ms = 2;
    return config;
}

inline platform::sim::DescriptorConfig descriptor(std::string uuid, std::optional<std::string> value = std::nullopt) {
    platform::sim::DescriptorConfig config;
    config.uuid = std::move(uuid);
    config.value = std::move(value);
    return config;
}

inline platform::sim::CharacteristicConfig characteristic(
    std::string uuid, platform::CBCharacteristicProperties properties, std::optional<std::string> value = std::nullopt,
    std::vector<platform::sim::DescriptorConfig> descriptors = {}) {
    platform::sim::CharacteristicConfig config;
    config.uuid = std::move(uuid);
    config.properties = properties;
    config.value = std::move(value);
    config.descriptors = std::move(descriptors);
    return config;
}

/// The first characteristic of a device description with this UUID text, for fault injection.
inline platform::sim::CharacteristicConfig& find_characteristic(platform::sim::PeripheralConfig& device,
                                                                const std::string& uuid) {
    for (auto& service : device.services) {
        for (auto& config : service.characteristics) {
            if (config.uuid == uuid) {
                return config;
            }
        }
    }
    throw std::logic_error("no characteristic " + uuid);
}

/// A world of `devices` whose radio is on after 1 ms.
inline platform::sim::WorldConfig world_of(std::vector<platform::sim::PeripheralConfig> devices) {
    platform::sim::WorldConfig world;
    world.adapter.state_delay_ms = 1;
    world.peripherals = std::move(devices);
    return world;
}

inline void reset_world(std::vector<platform::sim::PeripheralConfig> devices) {
    platform::sim::World::get().reset(world_of(std::move(devices)));
}

}  // namespace test_support
