#pragma once
// The GATT table each device of a world serves, learnt from the simulated world itself (so a model's own
// attributes come too), with the handles the world's radio knows them by, and the security the world file gives
// them as the permissions the real stack enforces.

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "platform/RadioPeripheral.h"
#include "platform/sim/WorldConfig.h"

namespace worldserver {

/// One device's table: services whose ids are the world's attribute handles.
struct DeviceTree {
    std::vector<platform::radio::LocalService> services;
    /// Which handles are descriptors (the rest are services and characteristics), and each characteristic's
    /// properties.
    std::map<platform::radio::LocalAttributeId, bool> descriptors;
    std::map<platform::radio::LocalAttributeId, platform::CBCharacteristicProperties> properties;
};

/// Learns every connectable device's table by connecting to it in a copy of `world` without faults, delays or
/// security, through the process's simulated world, which it leaves holding that copy. Devices are keyed by their
/// upper-case identifier. Throws std::runtime_error when the world does not answer within `limit`.
std::map<std::string, DeviceTree> learnTrees(const platform::sim::WorldConfig& world, std::chrono::milliseconds limit);

/// The world the server serves: `world` without what the real stack does itself (security, pairing, how links go
/// down), its radio powered on at once.
platform::sim::WorldConfig servedWorld(platform::sim::WorldConfig world);

}  // namespace worldserver
