#pragma once
// One scenario for a device with two services of one UUID, run over each radio: the host stack's own
// Device Information service in front of the application's, as a peripheral built on bluetoothd serves it.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <tavrin/Adapter.h>
#include <tavrin/Exceptions.h>

#include "AdapterHarness.h"

namespace adapter_test {

/// The world: one device, 00000000-0000-4000-8000-000000005D01, with 180a (2a50) then 180a (2a29 "Tavrin Labs",
/// its user description "maker").
constexpr const char* kRepeatedServiceWorld = R"({ "bluetoothd": { "disconnect_timer_ms": 20 }, "peripherals": [
  { "identifier": "00000000-0000-4000-8000-000000005D01", "latency_ms": 1,
    "advertising": { "interval_ms": 20, "connectable": true },
    "connection": { "delay_ms": 2, "disconnect_delay_ms": 1 },
    "services": [
      { "uuid": "180a", "characteristics": [ { "uuid": "2a50", "properties": ["read"], "value": "02590001000100" } ] },
      { "uuid": "180a", "characteristics": [
        { "uuid": "2a29", "properties": ["read"], "value": "54617672696e204c616273",
          "descriptors": [ { "uuid": "2901", "value": "6d616b6572" } ] } ] } ] } ] })";

inline void check_repeated_service(Tavrin::Adapter& adapter, const std::string& address) {
    auto peripheral = find_one(adapter, address);
    peripheral.connect();
    ASSERT_TRUE(peripheral.is_connected());

    // Both services are listed, the device's order kept. (A peripheral built on a real bluetoothd puts that
    // daemon's own services, its Device Information with 2a50 among them, in front of the world's.)
    std::vector<Tavrin::Service> information;
    for (auto& service : peripheral.services()) {
        if (service.uuid() == "0000180a-0000-1000-8000-00805f9b34fb") {
            information.push_back(service);
        }
    }
    ASSERT_GE(information.size(), 2u);
    ASSERT_EQ(information.back().characteristics().size(), 1u);
    EXPECT_EQ(information.back().characteristics()[0].uuid(), "00002a29-0000-1000-8000-00805f9b34fb");
    ASSERT_EQ(information.front().characteristics().size(), 1u);
    EXPECT_EQ(information.front().characteristics()[0].uuid(), "00002a50-0000-1000-8000-00805f9b34fb");

    // Each characteristic is reached in whichever of the services holds it: the first that has it.
    EXPECT_EQ(peripheral.read("180a", "2a50").size(), 7u);
    EXPECT_EQ(peripheral.read("180a", "2a29"), "Tavrin Labs");
    EXPECT_EQ(peripheral.read("180a", "2a29", "2901"), "maker");
    EXPECT_THROW(peripheral.read("180a", "2a24"), Tavrin::Exception::CharacteristicNotFound);
    EXPECT_THROW(peripheral.read("180f", "2a29"), Tavrin::Exception::ServiceNotFound);
    peripheral.disconnect();
}

}  // namespace adapter_test
