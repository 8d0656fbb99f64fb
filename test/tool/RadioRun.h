#pragma once
// One of our programs run as a process over either radio: the simulated world in the program's own process, or
// BlueZ with the world served beside it (tavrin-bluez-sim on a private bus, or on the real stack the world server
// behind the real bluetoothd). The output is the same but for the addresses and what a real bluetoothd adds.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "ProcessRun.h"

namespace tooltest {

enum class Via { Sim, Bluez };

std::string viaName(const testing::TestParamInfo<Via>& info);

/// Whether `via` reaches the real Linux Bluetooth stack (BlueZ, inside the testbed).
bool onRealStack(Via via);

/// A device's address as programs show it: its identifier over the simulated world; over BlueZ, the Bluetooth
/// address tavrin-bluez-sim derives from the identifier's last 12 hexadecimal digits, or on the real stack its
/// controller's, by the device's place in `world_file` (the default world when empty).
std::string addressOf(Via via, const std::string& identifier, const std::string& world_file = {});

/// Runs `path` with `args` over `world_file` (a path, or "default" for the built-in world) through `via`.
ProcessResult runOver(Via via, const std::string& path, const std::vector<std::string>& args,
                      const std::string& world_file);

}  // namespace tooltest
