// The library over the BlueZ radio and tavrin-bluez-sim, for what a real deployment needs: limits that a
// slow device fits in, a connect that bluetoothd aborted once, a link bluetoothd never signalled, every
// manufacturer entry, a service repeated behind bluetoothd's own, and service data beside a listing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include <tavrin/Adapter.h>
#include <tavrin/Exceptions.h>
#include <tavrin/TimeLimits.h>

#include "BluezFixture.h"
#include "BusClient.h"
#include "support/AdapterHarness.h"
#include "support/RepeatedServiceScenario.h"
#include "support/ScanOptionsScenario.h"
#include "support/ServiceDataScenario.h"
#include "support/Watch.h"

namespace {

using namespace std::chrono_literals;
using adapter_test::find_one;
using test_support::ConsoleCapture;
using test_support::timed;

// Where a device of the world is found: the world's own address against the simulator, its controller's on the
// real stack.
std::string at(const std::string& world_address) {
    return bluez_test::deviceAddress(world_address);
}
// The real stack's last controller: hciN of the N + 1 there are (the links the kernel lists are hciN:handle).
std::string lastController() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/class/bluetooth")) {
        count += entry.path().filename().string().find(':') == std::string::npos;
    }
    return "hci" + std::to_string(count - 1);
}
const std::string kSlow = "00:00:00:00:5A:01";
const std::string kFlaky = "00:00:00:00:5A:02";

// A device whose every answer takes 2.5 s (not a battery: a real bluetoothd reads a battery's level itself on
// every connection, ahead of the program), and one that carries three companies' data and whose first connection
// attempt the controller aborts.
const char* kWorld = R"({
  "bluetoothd": { "att_timeout_ms": 30000 },
  "peripherals": [
    { "identifier": "00000000-0000-4000-8000-000000005A01", "name": "Slow", "latency_ms": 2500,
      "advertising": { "interval_ms": 20, "connectable": true },
      "connection": { "delay_ms": 2, "disconnect_delay_ms": 1 },
      "services": [ { "uuid": "5a00", "characteristics": [
        { "uuid": "5a01", "properties": ["read"], "value": "2a" } ] } ] },
    { "identifier": "00000000-0000-4000-8000-000000005A02", "name": "Flaky", "latency_ms": 1,
      "advertising": { "interval_ms": 20, "connectable": true,
                       "manufacturer_data": ["4c000215", "590001", "ffff"] },
      "connection": { "fail_first": 1, "delay_ms": 2, "disconnect_delay_ms": 1 } }
  ]
})";

// The slow device alone.
const char* kSlowWorld = R"({ "peripherals": [
    { "identifier": "00000000-0000-4000-8000-000000005A01", "name": "Slow", "latency_ms": 2500,
      "advertising": { "interval_ms": 20, "connectable": true },
      "connection": { "delay_ms": 2, "disconnect_delay_ms": 1 },
      "services": [ { "uuid": "5a00", "characteristics": [
        { "uuid": "5a01", "properties": ["read"], "value": "2a" } ] } ] } ] })";

class Deployment : public bluez_test::BluezFixture {};

TEST_F(Deployment, SlowReadSucceedsWithinARaisedLimitAndFailsWithTheDefault) {
    startSimulator(writeWorld(kSlowWorld));
    auto adapter = adapter_test::the_adapter();
    auto peripheral = find_one(adapter, at(kSlow));

    // bluetoothd reports the services once it has browsed the whole tree: three answers of 2.5 s here.
    Tavrin::TimeLimits patient;
    patient.service_discovery = 10s;
    patient.characteristic_discovery = 3s;
    patient.descriptor_discovery = 3s;
    patient.request = 4s;  // 2.5 s of the device's, and a real bluetoothd's own round trips on a slow guest
    adapter.set_time_limits(patient);
    peripheral.connect();
    ASSERT_TRUE(peripheral.is_connected());
    EXPECT_EQ(peripheral.read("5a00", "5a01"), "\x2a");

    Tavrin::TimeLimits quick = patient;
    quick.request = Tavrin::TimeLimits{}.request;
    peripheral.set_time_limits(quick);
    const auto took = timed([&] { EXPECT_THROW(peripheral.read("5a00", "5a01"), Tavrin::Exception::OperationFailed); });
    EXPECT_LT(took, 2s);

    // Raised again, as far as a limit goes: the very next read waits for the device's answer (behind the one
    // given up on), not for bluetoothd's under the old limit.
    peripheral.set_time_limits(test_support::unbounded_limits());
    EXPECT_EQ(peripheral.read("5a00", "5a01"), "\x2a");
    peripheral.disconnect();
}

TEST_F(Deployment, AbortedConnectIsTriedAgainAndEveryManufacturerEntryIsKept) {
    startSimulator(writeWorld(kWorld));
    ConsoleCapture console;
    auto adapter = adapter_test::the_adapter();
    auto peripheral = find_one(adapter, at(kFlaky));
    EXPECT_EQ(peripheral.manufacturer_data(),
              (std::map<uint16_t, std::string>{{0x004c, "\x02\x15"}, {0x0059, "\x01"}, {0xffff, ""}}));

    peripheral.connect();
    EXPECT_TRUE(peripheral.is_connected());
    EXPECT_EQ(console.count("le-connection-abort-by-local"), 1u);
    EXPECT_EQ(console.count("trying again (1 of 3)"), 1u);
    peripheral.disconnect();
}

// bluetoothd may mark an LE link connected without signalling Connected (its ATT socket came up before it handled
// the kernel's connection event): the connection works all the same, and its end is seen whoever takes it down.
TEST_F(Deployment, LinkWhoseConnectedBluetoothdNeverSignalledWorksAndEnds) {
    startSimulator(writeWorld(R"({ "bluetoothd": { "disconnect_timer_ms": 10 },
      "peripherals": [
        { "identifier": "00000000-0000-4000-8000-000000005F01", "latency_ms": 1,
          "advertising": { "interval_ms": 20, "connectable": true },
          "connection": { "connected_signal": "silent", "delay_ms": 2, "disconnect_delay_ms": 1 },
          "services": [ { "uuid": "180f", "characteristics": [
            { "uuid": "2a19", "properties": ["read"], "value": "44" } ] } ] } ] })"));
    const std::string address = at("00:00:00:00:5F:01");
    std::string path = "/org/bluez/hci0/dev_" + address;
    std::replace(path.begin(), path.end(), ':', '_');
    auto adapter = adapter_test::the_adapter();
    auto peripheral = find_one(adapter, address);
    const auto connectAndRead = [&] {
        peripheral.connect();
        ASSERT_TRUE(peripheral.is_connected());
        EXPECT_EQ(peripheral.read("180f", "2a19"), "\x44");
    };

    connectAndRead();
    peripheral.disconnect();
    EXPECT_FALSE(peripheral.is_connected());
    EXPECT_THROW(peripheral.read("180f", "2a19"), Tavrin::Exception::NotConnected);

    // Again, and this time another program takes the link down (bluetoothd keeps it 2 s first).
    connectAndRead();
    bluez_test::BusClient other(busAddress());
    EXPECT_EQ(other.call(path, "org.bluez.Device1", "Disconnect").error, "");
    EXPECT_TRUE(test_support::eventually([&] { return !peripheral.is_connected(); }, 6s));
    EXPECT_THROW(peripheral.read("180f", "2a19"), Tavrin::Exception::NotConnected);
}

TEST_F(Deployment, ScanOptionsHoldWhileAnotherProgramScansWider) {
    startSimulator(writeWorld(R"({ "peripherals": [
      { "identifier": "00000000-0000-4000-8000-000000005B01",
        "advertising": { "interval_ms": 20, "rssi": -50, "service_uuids": ["180d"] } },
      { "identifier": "00000000-0000-4000-8000-000000005B02", "advertising": { "interval_ms": 20, "rssi": -50 } },
      { "identifier": "00000000-0000-4000-8000-000000005B03",
        "advertising": { "interval_ms": 20, "rssi": -90, "service_uuids": ["180d"] } } ] })"));
    // Another program scans for everything, every report: bluetoothd merges its filter with ours.
    bluez_test::BusClient other(busAddress());
    const std::map<std::string, sdbus::Variant> wide{{"Transport", sdbus::Variant(std::string("le"))},
                                                     {"DuplicateData", sdbus::Variant(true)}};
    ASSERT_EQ(other
                  .call("/org/bluez/hci0", "org.bluez.Adapter1", "SetDiscoveryFilter",
                        [&](sdbus::MethodCall& m) { m << wide; })
                  .error,
              "");
    ASSERT_EQ(other.call("/org/bluez/hci0", "org.bluez.Adapter1", "StartDiscovery").error, "");

    auto adapter = adapter_test::the_adapter();
    // btvirt's air has no signal strength, and a device is heard only when its advertising is switched on anew.
    const bool real = bluez_test::onRealStack();
    adapter_test::check_scan_options(adapter, {at("00:00:00:00:5B:01"), at("00:00:00:00:5B:02"),
                                               at("00:00:00:00:5B:03"), !real, real ? 2500ms : 600ms});
}

// bluetoothd serves its own Device Information service in front of the application's.
TEST_F(Deployment, CharacteristicIsFoundInEachServiceOfItsUuid) {
    startSimulator(writeWorld(adapter_test::kRepeatedServiceWorld));
    auto adapter = adapter_test::the_adapter();
    adapter_test::check_repeated_service(adapter, at("00:00:00:00:5D:01"));
}

TEST_F(Deployment, ListedServicesKeepTheirData) {
    startSimulator(writeWorld(adapter_test::kServiceDataWorld));
    auto adapter = adapter_test::the_adapter();
    adapter_test::check_listed_service_data(adapter, at("00:00:00:00:5E:01"), at("00:00:00:00:5E:02"));
}

TEST_F(Deployment, EachAdapterScansAndConnectsOnItsOwn) {
    // Both adapters hear the first device; only hci1 hears the second, which has a characteristic to read. On the
    // real stack every controller hears every device (one virtual air), and the second adapter is the last
    // controller, one that serves no device.
    startSimulator(
        writeWorld(R"({ "adapters": [ { "name": "hci0" }, { "name": "hci1", "address": "00:00:5E:00:53:11" } ],
      "peripherals": [
        { "identifier": "00000000-0000-4000-8000-000000005C01", "latency_ms": 1,
          "advertising": { "interval_ms": 20, "connectable": true } },
        { "identifier": "00000000-0000-4000-8000-000000005C02", "latency_ms": 1, "heard_by": ["hci1"],
          "advertising": { "interval_ms": 20, "connectable": true },
          "connection": { "delay_ms": 2, "disconnect_delay_ms": 1 },
          "services": [ { "uuid": "180f", "characteristics": [
            { "uuid": "2a19", "properties": ["read"], "value": "33" } ] } ] } ] })"));
    const bool real = bluez_test::onRealStack();
    const std::string both = at("00:00:00:00:5C:01");
    const std::string second = at("00:00:00:00:5C:02");
    const std::string other = real ? lastController() : "hci1";
    std::vector<std::string> heardByFirst{both};
    if (real) {
        heardByFirst.push_back(second);
        std::sort(heardByFirst.begin(), heardByFirst.end());
    }

    // Narrowed to the other adapter, the one handle there is scans there.
    ASSERT_EQ(::setenv("TAVRIN_BLUEZ_ADAPTER", other.c_str(), 1), 0);
    {
        auto adapters = Tavrin::Adapter::get_adapters();
        ASSERT_EQ(adapters.size(), 1u);
        EXPECT_NO_THROW(find_one(adapters[0], second));
    }
    ASSERT_EQ(::unsetenv("TAVRIN_BLUEZ_ADAPTER"), 0);

    auto all = Tavrin::Adapter::get_adapters();
    ASSERT_EQ(all.size(), real ? std::stoul(other.substr(3)) + 1 : 2u);
    std::vector<Tavrin::Adapter> adapters{all.front(), all.back()};
    EXPECT_EQ(adapters[0].identifier(), "hci0");
    EXPECT_EQ(adapters[0].address(), real ? "00:AA:01:00:00:00" : "00:00:5E:00:53:00");
    EXPECT_EQ(adapters[1].identifier(), other);
    if (!real) {
        EXPECT_EQ(adapters[1].address(), "00:00:5E:00:53:11");
    }
    ASSERT_TRUE(test_support::eventually([&] { return adapters[0].is_enabled() && adapters[1].is_enabled(); }));

    for (auto& adapter : adapters) {
        adapter.scan_for(real ? 2500 : 500);
    }
    EXPECT_EQ(adapter_test::addresses(adapters[0].scan_get_results()), heardByFirst);
    std::vector<std::string> heardBySecond{both, second};
    std::sort(heardBySecond.begin(), heardBySecond.end());
    EXPECT_EQ(adapter_test::addresses(adapters[1].scan_get_results()), heardBySecond);

    auto peripheral = find_one(adapters[1], second);
    peripheral.connect();
    EXPECT_EQ(peripheral.read("180f", "2a19"), "\x33");
    peripheral.disconnect();
}

}  // namespace

namespace {

// Connections made and ended over and over: each comes up, serves its requests and goes down, whether or not
// bluetoothd signalled the link's state (a real bluetoothd now and then marks a device connected without a word).
TEST_F(Deployment, ReconnectCyclesEachServeTheirRequests) {
    startSimulator(bluez_test::worldPath("plug_only.json"));
    auto adapter = adapter_test::the_adapter();
    auto plug = find_one(adapter, at("2D:5B:8C:0E:7A:13"));
    for (int cycle = 0; cycle < 6; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        ASSERT_NO_THROW(plug.connect());
        ASSERT_TRUE(plug.is_connected());
        EXPECT_EQ(plug.read("fb1e4001-54ae-4a28-9f74-dfccb248601d", "fb1e4003-54ae-4a28-9f74-dfccb248601d").size(), 3u);
        plug.disconnect();
        EXPECT_FALSE(plug.is_connected());
        EXPECT_THROW(plug.read("fb1e4001-54ae-4a28-9f74-dfccb248601d", "fb1e4003-54ae-4a28-9f74-dfccb248601d"),
                     Tavrin::Exception::NotConnected);
    }
}

}  // namespace
