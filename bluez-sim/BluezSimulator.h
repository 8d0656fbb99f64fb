#pragma once
// bluetoothd's D-Bus face over a radio: adapter hci0, a Device1 per device seen while scanning, the GATT tree
// of connected devices, with bluetoothd's properties, signal order, replies and errors. The simulator is one
// central of the radio: every scan, connection and GATT request goes through its session.
//
// Threads: everything runs on the event loop's thread; the radio's completions and events are handed to it.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "EventLoop.h"
#include "ObjectTree.h"
#include "platform/Radio.h"
#include "platform/sim/WorldConfig.h"

namespace bluezsim {

/// What the simulator takes from the world file besides the radio: the devices' addresses and bluetoothd's
/// timers and adapter faults.
struct Setup {
    struct DeviceSetup {
        std::string address;  // "AA:BB:CC:DD:EE:FF"
        bool public_address = false;
        // Connected=true is set without its PropertiesChanged (connection.connected_signal "silent").
        bool silent_connected = false;
    };
    std::map<std::string, DeviceSetup> devices;  // by radio key
    platform::sim::BluetoothdConfig timers;
    platform::sim::AdapterFaults faults;
    // The adapter this simulator is: its name under /org/bluez and its address.
    std::string adapter = "hci0";
    // An address of the range set aside for documentation: it belongs to no real controller.
    std::string adapter_address = "00:00:5E:00:53:00";
    // The radio keys of the devices it hears; absent: every device.
    std::optional<std::set<std::string>> heard;
    // The first adapter exports /org/bluez (the agent and profile managers) for all.
    bool export_root = true;
};

/// The setup a world file gives: one per adapter it lists (hci0 alone when it lists none).
std::vector<Setup> setupsOf(const platform::sim::WorldConfig& world);
/// The first of them.
Setup setupOf(const platform::sim::WorldConfig& world);

class BluezSimulator {
  public:
    /// `set_power` switches the radio on or off (a client's Set of Adapter1.Powered).
    BluezSimulator(EventLoop& loop, ObjectTree& tree, platform::radio::Radio& radio, Setup setup,
                   std::function<void(bool on)> set_power);
    /// Closes the radio session; no radio task runs afterwards.
    ~BluezSimulator();
    BluezSimulator(const BluezSimulator&) = delete;
    BluezSimulator& operator=(const BluezSimulator&) = delete;

    /// This adapter's pairings ask the agents registered with `host`, the simulator that serves /org/bluez, as
    /// bluetoothd keeps one set of agents for all its adapters. Before start().
    void shareAgentsOf(BluezSimulator& host);
    /// Exports /org/bluez and opens the radio session; the adapter follows once the radio knows its state.
    void start();
    /// The radio has told its state (so the adapter is exported, or known to be absent).
    bool stateKnown() const;
    /// A client left the bus: its discovery session, filter and notification sessions end.
    void clientGone(const std::string& unique_name);

    struct Impl;

  private:
    std::shared_ptr<Impl> impl_;
};

/// The device's address as the simulator serves it under an adapter: "AA:BB:CC:DD:EE:FF" ->
/// "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_FF".
std::string devicePath(const std::string& address, const std::string& adapter = "hci0");

}  // namespace bluezsim
