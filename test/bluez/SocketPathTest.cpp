// The library over the BlueZ radio and bluetoothd's sockets: an exclusive subscription's values through its notify
// socket, the way it gives to another program's subscription, writes without response through the write socket,
// and the one case where the socket path loses what bluetoothd's signals carry.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <tavrin/Adapter.h>
#include <tavrin/Exceptions.h>

#include "BluezFixture.h"
#include "BusClient.h"
#include "support/AdapterHarness.h"
#include "support/Watch.h"

namespace {

using namespace std::chrono_literals;
using adapter_test::find_one;
using test_support::ConsoleCapture;

const std::string kDevice = "00:00:00:00:5C:01";
// A counter that notifies every 5 ms with an empty value among its values, a sink that keeps the last write, and a
// characteristic whose device notifies its value before it answers the subscription (two: one for each way).
const char* kWorld = R"({ "peripherals": [
    { "identifier": "00000000-0000-4000-8000-000000005C01", "name": "Socket", "latency_ms": 1,
      "advertising": { "interval_ms": 20, "connectable": true },
      "connection": { "delay_ms": 2, "disconnect_delay_ms": 1 },
      "services": [ { "uuid": "5c00", "characteristics": [
        { "uuid": "5c01", "properties": ["read", "notify"], "value": "00",
          "notifications": { "every_ms": 5, "values": ["01", "02", "", "03", "04", "05", "06", "07"] },
          "descriptors": [ { "uuid": "2902" } ] },
        { "uuid": "5c02", "properties": ["read", "write_without_response"], "value": "" },
        { "uuid": "5c03", "properties": ["read", "notify"], "value": "aa", "faults": { "subscribe": "notify_early" },
          "notifications": { "every_ms": 20, "values": ["01"] },
          "descriptors": [ { "uuid": "2902" } ] },
        { "uuid": "5c04", "properties": ["read", "notify"], "value": "aa", "faults": { "subscribe": "notify_early" },
          "notifications": { "every_ms": 20, "values": ["01"] },
          "descriptors": [ { "uuid": "2902" } ] } ] } ] } ] })";

// Collects a subscription's values.
struct Values {
    std::mutex mutex;
    std::condition_variable more;
    std::vector<std::string> got;

    std::function<void(std::string)> sink() {
        return [this](std::string value) {
            std::lock_guard<std::mutex> lock(mutex);
            got.push_back(std::move(value));
            more.notify_all();
        };
    }
    std::vector<std::string> wait(size_t n) {
        std::unique_lock<std::mutex> lock(mutex);
        more.wait_for(lock, 5s, [&] { return got.size() >= n; });
        return got;
    }
};

// The values of the counter's cycle follow each other: each is the one after the one before.
bool inCycle(const std::vector<std::string>& got) {
    static const std::vector<std::string> cycle{"\x01", "\x02", "", "\x03", "\x04", "\x05", "\x06", "\x07"};
    if (got.empty()) {
        return false;
    }
    auto at = std::find(cycle.begin(), cycle.end(), got.front());
    for (const std::string& value : got) {
        if (at == cycle.end() || *at != value) {
            return false;
        }
        at = std::next(at) == cycle.end() ? cycle.begin() : std::next(at);
    }
    return true;
}

std::string devicePath(const std::string& address) {
    std::string path = "/org/bluez/hci0/dev_" + address;
    std::replace(path.begin(), path.end(), ':', '_');
    return path;
}

class SocketPath : public bluez_test::BluezFixture {};

TEST_F(SocketPath, ExclusiveSubscriptionStreamsInOrderAndGivesWayToAnotherProgram) {
    startSimulator(writeWorld(kWorld));
    ConsoleCapture console;
    // Another program, which sees the device's objects come.
    bluez_test::BusClient other(busAddress());
    auto adapter = adapter_test::the_adapter();
    auto device = find_one(adapter, bluez_test::deviceAddress(kDevice));
    device.connect();

    // Alone: the values come through the socket, in order, the empty one among them.
    Values alone;
    device.notify("5c00", "5c01", alone.sink(), Tavrin::Delivery::Exclusive);
    const auto first = alone.wait(24);
    device.unsubscribe("5c00", "5c01");
    EXPECT_GE(first.size(), 24u);
    EXPECT_TRUE(inCycle(first));
    EXPECT_EQ(console.count("notify socket"), 0u);

    // Writes without response through the write socket keep their order: the sink keeps the last one.
    for (int i = 0; i < 1000; ++i) {
        device.write_command("5c00", "5c02", std::string(1, static_cast<char>('0' + i % 10)) + std::to_string(i));
    }
    EXPECT_TRUE(test_support::eventually([&] { return device.read("5c00", "5c02") == "9999"; }, 5s));
    EXPECT_EQ(console.count("write socket"), 0u);

    // Another program subscribed first: bluetoothd gives no socket, and the values come by its signals.
    const auto added = other.waitFor([&](const bluez_test::BusEvent& e) {
        return e.kind == bluez_test::BusEvent::Kind::Added && e.iface == "org.bluez.GattCharacteristic1" &&
               e.props.count("UUID") && e.props.at("UUID") == "00005c01-0000-1000-8000-00805f9b34fb" &&
               e.path.rfind(devicePath(bluez_test::deviceAddress(kDevice)), 0) == 0;
    });
    ASSERT_TRUE(added);
    const std::string counter = other.events()[*added].path;
    Values shared;
    ASSERT_EQ(other.call(counter, "org.bluez.GattCharacteristic1", "StartNotify").error, "");
    device.notify("5c00", "5c01", shared.sink(), Tavrin::Delivery::Exclusive);
    // Each value comes once per program subscribed (bluetoothd signals it once per session): as a repeat here.
    auto values = shared.wait(24);
    values.erase(std::unique(values.begin(), values.end()), values.end());
    EXPECT_TRUE(inCycle(values));
    EXPECT_EQ(console.count("gave no notify socket"), 1u);
    device.unsubscribe("5c00", "5c01");
    device.disconnect();
}

// A device that notifies before it answers the subscription: bluetoothd signals that value to a StartNotify
// session but drops it under AcquireNotify, whose socket does not exist yet. This is why the shared way is the
// default.
TEST_F(SocketPath, ValueSentBeforeTheSubscriptionIsAnsweredReachesOnlyTheSharedWay) {
    startSimulator(writeWorld(kWorld));
    auto adapter = adapter_test::the_adapter();
    auto device = find_one(adapter, bluez_test::deviceAddress(kDevice));
    device.connect();
    for (const auto delivery : {Tavrin::Delivery::Shared, Tavrin::Delivery::Exclusive}) {
        SCOPED_TRACE(delivery == Tavrin::Delivery::Shared ? "shared" : "exclusive");
        Values values;
        const std::string characteristic = delivery == Tavrin::Delivery::Shared ? "5c03" : "5c04";
        device.notify("5c00", characteristic, values.sink(), delivery);
        const auto got = values.wait(3);
        device.unsubscribe("5c00", characteristic);
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.front(), delivery == Tavrin::Delivery::Shared ? "\xaa" : "\x01");
    }
    device.disconnect();
}

}  // namespace
