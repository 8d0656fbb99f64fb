// The BlueZ radio's state machines, driven in process through a scripted bus: no bus daemon, no simulator.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FakeBus.h"
#include "RadioRecorder.h"
#include "bluez/BluezRadio.h"
#include "platform/Trace.h"

namespace {

using namespace std::chrono_literals;
using bluez_test::FakeBus;
using bluez_test::FakeObjects;
using bluez_test::Outcome;
using bluez_test::Recorder;
using platform::CBManagerState;
using platform::CBUUID;
using platform::NSError;
using platform::bluez::InterfaceMap;
using platform::bluez::PropMap;
using platform::radio::RadioCentral;
using sdbus::Variant;

const std::string kDevice = "AA:BB:CC:DD:EE:01";
const std::string kOther = "AA:BB:CC:DD:EE:02";
const char* const kDeviceIface = "org.bluez.Device1";
const char* const kCharIface = "org.bluez.GattCharacteristic1";
const std::string kServiceX = "0000aaa0-0000-1000-8000-00805f9b34fb";
const std::string kServiceY = "0000bbb0-0000-1000-8000-00805f9b34fb";
constexpr uint16_t kChar = 0x0010;  // the characteristic of the service at 0x000f

Variant bytes(std::initializer_list<uint8_t> values) {
    return Variant(std::vector<uint8_t>(values));
}

struct Central {
    std::shared_ptr<Recorder> events = std::make_shared<Recorder>();
    std::shared_ptr<RadioCentral> radio;
};

class BluezRadioUnit : public ::testing::Test {
  protected:
    void SetUp() override {
        devicePath_ = objects_.device(kDevice);
        otherPath_ = objects_.device(kOther);
        charPath_ = objects_.service(devicePath_, 0x000f, kServiceX, "0000aaa1-0000-1000-8000-00805f9b34fb");
    }

    void TearDown() override {
        for (auto& central : centrals_) {
            central->radio->close();
        }
        radio_.reset();
    }

    // The radio comes up over the scripted bus, with bluetoothd there and listing objects_.
    void boot() {
        radio_ = platform::bluez::makeRadio([bus = bus_] { return bus; });
        const auto owner = bus_->take("GetNameOwner");
        ASSERT_TRUE(owner);
        bus_->reply(owner->id, {Variant(std::string(FakeBus::kOwner))});
        list();
    }

    void list() {
        const auto listing = bus_->take("GetManagedObjects");
        ASSERT_TRUE(listing);
        bus_->reply(listing->id, {objects_.variant()});
    }

    Central& open() {
        auto central = std::make_unique<Central>();
        central->radio = radio_->openCentral(central->events);
        EXPECT_TRUE(central->events->waitState(CBManagerState::PoweredOn));
        centrals_.push_back(std::move(central));
        return *centrals_.back();
    }

    void connect(Central& central) {
        const std::size_t before = central.events->linkCount("connected " + kDevice);
        central.radio->connect(kDevice);
        const auto call = bus_->take("Connect");
        ASSERT_TRUE(call);
        bus_->propertiesChanged(devicePath_, kDeviceIface, {{"Connected", Variant(true)}});
        bus_->reply(call->id);
        ASSERT_TRUE(central.events->waitLink("connected " + kDevice, before));
    }

    std::future<Outcome> read(Central& central) {
        auto promise = std::make_shared<std::promise<Outcome>>();
        auto answer = promise->get_future();
        central.radio->readCharacteristic(kDevice, kChar, [promise](const NSError* error, const std::string& value) {
            promise->set_value(Outcome{true, error ? std::optional<NSError>(*error) : std::nullopt, value});
        });
        return answer;
    }

    // Sets notifications on or off and waits for the answer; `start` scripts bluetoothd meanwhile.
    std::future<Outcome> notify(Central& central, bool on) {
        auto promise = std::make_shared<std::promise<Outcome>>();
        auto answer = promise->get_future();
        central.radio->setNotify(kDevice, kChar, on, [promise](const NSError* error) {
            promise->set_value(Outcome{true, error ? std::optional<NSError>(*error) : std::nullopt, {}});
        });
        return answer;
    }

    // Booted, connected and subscribed to the characteristic.
    Central& subscribed() {
        boot();
        Central& central = open();
        connect(central);
        auto on = notify(central, true);
        bus_->reply(bus_->take("StartNotify")->id);
        EXPECT_EQ(on.wait_for(3s), std::future_status::ready);
        return central;
    }

    void notified(std::initializer_list<uint8_t> value) {
        bus_->propertiesChanged(charPath_, kCharIface, {{"Value", bytes(value)}});
    }

    static std::vector<std::string> values(Recorder& events) {
        std::lock_guard<std::mutex> lock(events.mutex);
        std::vector<std::string> all;
        for (const auto& [key, value] : events.notifications) {
            all.push_back(value);
        }
        return all;
    }

    static bool waitValues(Recorder& events, std::size_t count) {
        return events.waitFor([&] { return events.notifications.size() >= count; });
    }

    std::shared_ptr<FakeBus> bus_ = std::make_shared<FakeBus>();
    FakeObjects objects_;
    std::string devicePath_, otherPath_, charPath_;
    std::unique_ptr<platform::radio::Radio> radio_;
    std::vector<std::unique_ptr<Central>> centrals_;
};

// bluetoothd sends a read's own value as a Value change just before the reply: that one is not a notification,
// but a change that came while the read was under way is, and so is the same value once no read waits.
TEST_F(BluezRadioUnit, ReadsOwnValueChangeIsNoNotification) {
    Central& central = subscribed();

    auto first = read(central);
    auto call = bus_->take("ReadValue");
    ASSERT_TRUE(call);
    notified({1});
    bus_->reply(call->id, {bytes({1})});
    ASSERT_EQ(first.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(first.get().value, "\x01");

    auto second = read(central);
    call = bus_->take("ReadValue");
    notified({2});
    notified({3});
    bus_->reply(call->id, {bytes({3})});
    ASSERT_EQ(second.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(second.get().value, "\x03");

    notified({3});
    ASSERT_TRUE(waitValues(*central.events, 2));
    EXPECT_EQ(values(*central.events), (std::vector<std::string>{"\x02", "\x03"}));
}

// Two centrals share bluetoothd's one notify session: one StartNotify, a value for each, and StopNotify only
// when the last one leaves.
TEST_F(BluezRadioUnit, CentralsShareOneNotifySession) {
    boot();
    Central& a = open();
    Central& b = open();
    connect(a);
    connect(b);
    auto onA = notify(a, true);
    const auto start = bus_->take("StartNotify");
    ASSERT_TRUE(start);
    auto onB = notify(b, true);
    bus_->reply(start->id);
    ASSERT_EQ(onA.wait_for(3s), std::future_status::ready);
    ASSERT_EQ(onB.wait_for(3s), std::future_status::ready);
    EXPECT_FALSE(onB.get().error);
    EXPECT_EQ(bus_->count("StartNotify"), 1u);

    notified({7});
    ASSERT_TRUE(waitValues(*a.events, 1));
    ASSERT_TRUE(waitValues(*b.events, 1));

    auto offA = notify(a, false);
    ASSERT_EQ(offA.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(bus_->count("StopNotify"), 0u);
    notified({8});
    ASSERT_TRUE(waitValues(*b.events, 2));
    EXPECT_EQ(values(*a.events).size(), 1u);

    auto offB = notify(b, false);
    const auto stop = bus_->take("StopNotify");
    ASSERT_TRUE(stop);
    bus_->reply(stop->id);
    ASSERT_EQ(offB.wait_for(3s), std::future_status::ready);
}

// A read the bus gave up on is never answered (its caller's own limit has ended its wait), and leaves nothing
// behind: the next read gets its own answer, and a later Value change is a notification at once.
TEST_F(BluezRadioUnit, ReplyAfterTheCallerGaveUpIsDropped) {
    Central& central = subscribed();

    auto abandoned = read(central);
    const auto first = bus_->take("ReadValue");
    bus_->fail(first->id, "org.freedesktop.DBus.Error.NoReply", "Did not receive a reply.");
    auto next = read(central);
    const auto second = bus_->take("ReadValue");
    bus_->reply(second->id, {bytes({5})});
    ASSERT_EQ(next.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(next.get().value, "\x05");
    // Dropped without an answer: its completion is let go uncalled.
    ASSERT_EQ(abandoned.wait_for(3s), std::future_status::ready);
    EXPECT_THROW(abandoned.get(), std::future_error);

    notified({6});
    ASSERT_TRUE(waitValues(*central.events, 1));
    EXPECT_EQ(values(*central.events), std::vector<std::string>{"\x06"});
}

// bluetoothd has one discovery filter per client: the union of what the scanning centrals want, none once one
// wants everything; each central still hears only the devices it asked for.
TEST_F(BluezRadioUnit, DiscoveryFiltersMergeAndReportsAreFilteredAgain) {
    boot();
    Central& x = open();
    Central& y = open();
    const auto uuidsOf = [](const bluez_test::FakeBus::Call& call) {
        const auto& filter = std::get<PropMap>(call.args.at(0));
        const auto it = filter.find("UUIDs");
        return it == filter.end() ? std::vector<std::string>{} : it->second.get<std::vector<std::string>>();
    };

    x.radio->startScan(std::vector<CBUUID>{CBUUID::UUIDWithString("aaa0")}, true);
    auto filter = bus_->take("SetDiscoveryFilter");
    ASSERT_TRUE(filter);
    EXPECT_EQ(uuidsOf(*filter), std::vector<std::string>{kServiceX});
    bus_->reply(filter->id);
    bus_->reply(bus_->take("StartDiscovery")->id);

    y.radio->startScan(std::vector<CBUUID>{CBUUID::UUIDWithString("bbb0")}, true);
    filter = bus_->take("SetDiscoveryFilter");
    ASSERT_TRUE(filter);
    EXPECT_EQ(uuidsOf(*filter), (std::vector<std::string>{kServiceX, kServiceY}));
    bus_->reply(filter->id);

    bus_->propertiesChanged(devicePath_, kDeviceIface,
                            {{"RSSI", Variant(int16_t{-50})}, {"UUIDs", Variant(std::vector<std::string>{kServiceX})}});
    bus_->propertiesChanged(otherPath_, kDeviceIface,
                            {{"RSSI", Variant(int16_t{-60})}, {"UUIDs", Variant(std::vector<std::string>{kServiceY})}});
    ASSERT_TRUE(y.events->waitFor([&] { return !y.events->reports.empty(); }));
    ASSERT_TRUE(x.events->waitFor([&] { return !x.events->reports.empty(); }));
    EXPECT_EQ(x.events->reportsOf(kDevice), 1u);
    EXPECT_EQ(x.events->reportsOf(kOther), 0u);
    EXPECT_EQ(y.events->reportsOf(kOther), 1u);
    EXPECT_EQ(y.events->reportsOf(kDevice), 0u);
    EXPECT_EQ(bus_->count("StartDiscovery"), 1u);

    Central& all = open();
    all.radio->startScan(std::nullopt, true);
    filter = bus_->take("SetDiscoveryFilter");
    ASSERT_TRUE(filter);
    EXPECT_TRUE(uuidsOf(*filter).empty());
    bus_->reply(filter->id);

    x.radio->stopScan();
    y.radio->stopScan();
    all.radio->stopScan();
    EXPECT_TRUE(bus_->take("StopDiscovery"));
}

// bluetoothd leaving the bus ends every link and says resetting; when it comes back its objects are listed anew
// and a device can be connected again.
TEST_F(BluezRadioUnit, BluetoothdLeavesAndComesBack) {
    boot();
    Central& central = open();
    connect(central);

    bus_->signal("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged",
                 {Variant(std::string("org.bluez")), Variant(std::string(FakeBus::kOwner)), Variant(std::string())});
    ASSERT_TRUE(central.events->waitState(CBManagerState::Resetting));
    EXPECT_EQ(central.events->linkCount("disconnected " + kDevice + " CBErrorDomain"), 1u);

    bus_->signal("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged",
                 {Variant(std::string("org.bluez")), Variant(std::string()), Variant(std::string(FakeBus::kOwner))});
    list();
    ASSERT_TRUE(central.events->waitState(CBManagerState::PoweredOn));
    connect(central);
}

// The adapter unplugged mid-scan: resetting; plugged back, the scan is asked of bluetoothd again.
TEST_F(BluezRadioUnit, AdapterVanishesMidScan) {
    boot();
    Central& central = open();
    central.radio->startScan(std::nullopt, true);
    bus_->reply(bus_->take("SetDiscoveryFilter")->id);
    bus_->reply(bus_->take("StartDiscovery")->id);

    bus_->signal(
        FakeBus::kOwner, "/", "org.freedesktop.DBus.ObjectManager", "InterfacesRemoved",
        {Variant(sdbus::ObjectPath("/org/bluez/hci0")), Variant(std::vector<std::string>{"org.bluez.Adapter1"})});
    ASSERT_TRUE(central.events->waitState(CBManagerState::Resetting));

    const auto adapter = objects_.objects.at(sdbus::ObjectPath("/org/bluez/hci0"));
    bus_->signal(FakeBus::kOwner, "/", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded",
                 {Variant(sdbus::ObjectPath("/org/bluez/hci0")), Variant(adapter)});
    ASSERT_TRUE(central.events->waitState(CBManagerState::PoweredOn));
    EXPECT_TRUE(bus_->take("SetDiscoveryFilter"));
}

// A device bluetoothd removes while a read waits: the read fails, the link is reported lost, then the device
// forgotten, and the reply that may still come finds nobody.
TEST_F(BluezRadioUnit, DeviceRemovedMidCall) {
    boot();
    Central& central = open();
    connect(central);
    auto pending = read(central);
    const auto call = bus_->take("ReadValue");
    ASSERT_TRUE(call);

    bus_->signal(FakeBus::kOwner, "/", "org.freedesktop.DBus.ObjectManager", "InterfacesRemoved",
                 {Variant(sdbus::ObjectPath(devicePath_)), Variant(std::vector<std::string>{kDeviceIface})});
    ASSERT_EQ(pending.wait_for(3s), std::future_status::ready);
    EXPECT_TRUE(pending.get().error);
    EXPECT_TRUE(central.events->waitLink("disconnected " + kDevice + " CBErrorDomain"));
    EXPECT_TRUE(central.events->waitLink("forgot " + kDevice));
    {
        std::lock_guard<std::mutex> lock(central.events->mutex);
        EXPECT_EQ(central.events->links.back(), "forgot " + kDevice);
    }

    bus_->reply(call->id, {bytes({1})});
    central.radio->connect(kDevice);
    EXPECT_TRUE(central.events->waitLink("failed " + kDevice + " CBErrorDomain"));
}

// Only bluetoothd's own signals count, and only the bus's word on who owns its name: another client on the bus
// can send any signal, unicast to us, past every match rule.
TEST_F(BluezRadioUnit, SignalsFromAnyoneButBluetoothdAreIgnored) {
    Central& central = subscribed();
    const std::string forger = ":1.99";
    bus_->signal(forger, charPath_, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                 {Variant(std::string(kCharIface)), Variant(PropMap{{"Value", bytes({0x66})}}),
                  Variant(std::vector<std::string>{})});
    bus_->signal(forger, devicePath_, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                 {Variant(std::string(kDeviceIface)), Variant(PropMap{{"Connected", Variant(false)}}),
                  Variant(std::vector<std::string>{})});
    bus_->signal(forger, "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged",
                 {Variant(std::string("org.bluez")), Variant(std::string(FakeBus::kOwner)), Variant(std::string())});
    central.radio->startScan(std::nullopt, true);
    bus_->reply(bus_->take("SetDiscoveryFilter")->id);
    bus_->reply(bus_->take("StartDiscovery")->id);
    InterfaceMap ghost{{kDeviceIface, PropMap{{"Address", Variant(std::string("66:66:66:66:66:66"))},
                                              {"RSSI", Variant(int16_t{-40})}}}};
    bus_->signal(forger, "/", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded",
                 {Variant(sdbus::ObjectPath("/org/bluez/hci0/dev_66_66_66_66_66_66")), Variant(ghost)});

    // bluetoothd's own word comes after all of them, on the same queue.
    notified({1});
    ASSERT_TRUE(waitValues(*central.events, 1));
    EXPECT_EQ(values(*central.events), std::vector<std::string>{"\x01"});
    EXPECT_EQ(central.events->linkCount("disconnected " + kDevice + " CBErrorDomain"), 0u);
    EXPECT_EQ(central.events->reportsOf("66:66:66:66:66:66"), 0u);
    EXPECT_EQ(central.radio->state(), CBManagerState::PoweredOn);
}

// A connect given up on (the library cancels after its own limit) and tried again is a clean attempt of its
// own: a new Connect, and the old one's late "canceled" answer is not the new attempt's.
TEST_F(BluezRadioUnit, ConnectRetriedAfterCancelIsACleanAttempt) {
    boot();
    Central& central = open();
    central.radio->connect(kDevice);
    const auto first = bus_->take("Connect");
    ASSERT_TRUE(first);
    central.radio->cancelConnection(kDevice);
    bus_->reply(bus_->take("Disconnect")->id);
    ASSERT_TRUE(central.events->waitLink("disconnected " + kDevice));

    central.radio->connect(kDevice);
    const auto second = bus_->take("Connect");
    ASSERT_TRUE(second);
    bus_->fail(first->id, "org.bluez.Error.Failed", "br-connection-canceled");
    bus_->propertiesChanged(devicePath_, kDeviceIface, {{"Connected", Variant(true)}});
    bus_->reply(second->id);
    ASSERT_TRUE(central.events->waitLink("connected " + kDevice));
    EXPECT_EQ(central.events->linkCount("failed " + kDevice + " org.bluez.Error.Failed"), 0u);
}

// Only bluetoothd's own objects count: an adapter elsewhere in its listing is not chosen over hci0.
TEST_F(BluezRadioUnit, AdapterOutsideBluezTreeIsNotChosen) {
    objects_.objects[sdbus::ObjectPath("/net/hci0")]["org.bluez.Adapter1"] = PropMap{{"Powered", Variant(false)}};
    boot();
    Central& central = open();
    EXPECT_EQ(central.radio->state(), CBManagerState::PoweredOn);
}

// TAVRIN_BLUEZ_TRACE=1: a line for each call, reply, error and signal, and for the radio's state changes.
TEST_F(BluezRadioUnit, TraceTellsWhatTheRadioDoes) {
    std::mutex mutex;
    std::vector<std::string> lines;  // guarded by mutex
    platform::TraceSetSink([&](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(line);
    });
    ::setenv("TAVRIN_BLUEZ_TRACE", "1", 1);
    boot();
    ::unsetenv("TAVRIN_BLUEZ_TRACE");
    Central& central = open();
    connect(central);
    auto failed = read(central);
    bus_->fail(bus_->take("ReadValue")->id, "org.bluez.Error.Failed", "Not connected");
    ASSERT_EQ(failed.wait_for(3s), std::future_status::ready);
    TearDown();
    centrals_.clear();
    platform::TraceSetSink(nullptr);

    const auto has = [&](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(has("BlueZ: call org.freedesktop.DBus.GetNameOwner /org/freedesktop/DBus"));
    EXPECT_TRUE(has("BlueZ: reply GetManagedObjects /"));
    EXPECT_TRUE(has("BlueZ: state unknown -> powered on"));
    EXPECT_TRUE(has("BlueZ: signal PropertiesChanged " + devicePath_ + " from :1.7"));
    EXPECT_TRUE(has("BlueZ: link " + kDevice + ": connected"));
    EXPECT_TRUE(has("BlueZ: error ReadValue " + charPath_ + ": org.bluez.Error.Failed: Not connected"));
}

}  // namespace
