#pragma once
// The BlueZ radio: bluetoothd reached over the system bus (sdbus-c++), behind the radio interface.
//
// The bus is the system bus, or the one DBUS_SYSTEM_BUS_ADDRESS names. The adapter is the first
// org.bluez.Adapter1 under /org/bluez in natural order of its name (hci2 before hci10), or the one
// TAVRIN_BLUEZ_ADAPTER names ("hci1"). A device's key is its Bluetooth address as bluetoothd gives it
// ("AA:BB:CC:DD:EE:FF").
//
// One thread of the radio's own owns the bus connection and runs every D-Bus call asynchronously, each with a
// timeout; requests from other threads are handed to it (a read or write made while it is idle is sent from the
// caller's thread under its lock, to save a thread hop). Events and completions are called on that thread.
// How it is cut: Core.h.

#include <memory>
#include <string>
#include <vector>

#include "Bus.h"
#include "platform/Radio.h"

namespace platform::bluez {

/// Makes the BlueZ radio. It connects to the bus in the background; until it knows the adapter, its sessions
/// report the state unknown (unsupported if the bus cannot be reached or bluetoothd is not on it).
std::unique_ptr<radio::Radio> makeRadio();

/// The same over the bus the connector opens: the radio's unit tests hand it a scripted one.
std::unique_ptr<radio::Radio> makeRadio(BusConnector connector);

/// A radio bound to one adapter ("hci1"): while bluetoothd has no adapter of that name, the state is unsupported
/// (resetting while it is awaited back), whatever other adapters there are.
std::unique_ptr<radio::Radio> makeRadio(BusConnector connector, const std::string& adapter);
std::unique_ptr<radio::Radio> makeRadioFor(const std::string& adapter);

/// One adapter bluetoothd has, as listed once.
struct AdapterListing {
    std::string name;     // "hci1"
    std::string address;  // "AA:BB:CC:DD:EE:FF", empty when bluetoothd gives none
    bool powered = false;
};

/// bluetoothd's adapters under /org/bluez, in natural order of their names (hci2 before hci10), asked once on the
/// system bus (or DBUS_SYSTEM_BUS_ADDRESS's) with a short bound. Empty when the bus, bluetoothd or the listing
/// cannot be had: the caller then falls back on the radio that waits for them.
std::vector<AdapterListing> listAdapters();

}  // namespace platform::bluez
