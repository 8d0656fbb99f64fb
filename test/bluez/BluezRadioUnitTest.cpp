// The BlueZ radio's state machines, driven in process through a scripted bus: no bus daemon, no simulator.
#include "BluezRadioUnit.h"
#include "support/Watch.h"

namespace {

using namespace bluez_unit;

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

    // A paired device's UUIDs are the services bluetoothd keeps for it, not what it advertises: the filter still
    // matches it, and its report carries no advertised services.
    bus_->propertiesChanged(otherPath_, kDeviceIface, {{"Paired", Variant(true)}, {"RSSI", Variant(int16_t{-61})}});
    ASSERT_TRUE(y.events->waitFor([&] { return y.events->reports.size() == 2u; }));
    {
        std::lock_guard<std::mutex> lock(y.events->mutex);
        EXPECT_TRUE(y.events->reports.front().advertisement.serviceUUIDs);
        EXPECT_FALSE(y.events->reports.back().advertisement.serviceUUIDs);
    }

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
    EXPECT_EQ(central.events->countLinks("disconnected " + kDevice + " CBErrorDomain"), 1u);

    bus_->signal("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged",
                 {Variant(std::string("org.bluez")), Variant(std::string()), Variant(std::string(FakeBus::kOwner))});
    list();
    ASSERT_TRUE(central.events->waitState(CBManagerState::PoweredOn));
    connect(central);
}

// The adapter unplugged mid-scan: resetting, and the scan ends, as the platform's scans do when Bluetooth goes;
// plugged back, nothing is asked of bluetoothd until the central scans again.
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
    EXPECT_FALSE(bus_->take("SetDiscoveryFilter", 300ms));
    central.radio->startScan(std::nullopt, true);
    EXPECT_TRUE(bus_->take("SetDiscoveryFilter"));
}

// A device bluetoothd removes while a read waits: the read fails, the link is reported lost, then the device
// forgotten, and the reply that may still come finds nobody. A later connect finds the device again.
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

    // A connect now has bluetoothd look for the device (it forgot it, with any bond), and connects once it has
    // an object for it again; the discovery ends with that, or with the last central that wanted it.
    const auto discovering = [&] {
        if (const auto filter = bus_->take("SetDiscoveryFilter", 300ms)) {
            bus_->reply(filter->id);
        }
        bus_->reply(bus_->take("StartDiscovery")->id);
    };
    {
        Central& quitter = open();
        quitter.radio->connect(kDevice);
        discovering();
        quitter.radio->close();
        const auto stop = bus_->take("StopDiscovery");
        ASSERT_TRUE(stop);
        bus_->reply(stop->id);
    }
    central.radio->connect(kDevice);
    discovering();
    EXPECT_EQ(bus_->count("Connect"), 1u);
    InterfaceMap seen{{kDeviceIface, PropMap{{"Address", Variant(kDevice)}, {"RSSI", Variant(int16_t{-40})}}}};
    bus_->signal(FakeBus::kOwner, "/", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded",
                 {Variant(sdbus::ObjectPath(devicePath_)), Variant(seen)});
    const auto again = bus_->take("Connect");
    ASSERT_TRUE(again);
    EXPECT_TRUE(bus_->take("StopDiscovery"));
    bus_->propertiesChanged(devicePath_, kDeviceIface, {{"Connected", Variant(true)}});
    bus_->reply(again->id);
    EXPECT_TRUE(central.events->waitLink("connected " + kDevice, 1));
    EXPECT_EQ(central.events->countLinks("failed " + kDevice + " CBErrorDomain"), 0u);
}

// bluetoothd learns a device's identity address and changes Address on the same object: the link under the old
// address is reported lost and its read fails, and the device answers to its new address.
TEST_F(BluezRadioUnit, AddressChangedOnTheSameObjectEndsTheOldLink) {
    boot();
    Central& central = open();
    connect(central);
    auto pending = read(central);
    ASSERT_TRUE(bus_->take("ReadValue"));

    const std::string identity = "C0:FF:EE:00:00:01";
    bus_->propertiesChanged(devicePath_, kDeviceIface, {{"Address", Variant(identity)}});
    ASSERT_EQ(pending.wait_for(3s), std::future_status::ready);
    EXPECT_TRUE(pending.get().error);
    EXPECT_TRUE(central.events->waitLink("disconnected " + kDevice + " CBErrorDomain"));

    central.radio->connect(identity);
    const auto again = bus_->take("Connect");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->path, devicePath_);
}

// The bus's policy may refuse one call and allow the rest: the refused call fails alone, and the state and the
// link stay as they were.
TEST_F(BluezRadioUnit, RefusedCallFailsThatCallAlone) {
    boot();
    Central& central = open();
    connect(central);
    auto refused = read(central);
    bus_->fail(bus_->take("ReadValue")->id, "org.freedesktop.DBus.Error.AccessDenied", "Rejected send message");
    ASSERT_EQ(refused.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(refused.get().error->domain, "org.freedesktop.DBus.Error.AccessDenied");

    auto next = read(central);
    bus_->reply(bus_->take("ReadValue")->id, {bytes({7})});
    ASSERT_EQ(next.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(next.get().value, "\x07");
    EXPECT_EQ(central.radio->state(), CBManagerState::PoweredOn);
    EXPECT_EQ(radio_->authorization(), platform::CBManagerAuthorization::AllowedAlways);
    EXPECT_EQ(central.events->countLinks("disconnected " + kDevice + " CBErrorDomain"), 0u);
}

// Writes to one attribute go to bluetoothd one at a time, each after the answer to the write with response before
// it, also when that answer comes after the caller's own limit: bluetoothd would refuse them (InProgress) until then.
TEST_F(BluezRadioUnit, WritesToOneAttributeWaitForBluetoothdsAnswer) {
    boot();
    Central& central = open();
    connect(central);
    const auto write = [&](const char* type, std::string value) {
        auto promise = std::make_shared<std::promise<Outcome>>();
        auto answer = promise->get_future();
        auto done = [promise](const NSError* error) {
            promise->set_value(Outcome{true, error ? std::optional<NSError>(*error) : std::nullopt, {}});
        };
        if (std::string(type) == "command") {
            central.radio->writeWithoutResponse(kDevice, kChar, value, done);
        } else {
            central.radio->writeCharacteristic(kDevice, kChar, value, done);
        }
        return answer;
    };
    auto slow = write("request", "a");
    const auto first = bus_->take("WriteValue");
    ASSERT_TRUE(first);
    auto second = write("request", "b");
    auto third = write("command", "c");
    EXPECT_FALSE(bus_->take("WriteValue", 1200ms)) << "sent while the attribute is busy";
    EXPECT_FALSE(answered(slow)) << "the caller's limit passed: it hears nothing";

    const auto bytes = [](const FakeBus::Call& call) {
        return std::get<platform::bluez::ByteArray>(call.args.at(0)).bytes;
    };
    bus_->reply(first->id);
    const auto command = bus_->take("WriteValue");
    ASSERT_TRUE(command);
    EXPECT_EQ(bytes(*command), "c") << "a write whose caller gave up while it waited its turn is not sent";
    bus_->reply(command->id);
    ASSERT_EQ(third.wait_for(3s), std::future_status::ready);
    EXPECT_FALSE(third.get().error);
    EXPECT_FALSE(answered(second));

    auto fourth = write("request", "d");
    auto fifth = write("request", "e");
    const auto d = bus_->take("WriteValue");
    ASSERT_TRUE(d);
    EXPECT_FALSE(bus_->take("WriteValue", 100ms));
    bus_->reply(d->id);
    const auto e = bus_->take("WriteValue");
    ASSERT_TRUE(e);
    EXPECT_EQ(bytes(*e), "e");
    bus_->reply(e->id);
    ASSERT_EQ(fifth.wait_for(3s), std::future_status::ready);
    EXPECT_FALSE(fourth.get().error);
    EXPECT_FALSE(fifth.get().error);
}

// bluetoothd refuses to start discovery (the controller said no, or the filter failed): the scan is asked for again
// after a while, and after the third refusal the central hears its scan ended.
TEST_F(BluezRadioUnit, RefusedDiscoveryIsAskedAgainThenTheScanEnds) {
    boot();
    Central& central = open();
    central.radio->startScan(std::nullopt, true);
    central.radio->connect("66:66:66:66:66:66");  // unknown to bluetoothd: waits for the discovery to see it
    bus_->reply(bus_->take("SetDiscoveryFilter")->id);
    bus_->fail(bus_->take("StartDiscovery")->id, "org.bluez.Error.InProgress", "Operation already in progress");
    EXPECT_TRUE(bus_->take("StopDiscovery")) << "a session of ours that may be left is ended first";
    bus_->fail(bus_->take("SetDiscoveryFilter")->id, "org.bluez.Error.Failed", "Operation failed");
    bus_->take("StopDiscovery", 3s);
    bus_->reply(bus_->take("SetDiscoveryFilter")->id);
    bus_->fail(bus_->take("StartDiscovery")->id, "org.bluez.Error.InProgress", "Operation already in progress");
    EXPECT_TRUE(central.events->waitLink("scan ended org.bluez.Error.InProgress"));
    EXPECT_TRUE(central.events->waitLink("failed 66:66:66:66:66:66 org.bluez.Error.InProgress"));
    EXPECT_FALSE(bus_->take("SetDiscoveryFilter", 1500ms)) << "given up";

    central.radio->startScan(std::nullopt, true);
    bus_->reply(bus_->take("SetDiscoveryFilter")->id);
    bus_->reply(bus_->take("StartDiscovery")->id);
    EXPECT_EQ(central.events->countLinks("scan ended org.bluez.Error.InProgress"), 1u);
}

// A subscription bluetoothd starts after the caller gave up is stopped; an MTU exchanged after the connection shows
// in mtu(); a subscribed characteristic the device removes ends its subscription with a console line.
TEST_F(BluezRadioUnit, SubscriptionsAndTheMtuFollowBluetoothd) {
    std::mutex mutex;
    std::vector<std::string> console;  // guarded by mutex
    platform::NSLogSetSink([&](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        console.push_back(line);
    });
    boot();
    Central& central = open();
    connect(central);
    auto late = notify(central, true);
    const auto start = bus_->take("StartNotify");
    ASSERT_TRUE(start);
    std::this_thread::sleep_for(1300ms);
    EXPECT_FALSE(answered(late));
    bus_->reply(start->id);
    EXPECT_TRUE(bus_->take("StopNotify")) << "nobody waits for it any more";

    bus_->propertiesChanged(devicePath_, kDeviceIface, {{"ServicesResolved", Variant(true)}});
    bus_->reply(bus_->take("Get")->id, {Variant(uint16_t{185})});
    ASSERT_TRUE(central.events->waitFor([&] { return central.radio->mtu(kDevice) == 185u; }));
    bus_->propertiesChanged(charPath_, kCharIface, {{"MTU", Variant(uint16_t{247})}});
    auto on = notify(central, true);
    bus_->reply(bus_->take("StartNotify")->id);
    ASSERT_EQ(on.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(central.radio->mtu(kDevice), 247u);

    bus_->signal(FakeBus::kOwner, "/", "org.freedesktop.DBus.ObjectManager", "InterfacesRemoved",
                 {Variant(sdbus::ObjectPath(charPath_)), Variant(std::vector<std::string>{kCharIface})});
    EXPECT_TRUE(central.events->waitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return std::any_of(console.begin(), console.end(),
                           [](const std::string& l) { return l.find("its notifications end") != std::string::npos; });
    }));
    platform::NSLogSetSink(nullptr);
}

// The adapter switched off with links up: they end without a loss report, as the state change says it all,
// whether bluetoothd announces the switch-off first (PowerState) or the losses come before Powered=false alone.
// A loss that is not followed by a switch-off is reported.
TEST_F(BluezRadioUnit, SwitchOffEndsLinksSilentlyWhateverTheOrder) {
    const std::string adapter = "/org/bluez/hci0";
    const char* const kAdapterIface = "org.bluez.Adapter1";
    boot();
    Central& central = open();
    connect(central);
    bus_->propertiesChanged(adapter, kAdapterIface, {{"PowerState", Variant(std::string("on-disabling"))}});
    bus_->propertiesChanged(devicePath_, kDeviceIface, {{"Connected", Variant(false)}});
    bus_->propertiesChanged(adapter, kAdapterIface,
                            {{"Powered", Variant(false)}, {"PowerState", Variant(std::string("off"))}});
    ASSERT_TRUE(central.events->waitState(CBManagerState::PoweredOff));

    bus_->propertiesChanged(adapter, kAdapterIface,
                            {{"Powered", Variant(true)}, {"PowerState", Variant(std::string("on"))}});
    ASSERT_TRUE(central.events->waitState(CBManagerState::PoweredOn));
    connect(central);
    bus_->propertiesChanged(devicePath_, kDeviceIface, {{"Connected", Variant(false)}});
    bus_->propertiesChanged(adapter, kAdapterIface, {{"Powered", Variant(false)}});  // rfkill: no warning
    ASSERT_TRUE(central.events->waitState(CBManagerState::PoweredOff));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(central.events->countLinks("disconnected " + kDevice + " CBErrorDomain"), 0u);

    bus_->propertiesChanged(adapter, kAdapterIface, {{"Powered", Variant(true)}});
    ASSERT_TRUE(central.events->waitState(CBManagerState::PoweredOn));
    connect(central);
    bus_->propertiesChanged(devicePath_, kDeviceIface, {{"Connected", Variant(false)}});
    EXPECT_TRUE(central.events->waitLink("disconnected " + kDevice + " CBErrorDomain"));

    // Asked to switch off, bluetoothd removes its temporary devices first, connected ones too.
    connect(central);
    bus_->signal(FakeBus::kOwner, "/", "org.freedesktop.DBus.ObjectManager", "InterfacesRemoved",
                 {Variant(sdbus::ObjectPath(devicePath_)), Variant(std::vector<std::string>{kDeviceIface})});
    bus_->propertiesChanged(adapter, kAdapterIface, {{"PowerState", Variant(std::string("on-disabling"))}});
    bus_->propertiesChanged(adapter, kAdapterIface, {{"Powered", Variant(false)}});
    ASSERT_TRUE(central.events->waitState(CBManagerState::PoweredOff));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(central.events->countLinks("disconnected " + kDevice + " CBErrorDomain"), 1u);
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
    EXPECT_EQ(central.events->countLinks("disconnected " + kDevice + " CBErrorDomain"), 0u);
    EXPECT_EQ(central.events->reportsOf("66:66:66:66:66:66"), 0u);
    EXPECT_EQ(central.radio->state(), CBManagerState::PoweredOn);
}

// Only bluetoothd's own objects count: an adapter elsewhere in its listing is not chosen over hci0.
TEST_F(BluezRadioUnit, AdapterOutsideBluezTreeIsNotChosen) {
    objects_.objects[sdbus::ObjectPath("/net/hci0")]["org.bluez.Adapter1"] = PropMap{{"Powered", Variant(false)}};
    boot();
    Central& central = open();
    EXPECT_EQ(central.radio->state(), CBManagerState::PoweredOn);
}

// TAVRIN_BLUEZ_TRACE=1: a line for each call, reply, error and signal, and for the radio's state changes and each
// device's connect state's.
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
    EXPECT_TRUE(has("BlueZ: link " + kDevice + ": idle -> connecting"));
    EXPECT_TRUE(has("BlueZ: link " + kDevice + ": connecting -> connected"));
    EXPECT_TRUE(has("BlueZ: error ReadValue " + charPath_ + ": org.bluez.Error.Failed: Not connected"));
}

// The program's agent as bluetoothd's pairing sees it: a pairing agent that records what it was asked and
// answers at once, except a confirmation, which it leaves open.
class ScriptedAgent : public platform::radio::PairingAgent {
  public:
    platform::radio::IoCapability capability() const override { return platform::radio::IoCapability::KeyboardDisplay; }
    void requestPasskey(const std::string& device, platform::radio::PasskeyReply reply) override {
        hear("passkey " + device);
        reply(platform::radio::AgentVerdict::Accept, 123456);
    }
    void displayPasskey(const std::string& device, uint32_t passkey, uint16_t entered) override {
        hear("display " + device + " " + std::to_string(passkey) + " " + std::to_string(entered));
    }
    void requestConfirmation(const std::string& device, uint32_t, platform::radio::ConfirmReply reply) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            confirmations_.push_back(std::move(reply));
        }
        hear("confirm " + device);
    }
    /// Answers the oldest confirmation left open, however late.
    void confirm() {
        platform::radio::ConfirmReply reply;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            reply = std::move(confirmations_.front());
            confirmations_.erase(confirmations_.begin());
        }
        reply(platform::radio::AgentVerdict::Accept);
    }
    void requestAuthorization(const std::string& device, platform::radio::ConfirmReply reply) override {
        hear("authorize " + device);
        reply(platform::radio::AgentVerdict::Reject);
    }
    void cancel(const std::string& device) override { hear("cancel " + device); }

    std::size_t count(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<std::size_t>(std::count(heard_.begin(), heard_.end(), line));
    }
    bool waitHeard(const std::string& line, std::size_t times = 1) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, 3s, [&] { return std::count(heard_.begin(), heard_.end(), line) >= long(times); });
    }

  private:
    void hear(std::string line) {
        std::lock_guard<std::mutex> lock(mutex_);
        heard_.push_back(std::move(line));
        cv_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> heard_;                            // guarded by mutex_
    std::vector<platform::radio::ConfirmReply> confirmations_;  // guarded by mutex_
};

// Pairing through the scripted bus: the agent registered and made the default one (again when bluetoothd comes
// back, an AlreadyExists taken as registered), bluetoothd's questions answered as it wants them (a shown passkey
// with its keys entered, PIN codes refused, a Cancel and bluetoothd leaving taking back an open question, and
// nothing else), and Pair() answered with bluetoothd's error and then with success.
TEST_F(BluezRadioUnit, PairingAndTheProgramsAgent) {
    boot();
    Central& central = open();
    auto agent = std::make_shared<ScriptedAgent>();
    central.radio->setPairingAgent(agent);
    auto registration = bus_->take("RegisterAgent");
    ASSERT_TRUE(registration);
    ASSERT_EQ(registration->args.size(), 2u);
    const std::string agentPath = std::get<platform::bluez::ObjectPathArg>(registration->args[0]).path;
    EXPECT_EQ(std::get<std::string>(registration->args[1]), "KeyboardDisplay");
    EXPECT_EQ(bus_->count("RequestDefaultAgent"), 0u);  // only once registered
    bus_->reply(registration->id);
    bus_->reply(bus_->take("RequestDefaultAgent")->id);

    const Variant device{sdbus::ObjectPath(devicePath_)};
    const auto asked = [&](const std::string& member, std::vector<Variant> args) {
        auto call = bus_->ask(agentPath, member, std::move(args));
        return call ? call->waitAnswer() : std::optional<std::string>("not served");
    };
    EXPECT_EQ(asked("RequestPasskey", {device}), "u 123456");
    EXPECT_EQ(asked("RequestAuthorization", {device}), "org.bluez.Error.Rejected");
    EXPECT_EQ(asked("RequestPinCode", {device}), "org.bluez.Error.Rejected");
    asked("DisplayPasskey", {device, Variant(uint32_t(42)), Variant(uint16_t(3))});
    EXPECT_TRUE(agent->waitHeard("display " + kDevice + " 42 3"));
    EXPECT_EQ(asked("Cancel", {}), "");
    EXPECT_EQ(agent->count("cancel " + kDevice), 0u);  // every question was answered or only shown

    // Another client of the bus is no bluetoothd: it can neither ask for the passkey nor take a question back.
    const std::string forger = ":1.99";
    EXPECT_EQ(bus_->ask(agentPath, "RequestPasskey", {device}, forger)->waitAnswer(), "org.bluez.Error.NotAuthorized");
    EXPECT_EQ(agent->count("passkey " + kDevice), 1u);

    auto open_question = bus_->ask(agentPath, "RequestConfirmation", {device, Variant(uint32_t(7))});
    ASSERT_TRUE(agent->waitHeard("confirm " + kDevice));
    EXPECT_EQ(bus_->ask(agentPath, "Cancel", {}, forger)->waitAnswer(), "org.bluez.Error.NotAuthorized");
    EXPECT_EQ(agent->count("cancel " + kDevice), 0u);
    EXPECT_EQ(asked("Cancel", {}), "");
    EXPECT_TRUE(agent->waitHeard("cancel " + kDevice));
    // The answer to the question taken back comes after the next question: that one stays open for its Cancel.
    auto next_question = bus_->ask(agentPath, "RequestConfirmation", {device, Variant(uint32_t(8))});
    ASSERT_TRUE(next_question && agent->waitHeard("confirm " + kDevice, 2));
    agent->confirm();
    EXPECT_EQ(open_question->waitAnswer(), "");
    EXPECT_EQ(asked("Cancel", {}), "");
    EXPECT_TRUE(agent->waitHeard("cancel " + kDevice, 2));

    const auto pair = [&] {
        auto promise = std::make_shared<std::promise<std::optional<NSError>>>();
        auto future = promise->get_future();
        central.radio->pair(kDevice, nullptr, [promise](const NSError* error) {
            promise->set_value(error ? std::optional<NSError>(*error) : std::nullopt);
        });
        return future;
    };
    auto refused = pair();
    bus_->fail(bus_->take("Pair")->id, "org.bluez.Error.AuthenticationFailed", "Authentication Failed");
    ASSERT_EQ(refused.wait_for(3s), std::future_status::ready);
    const auto error = refused.get();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, "org.bluez.Error.AuthenticationFailed");
    auto paired = pair();
    bus_->reply(bus_->take("Pair")->id);
    ASSERT_EQ(paired.wait_for(3s), std::future_status::ready);
    EXPECT_FALSE(paired.get());

    // bluetoothd leaves with a question open, and comes back.
    open_question = bus_->ask(agentPath, "RequestConfirmation", {device, Variant(uint32_t(9))});
    ASSERT_TRUE(agent->waitHeard("confirm " + kDevice, 3));
    bus_->signal("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged",
                 {Variant(std::string("org.bluez")), Variant(std::string(FakeBus::kOwner)), Variant(std::string())});
    EXPECT_TRUE(agent->waitHeard("cancel " + kDevice, 3));
    bus_->signal("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged",
                 {Variant(std::string("org.bluez")), Variant(std::string()), Variant(std::string(FakeBus::kOwner))});
    list();
    registration = bus_->take("RegisterAgent");
    ASSERT_TRUE(registration);
    bus_->fail(registration->id, "org.bluez.Error.AlreadyExists", "Already Exists");
    EXPECT_TRUE(bus_->take("RequestDefaultAgent"));

    central.radio->setPairingAgent(nullptr);
    EXPECT_TRUE(bus_->take("UnregisterAgent"));
}

// bluetoothd holds a read of an encrypted attribute while it pairs the device through the agent: a read that runs
// out of time meanwhile says that such a device must be paired first; one that merely timed out says nothing.
TEST_F(BluezRadioUnit, RequestOutlastedByPairingSaysPairFirst) {
    Central& central = subscribed();
    auto agent = std::make_shared<ScriptedAgent>();
    central.radio->setPairingAgent(agent);
    bus_->reply(bus_->take("RegisterAgent")->id);
    bus_->reply(bus_->take("RequestDefaultAgent")->id);
    test_support::ConsoleCapture console;
    const std::string said = "pair() a device whose pairing asks a person";
    const auto timedOut = [&] {
        auto given_up = read(central);
        bus_->fail(bus_->take("ReadValue")->id, "org.freedesktop.DBus.Error.NoReply", "Did not receive a reply.");
        given_up.wait_for(3s);
    };

    timedOut();
    auto pending = read(central);
    const auto call = bus_->take("ReadValue");
    bus_->ask("/org/tavrin/agent", "RequestConfirmation",
              {Variant(sdbus::ObjectPath(devicePath_)), Variant(uint32_t(7))});
    ASSERT_TRUE(agent->waitHeard("confirm " + kDevice));
    bus_->fail(call->id, "org.freedesktop.DBus.Error.NoReply", "Did not receive a reply.");
    EXPECT_TRUE(test_support::eventually([&] { return console.count(said) == 1; }));
    agent->confirm();
    timedOut();
    EXPECT_EQ(console.count(said), 1u);
}

}  // namespace

namespace {

// bluetoothd now and then signals ServicesResolved before it adds the tree's objects: discovery waits a moment
// for them instead of answering with no services.
TEST_F(BluezRadioUnit, TreeAddedJustAfterServicesResolvedIsDiscovered) {
    boot();
    Central& central = open();
    central.radio->connect(kOther);
    const auto call = bus_->take("Connect");
    ASSERT_TRUE(call);
    bus_->reply(call->id);
    ASSERT_TRUE(central.events->waitLink("connected " + kOther));

    std::promise<std::size_t> found;
    central.radio->discoverServices(
        kOther, [&found](const NSError*, const auto& services) { found.set_value(services.size()); });
    bus_->propertiesChanged(otherPath_, kDeviceIface, {{"ServicesResolved", Variant(true)}});
    std::this_thread::sleep_for(50ms);
    bluez_test::FakeObjects tree;
    tree.service(otherPath_, 0x0020, kServiceY, "0000bbb1-0000-1000-8000-00805f9b34fb");
    for (const auto& [path, interfaces] : tree.objects) {
        if (std::string(path).rfind(otherPath_ + "/", 0) == 0) {
            bus_->signal(FakeBus::kOwner, "/", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded",
                         {Variant(path), Variant(interfaces)});
        }
    }
    const auto mtu = bus_->take("Get");
    ASSERT_TRUE(mtu);
    bus_->reply(mtu->id, {Variant(uint16_t{247})});
    auto services = found.get_future();
    ASSERT_EQ(services.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(services.get(), 1u);
}

}  // namespace
