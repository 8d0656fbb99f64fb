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

#include "Bus.h"
#include "platform/Radio.h"

namespace platform::bluez {

/// Makes the BlueZ radio. It connects to the bus in the background; until it knows the adapter, its sessions
/// report the state unknown (unsupported if the bus cannot be reached or bluetoothd is not on it).
std::unique_ptr<radio::Radio> makeRadio();

/// The same over the bus the connector opens: the radio's unit tests hand it a scripted one.
std::unique_ptr<radio::Radio> makeRadio(BusConnector connector);

}  // namespace platform::bluez
