// The BlueZ radio against tavrin-bluez-sim on a private bus, driven through the radio interface itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BluezFixture.h"
#include "RadioRecorder.h"
#include "bluez/BluezRadio.h"
#include "platform/Radio.h"

namespace {

using namespace std::chrono_literals;
using platform::CBManagerState;
using platform::CBUUID;
using platform::NSError;
using platform::radio::AttributeHandle;
using platform::radio::RadioCentral;

const std::string kPlugInWorld = "2D:5B:8C:0E:7A:13";
const std::string kFaultyInWorld = "00:00:00:00:0F:01";
// Where the device is found: the world's address against the simulator, its controller's on the real stack.
std::string plug() {
    return bluez_test::deviceAddress(kPlugInWorld);
}
std::string faulty() {
    return bluez_test::deviceAddress(kFaultyInWorld);
}
const CBUUID kPlugService = CBUUID::UUIDWithString("fb1e4001-54ae-4a28-9f74-dfccb248601d");
const CBUUID kCommand = CBUUID::UUIDWithString("fb1e4002-54ae-4a28-9f74-dfccb248601d");
const CBUUID kStatus = CBUUID::UUIDWithString("fb1e4003-54ae-4a28-9f74-dfccb248601d");

// The plug, advertising every field, and a device whose characteristics each answer one request badly.
const char* kWorld = R"({
  "adapter": { "state": "powered_on" },
  "peripherals": [
    { "identifier": "C3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13", "name": "Tavrin Plug", "model": "plug", "mtu": 185,
      "latency_ms": 1,
      "advertising": { "interval_ms": 20, "rssi": -58, "connectable": true, "tx_power": 4,
                       "manufacturer_data": "4c000215", "service_data": { "181a": "e803" },
                       "service_uuids": ["fb1e4001-54ae-4a28-9f74-dfccb248601d"] },
      "connection": { "delay_ms": 2, "disconnect_delay_ms": 1 } },
    { "identifier": "00000000-0000-4000-8000-000000000F01", "name": "Faulty", "latency_ms": 1,
      "advertising": { "interval_ms": 20, "rssi": -70 },
      "connection": { "delay_ms": 2, "disconnect_delay_ms": 1 },
      "services": [ { "uuid": "feed", "characteristics": [
        { "uuid": "f001", "properties": ["read", "write"], "value": "01", "faults": { "read": "error", "write": "error" } },
        { "uuid": "f002", "properties": ["read", "write", "notify"], "value": "02",
          "faults": { "read": "silent", "write": "silent", "subscribe": "silent" } },
        { "uuid": "f003", "properties": ["read"], "value": "03", "faults": { "read": "drop" } } ] } ] }
  ]
})";

using bluez_test::await;
using bluez_test::Outcome;
using bluez_test::Recorder;

class BluezRadioTest : public bluez_test::BluezFixture {
  protected:
    // The radio is made after the fixture has set the bus address.
    void open() {
        radio_ = platform::bluez::makeRadio();
        recorder_ = std::make_shared<Recorder>();
        session_ = radio_->openCentral(recorder_);
    }

    void TearDown() override {
        if (session_) {
            session_->close();
        }
        session_.reset();
        radio_.reset();
        BluezFixture::TearDown();
    }

    void scanUntilFound(const std::string& device) {
        session_->startScan(std::nullopt, false);
        ASSERT_TRUE(recorder_->waitFor([&] {
            return std::any_of(recorder_->reports.begin(), recorder_->reports.end(),
                               [&](const auto& r) { return r.device == device; });
        })) << "not found: "
            << device;
        session_->stopScan();
    }

    void connect(const std::string& device) {
        scanUntilFound(device);
        std::size_t seen = 0;
        {
            std::lock_guard<std::mutex> lock(recorder_->mutex);
            seen = recorder_->linkCount("connected " + device);
        }
        session_->connect(device);
        ASSERT_TRUE(recorder_->waitLink("connected " + device, seen));
    }

    // Discovers the whole tree; returns the characteristic handles by UUID.
    std::map<std::string, AttributeHandle> discover(const std::string& device) {
        std::map<std::string, AttributeHandle> handles;
        std::vector<platform::radio::ServiceInfo> services;
        const Outcome found = await([&](auto done) {
            session_->discoverServices(device, [done, &services](const NSError* e, const auto& list) {
                services = list;
                done(e, "");
            });
        });
        EXPECT_TRUE(found.answered && !found.error);
        for (const auto& service : services) {
            std::vector<platform::radio::CharacteristicInfo> characteristics;
            const Outcome chars = await([&](auto done) {
                session_->discoverCharacteristics(device, service.handle,
                                                  [done, &characteristics](const NSError* e, const auto& list) {
                                                      characteristics = list;
                                                      done(e, "");
                                                  });
            });
            EXPECT_TRUE(chars.answered && !chars.error);
            for (const auto& c : characteristics) {
                handles[c.uuid.UUIDString()] = c.handle;
            }
        }
        return handles;
    }

    Outcome read(const std::string& device, AttributeHandle handle) {
        return await([&](auto done) { session_->readCharacteristic(device, handle, done); });
    }
    Outcome write(const std::string& device, AttributeHandle handle, const std::string& value) {
        return await([&](auto done) {
            session_->writeCharacteristic(device, handle, value, [done](const NSError* e) { done(e, ""); });
        });
    }
    Outcome notify(const std::string& device, AttributeHandle handle, bool on) {
        return await(
            [&](auto done) { session_->setNotify(device, handle, on, [done](const NSError* e) { done(e, ""); }); });
    }

    std::unique_ptr<platform::radio::Radio> radio_;
    std::shared_ptr<Recorder> recorder_;
    std::shared_ptr<RadioCentral> session_;
};

TEST_F(BluezRadioTest, ScanReportsAdvertisementFieldsOnlyForMatchingDevicesDuringTheScan) {
    startSimulator(writeWorld(kWorld));
    open();
    ASSERT_TRUE(recorder_->waitState(CBManagerState::PoweredOn));
    EXPECT_EQ(session_->state(), CBManagerState::PoweredOn);

    // Filtered by the plug's service: the other device is never reported.
    session_->startScan(std::vector<CBUUID>{kPlugService}, true);
    ASSERT_TRUE(recorder_->waitFor([&] { return recorder_->reports.size() >= 3; }));
    session_->stopScan();
    const std::size_t after_stop = recorder_->reports.size();
    EXPECT_EQ(recorder_->reportsOf(faulty()), 0u);
    {
        std::lock_guard<std::mutex> lock(recorder_->mutex);
        const auto& report = recorder_->reports.front();
        EXPECT_EQ(report.device, plug());
        EXPECT_EQ(report.address, plug());
        EXPECT_EQ(report.name, "Tavrin Plug");
        EXPECT_EQ(report.rssi, -58);
        const auto& ad = report.advertisement;
        EXPECT_EQ(ad.localName, "Tavrin Plug");
        EXPECT_EQ(ad.txPowerLevel, 4);
        EXPECT_EQ(ad.manufacturerData, std::string("\x4c\x00\x02\x15", 4));
        ASSERT_TRUE(ad.serviceData.has_value());
        ASSERT_EQ(ad.serviceData->size(), 1u);
        EXPECT_EQ(ad.serviceData->front().first, CBUUID::UUIDWithString("181A"));
        EXPECT_EQ(ad.serviceData->front().second, std::string("\xe8\x03", 2));
        ASSERT_TRUE(ad.serviceUUIDs.has_value());
        EXPECT_EQ(*ad.serviceUUIDs, std::vector<CBUUID>{kPlugService});
    }

    // Unfiltered, without duplicates: each device once.
    session_->startScan(std::nullopt, false);
    ASSERT_TRUE(recorder_->waitFor([&] { return recorder_->reports.size() >= after_stop + 2; }));
    EXPECT_FALSE(recorder_->waitFor([&] { return recorder_->reports.size() > after_stop + 2; }, 300ms));
    session_->stopScan();
    EXPECT_EQ(recorder_->reportsOf(faulty()), 1u);
}

TEST_F(BluezRadioTest, ConnectDiscoverReadWriteDescriptorsAndTheMtu) {
    startSimulator(bluez_test::worldPath("plug_only.json"));
    open();
    ASSERT_TRUE(recorder_->waitState(CBManagerState::PoweredOn));
    EXPECT_EQ(session_->mtu(plug()), 23u);
    connect(plug());
    const auto handles = discover(plug());
    ASSERT_TRUE(handles.count(kStatus.UUIDString()) && handles.count(kCommand.UUIDString()));
    // The real bluetoothd exchanges its own MTU, whatever the world says.
    EXPECT_EQ(session_->mtu(plug()), bluez_test::onRealStack() ? 517u : 185u);
    const AttributeHandle status = handles.at(kStatus.UUIDString());
    const AttributeHandle command = handles.at(kCommand.UUIDString());

    const Outcome before = read(plug(), status);
    ASSERT_TRUE(before.answered);
    EXPECT_FALSE(before.error);
    EXPECT_EQ(before.value, std::string(3, '\0'));

    EXPECT_FALSE(write(plug(), command, "\t{\"switch\":1,\"timer\":30}").error);
    const Outcome after = read(plug(), status);
    ASSERT_TRUE(after.answered);
    EXPECT_EQ(after.value.substr(0, 1), "\x01");
    // The plug refuses what is not a command: bluetoothd's error, by name. (A real bluetoothd serving the plug
    // answers the write itself, before the device sees it, since the command also takes writes without response.)
    if (!bluez_test::onRealStack()) {
        const Outcome refused = write(plug(), command, "nonsense");
        ASSERT_TRUE(refused.answered && refused.error);
        EXPECT_EQ(refused.error->domain.rfind("org.bluez.Error.", 0), 0u) << refused.error->domain;
    }

    const Outcome sent = await([&](auto done) {
        session_->writeWithoutResponse(plug(), command, "\t{\"switch\":0}", [done](const NSError* e) { done(e, ""); });
    });
    EXPECT_TRUE(sent.answered && !sent.error);

    // The status descriptors: the user description reads as its text.
    std::vector<platform::radio::DescriptorInfo> descriptors;
    const Outcome listed = await([&](auto done) {
        session_->discoverDescriptors(plug(), status, [done, &descriptors](const NSError* e, const auto& list) {
            descriptors = list;
            done(e, "");
        });
    });
    ASSERT_TRUE(listed.answered && !listed.error);
    const auto description = std::find_if(descriptors.begin(), descriptors.end(),
                                          [](const auto& d) { return d.uuid == CBUUID::UUIDWithString("2901"); });
    ASSERT_NE(description, descriptors.end());
    const Outcome text = await([&](auto done) { session_->readDescriptor(plug(), description->handle, done); });
    EXPECT_EQ(text.value, "Status");
    // A descriptor write carries no write type: it is answered like any request.
    const Outcome described = await([&](auto done) {
        session_->writeDescriptor(plug(), description->handle, "Plug state", [done](const NSError* e) { done(e, ""); });
    });
    EXPECT_TRUE(described.answered);

    session_->cancelConnection(plug());
    EXPECT_TRUE(recorder_->waitLink("disconnected " + plug()));
    EXPECT_EQ(session_->mtu(plug()), 23u);
    // A request after the link went down is answered with an error.
    EXPECT_TRUE(read(plug(), status).error.has_value());
}

TEST_F(BluezRadioTest, GattErrorsSilenceAndLinkLossEachEndTheRequest) {
    startSimulator(writeWorld(kWorld));
    open();
    ASSERT_TRUE(recorder_->waitState(CBManagerState::PoweredOn));
    connect(faulty());
    const auto handles = discover(faulty());
    ASSERT_EQ(handles.size(), 3u);

    // error: bluetoothd's error name and text, as the console will show them.
    const Outcome refused_read = read(faulty(), handles.at("F001"));
    ASSERT_TRUE(refused_read.answered && refused_read.error);
    EXPECT_EQ(refused_read.error->domain.rfind("org.bluez.Error.", 0), 0u);
    EXPECT_FALSE(refused_read.error->description.empty());
    EXPECT_TRUE(write(faulty(), handles.at("F001"), "x").error.has_value());

    // drop: the request fails and the link is lost, with an error. Before the silent requests, which hold the
    // link's queue (one ATT request at a time) until bluetoothd's timeout.
    const Outcome dropped = read(faulty(), handles.at("F003"));
    ASSERT_TRUE(dropped.answered && dropped.error);
    EXPECT_TRUE(recorder_->waitFor([&] {
        return std::any_of(recorder_->links.begin(), recorder_->links.end(), [](const std::string& line) {
            return line.rfind("disconnected " + faulty() + " ", 0) == 0;
        });
    }));

    connect(faulty());
    discover(faulty());

    // silent: the bus's timeout comes after the backend's own limit has ended the wait, so it is not
    // answered at all (an answer would land on the caller's next request to that attribute).
    const AttributeHandle silent = handles.at("F002");
    auto silent_write = std::async(std::launch::async, [&] {
        return await(
            [&](auto done) {
                session_->writeCharacteristic(faulty(), silent, "x", [done](const NSError* e) { done(e, ""); });
            },
            2500ms);
    });
    auto silent_notify = std::async(std::launch::async, [&] {
        return await(
            [&](auto done) { session_->setNotify(faulty(), silent, true, [done](const NSError* e) { done(e, ""); }); },
            2500ms);
    });
    EXPECT_FALSE(await([&](auto done) { session_->readCharacteristic(faulty(), silent, done); }, 2500ms).answered);
    EXPECT_FALSE(silent_write.get().answered);
    EXPECT_FALSE(silent_notify.get().answered);
}

TEST_F(BluezRadioTest, NotificationsArriveInOrderOnlyWhileSubscribed) {
    startSimulator(bluez_test::worldPath("plug_only.json"));
    open();
    ASSERT_TRUE(recorder_->waitState(CBManagerState::PoweredOn));
    connect(plug());
    const auto handles = discover(plug());
    const AttributeHandle status = handles.at(kStatus.UUIDString());
    const AttributeHandle command = handles.at(kCommand.UUIDString());
    const std::string key = plug() + "/" + std::to_string(status);

    // Not subscribed: reads and changes bring no notification.
    EXPECT_FALSE(write(plug(), command, "\t{\"switch\":1,\"timer\":0}").error);
    EXPECT_FALSE(read(plug(), status).error);

    ASSERT_FALSE(notify(plug(), status, true).error);
    EXPECT_FALSE(write(plug(), command, "\t{\"switch\":1,\"timer\":2}").error);
    ASSERT_TRUE(recorder_->waitFor([&] { return recorder_->notifications.size() >= 3; }));
    // A read while subscribed answers the read; it is not a notification.
    EXPECT_FALSE(read(plug(), status).error);
    ASSERT_FALSE(notify(plug(), status, false).error);
    std::vector<std::pair<std::string, std::string>> seen;
    {
        std::lock_guard<std::mutex> lock(recorder_->mutex);
        seen = recorder_->notifications;
    }
    const std::vector<std::pair<std::string, std::string>> countdown = {
        {key, std::string("\x01\x02\x00", 3)}, {key, std::string("\x01\x01\x00", 3)}, {key, std::string(3, '\0')}};
    ASSERT_EQ(seen, countdown);
    // Unsubscribed: the next change is not delivered.
    EXPECT_FALSE(write(plug(), command, "\t{\"switch\":1,\"timer\":0}").error);
    EXPECT_FALSE(recorder_->waitFor([&] { return recorder_->notifications.size() > 3; }, 300ms));
}

// A counter notified every millisecond: values held back for the end of a loop pass keep their order, none is
// lost or doubled, and none comes after the disconnection that ends the stream.
TEST_F(BluezRadioTest, NotificationStreamKeepsItsOrderUpToTheDisconnection) {
    std::string values;  // the counter's values, low byte first
    for (unsigned i = 0; i < 2000; ++i) {
        char value[8];
        std::snprintf(value, sizeof value, "\"%02x%02x\"", i & 0xFFu, i >> 8);
        values += (i ? ", " : "") + std::string(value);
    }
    startSimulator(writeWorld(R"({ "adapter": { "state": "powered_on" }, "peripherals": [
      { "identifier": "C3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13", "model": "plug", "latency_ms": 1,
        "advertising": { "interval_ms": 20 }, "connection": { "delay_ms": 2, "disconnect_delay_ms": 1 },
        "services": [ { "uuid": "fb1e5001-54ae-4a28-9f74-dfccb248601d", "characteristics": [
          { "uuid": "fb1e5002-54ae-4a28-9f74-dfccb248601d", "properties": ["notify"],
            "notifications": { "every_ms": 1, "values": [)" +
                              values + "] } } ] } ] } ] }"));
    open();
    ASSERT_TRUE(recorder_->waitState(CBManagerState::PoweredOn));
    connect(plug());
    const AttributeHandle counter = discover(plug()).at("FB1E5002-54AE-4A28-9F74-DFCCB248601D");
    ASSERT_FALSE(notify(plug(), counter, true).error);
    ASSERT_TRUE(recorder_->waitFor([&] { return recorder_->notifications.size() >= 50; }));
    session_->cancelConnection(plug());
    ASSERT_TRUE(recorder_->waitLink("disconnected " + plug()));
    std::this_thread::sleep_for(20ms);  // room for a value that would wrongly come after it

    std::lock_guard<std::mutex> lock(recorder_->mutex);
    EXPECT_EQ(recorder_->order.back(), 'd');
    EXPECT_EQ(std::count(recorder_->order.begin(), recorder_->order.end(), 'd'), 1);
    const auto count = [](const std::string& v) {
        return static_cast<unsigned char>(v[0]) | static_cast<unsigned char>(v[1]) << 8;
    };
    const auto& seen = recorder_->notifications;
    for (std::size_t i = 1; i < seen.size(); ++i) {
        ASSERT_EQ(count(seen[i].second), count(seen[i - 1].second) + 1) << "at " << i;
    }
}

TEST_F(BluezRadioTest, ConnectionThatFailsOrIsCancelled) {
    startSimulator(bluez_test::worldPath("plug_connect_fails.json"));
    open();
    ASSERT_TRUE(recorder_->waitState(CBManagerState::PoweredOn));
    scanUntilFound(plug());
    session_->connect(plug());
    EXPECT_TRUE(recorder_->waitLink("failed " + plug() + " org.bluez.Error.Failed"));

    stopSimulator();
    ASSERT_TRUE(recorder_->waitState(CBManagerState::Resetting));
    recorder_->clearReports();
    startSimulator(writeWorld(R"({ "peripherals": [ { "identifier": "C3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13",
        "advertising": { "interval_ms": 20 }, "connection": { "outcome": "hang" } } ] })"));
    ASSERT_TRUE(recorder_->waitState(CBManagerState::PoweredOn));
    scanUntilFound(plug());
    session_->connect(plug());
    session_->cancelConnection(plug());
    EXPECT_TRUE(recorder_->waitLink("disconnected " + plug()));
}

TEST_F(BluezRadioTest, BluetoothdAbsentIsUnsupported) {
    // A bus without bluetoothd: no activation wait, the answer is at once.
    open();
    EXPECT_TRUE(recorder_->waitState(CBManagerState::Unsupported, 2s));
    // The radio notices bluetoothd arriving later.
    startSimulator(writeWorld(kWorld));
    EXPECT_TRUE(recorder_->waitState(CBManagerState::PoweredOn));
}

TEST_F(BluezRadioTest, BusThatCannotBeReachedIsUnsupported) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tavrin-test-bus", 1);
    open();
    EXPECT_TRUE(recorder_->waitState(CBManagerState::Unsupported, 5s));
}

TEST_F(BluezRadioTest, AdapterMissingPoweredOffOrDenied) {
    // bluetoothd without a controller.
    startSimulator(writeWorld(R"({ "adapter": { "state": "unsupported" }, "peripherals": [] })"));
    open();
    EXPECT_TRUE(recorder_->waitState(CBManagerState::Unsupported));

    stopSimulator();
    ASSERT_TRUE(recorder_->waitState(CBManagerState::Resetting));
    startSimulator(bluez_test::worldPath("bluetooth_off.json"));
    EXPECT_TRUE(recorder_->waitState(CBManagerState::PoweredOff));

    // A bus policy that refuses this user: bluetoothd cannot even be asked for its objects.
    stopSimulator();
    ASSERT_TRUE(recorder_->waitState(CBManagerState::Resetting));
    startSimulator(writeWorld(R"({ "adapter": { "state": "unauthorized" }, "peripherals": [] })"));
    EXPECT_TRUE(recorder_->waitState(CBManagerState::Unauthorized));
    EXPECT_EQ(radio_->authorization(), platform::CBManagerAuthorization::Denied);
    std::lock_guard<std::mutex> lock(recorder_->mutex);
    EXPECT_EQ(std::count(recorder_->states.begin(), recorder_->states.end(), CBManagerState::PoweredOn), 0);
}

TEST_F(BluezRadioTest, SimulatorKilledMidConnectionLosesTheLinkAndRecovers) {
    startSimulator(writeWorld(kWorld));
    open();
    ASSERT_TRUE(recorder_->waitState(CBManagerState::PoweredOn));
    connect(plug());
    discover(plug());

    simulator()->kill();
    EXPECT_TRUE(recorder_->waitFor([&] {
        return std::any_of(recorder_->links.begin(), recorder_->links.end(),
                           [](const std::string& line) { return line.rfind("disconnected " + plug() + " ", 0) == 0; });
    }));
    EXPECT_TRUE(recorder_->waitState(CBManagerState::Resetting));
    EXPECT_EQ(session_->mtu(plug()), 23u);

    // bluetoothd comes back: the radio is usable again without a restart.
    simulator_.reset();
    recorder_->clearReports();
    startSimulator(writeWorld(kWorld));
    ASSERT_TRUE(recorder_->waitState(CBManagerState::PoweredOn));
    connect(plug());
    EXPECT_FALSE(read(plug(), discover(plug()).at(kStatus.UUIDString())).error);
}

}  // namespace
