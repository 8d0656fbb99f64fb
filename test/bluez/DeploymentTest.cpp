// The library over the BlueZ radio and tavrin-bluez-sim, for what a real deployment needs: limits that a
// slow device fits in, a connect that bluetoothd aborted once, and every manufacturer entry.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include <tavrin/Adapter.h>
#include <tavrin/Exceptions.h>
#include <tavrin/TimeLimits.h>

#include "BluezFixture.h"
#include "support/AdapterHarness.h"

namespace {

using namespace std::chrono_literals;
using adapter_test::find_one;
using test_support::ConsoleCapture;
using test_support::timed;

const std::string kSlow = "00:00:00:00:5A:01";
const std::string kFlaky = "00:00:00:00:5A:02";

// A device whose every answer takes 2.5 s, and one that carries three companies' data and whose first
// connection attempt the controller aborts.
const char* kWorld = R"({
  "bluetoothd": { "att_timeout_ms": 30000 },
  "peripherals": [
    { "identifier": "00000000-0000-4000-8000-000000005A01", "name": "Slow", "latency_ms": 2500,
      "advertising": { "interval_ms": 20, "connectable": true },
      "connection": { "delay_ms": 2, "disconnect_delay_ms": 1 },
      "services": [ { "uuid": "180f", "characteristics": [
        { "uuid": "2a19", "properties": ["read"], "value": "2a" } ] } ] },
    { "identifier": "00000000-0000-4000-8000-000000005A02", "name": "Flaky", "latency_ms": 1,
      "advertising": { "interval_ms": 20, "connectable": true,
                       "manufacturer_data": ["4c000215", "590001", "ffff"] },
      "connection": { "fail_first": 1, "delay_ms": 2, "disconnect_delay_ms": 1 } }
  ]
})";

class Deployment : public bluez_test::BluezFixture {};

TEST_F(Deployment, SlowReadSucceedsWithinARaisedLimitAndFailsWithTheDefault) {
    startSimulator(writeWorld(kWorld));
    auto adapter = adapter_test::the_adapter();
    auto peripheral = find_one(adapter, kSlow);

    // bluetoothd reports the services once it has browsed the whole tree: three answers of 2.5 s here.
    Tavrin::TimeLimits patient;
    patient.service_discovery = 10s;
    patient.characteristic_discovery = 3s;
    patient.descriptor_discovery = 3s;
    patient.request = 3s;
    adapter.set_time_limits(patient);
    peripheral.connect();
    ASSERT_TRUE(peripheral.is_connected());
    EXPECT_EQ(peripheral.read("180f", "2a19"), "\x2a");

    Tavrin::TimeLimits quick = patient;
    quick.request = Tavrin::TimeLimits{}.request;
    peripheral.set_time_limits(quick);
    const auto took = timed([&] { EXPECT_THROW(peripheral.read("180f", "2a19"), Tavrin::Exception::OperationFailed); });
    EXPECT_LT(took, 2s);
    peripheral.disconnect();
}

TEST_F(Deployment, AbortedConnectIsTriedAgainAndEveryManufacturerEntryIsKept) {
    startSimulator(writeWorld(kWorld));
    ConsoleCapture console;
    auto adapter = adapter_test::the_adapter();
    auto peripheral = find_one(adapter, kFlaky);
    EXPECT_EQ(peripheral.manufacturer_data(),
              (std::map<uint16_t, std::string>{{0x004c, "\x02\x15"}, {0x0059, "\x01"}, {0xffff, ""}}));

    peripheral.connect();
    EXPECT_TRUE(peripheral.is_connected());
    EXPECT_EQ(console.count("le-connection-abort-by-local"), 1u);
    EXPECT_EQ(console.count("trying again (1 of 3)"), 1u);
    peripheral.disconnect();
}

}  // namespace
