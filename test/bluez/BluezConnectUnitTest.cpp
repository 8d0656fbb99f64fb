// The BlueZ radio's connect state over a scripted bus: attempts tried again, links bluetoothd has or never
// signalled, a disconnection under way or refused.
#include "BluezRadioUnit.h"

namespace {

using namespace bluez_unit;

// What may pass is tried again, for as long as it takes: a bus whose socket is not there yet, a listing bluetoothd
// was too slow to give, the bus daemon restarting.
TEST_F(BluezRadioUnit, TransientFailuresAreTriedAgain) {
    auto attempts = std::make_shared<std::atomic<int>>(0);
    radio_ = platform::bluez::makeRadio([bus = bus_, attempts]() -> std::shared_ptr<platform::bluez::Bus> {
        if ((*attempts)++ == 0) {
            throw platform::bluez::BusError("org.freedesktop.DBus.Error.FileNotFound", "No such file or directory");
        }
        return bus;
    });
    auto events = std::make_shared<Recorder>();
    auto session = radio_->openCentral(events);
    const auto owned = [&] {
        const auto owner = bus_->take("GetNameOwner");
        ASSERT_TRUE(owner);
        bus_->reply(owner->id, {Variant(std::string(FakeBus::kOwner))});
    };
    ASSERT_TRUE(events->waitState(CBManagerState::Unsupported));
    owned();
    const auto slow = bus_->take("GetManagedObjects");
    ASSERT_TRUE(slow);
    bus_->fail(slow->id, "org.freedesktop.DBus.Error.NoReply", "Did not receive a reply");
    ASSERT_TRUE(events->waitState(CBManagerState::Resetting));
    list();
    ASSERT_TRUE(events->waitState(CBManagerState::PoweredOn));

    bus_->breakConnection();
    ASSERT_TRUE(events->waitState(CBManagerState::Resetting));
    owned();
    list();
    EXPECT_TRUE(events->waitState(CBManagerState::PoweredOn));
    EXPECT_EQ(attempts->load(), 3);
    session->close();
}

// A connect asked while the link is still being taken down waits for Connected=false and then connects anew
// (bluetoothd would answer it at once and drop the link anyway); one bluetoothd refuses because another program is
// connecting the device takes that program's connection.
TEST_F(BluezRadioUnit, ConnectWaitsForTheLinkBluetoothdHas) {
    boot();
    Central& central = open();
    connect(central);
    central.radio->cancelConnection(kDevice);
    const auto disconnect = bus_->take("Disconnect");
    ASSERT_TRUE(disconnect);
    central.radio->connect(kDevice);
    EXPECT_FALSE(bus_->take("Connect", 300ms)) << "sent while the link goes down";
    bus_->reply(disconnect->id);
    bus_->propertiesChanged(devicePath_, kDeviceIface, {{"Connected", Variant(false)}});
    const auto anew = bus_->take("Connect");
    ASSERT_TRUE(anew);
    EXPECT_EQ(central.events->countLinks("connected " + kDevice), 1u);
    bus_->fail(anew->id, "org.bluez.Error.Failed", "Operation already in progress");
    bus_->propertiesChanged(devicePath_, kDeviceIface, {{"Connected", Variant(true)}});
    EXPECT_TRUE(central.events->waitLink("connected " + kDevice, 1));
    EXPECT_EQ(central.events->countLinks("disconnected " + kDevice), 0u) << "the superseded disconnection is silent";
    EXPECT_EQ(central.events->countLinks("failed " + kDevice + " org.bluez.Error.Failed"), 0u);
}

// bluetoothd may leave an LE link connected without signalling Connected (its ATT socket came up before it handled
// the kernel's connection event): its answer to Connect() says the link is up, and so do services resolved, also for
// a connect that waits on another program's attempt. The link's end is seen all the same.
TEST_F(BluezRadioUnit, LinkBluetoothdNeverSignalledConnectedIsUpAndGoesDown) {
    boot();
    Central& central = open();
    central.radio->connect(kDevice);
    const auto answered = bus_->take("Connect");
    ASSERT_TRUE(answered);
    bus_->reply(answered->id);
    ASSERT_TRUE(central.events->waitLink("connected " + kDevice));
    bus_->propertiesChanged(devicePath_, kDeviceIface,
                            {{"ServicesResolved", Variant(false)}, {"Connected", Variant(false)}});
    ASSERT_TRUE(central.events->waitLink("disconnected " + kDevice + " CBErrorDomain"));

    central.radio->connect(kDevice);
    const auto refused = bus_->take("Connect");
    ASSERT_TRUE(refused);
    bus_->fail(refused->id, "org.bluez.Error.Failed", "Operation already in progress");
    bus_->propertiesChanged(devicePath_, kDeviceIface, {{"ServicesResolved", Variant(true)}});
    ASSERT_TRUE(central.events->waitLink("connected " + kDevice, 1));
    bus_->propertiesChanged(devicePath_, kDeviceIface,
                            {{"ServicesResolved", Variant(false)}, {"Connected", Variant(false)}});
    EXPECT_TRUE(central.events->waitLink("disconnected " + kDevice + " CBErrorDomain", 1));
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
    EXPECT_EQ(central.events->countLinks("failed " + kDevice + " org.bluez.Error.Failed"), 0u);
}

// bluetoothd refusing Disconnect() leaves the link up and ours: a connect another central asked for meanwhile is
// made on it, not kept waiting for an end of the link that never comes.
TEST_F(BluezRadioUnit, RefusedDisconnectLeavesTheLinkUp) {
    boot();
    Central& first = open();
    Central& second = open();
    connect(first);
    first.radio->cancelConnection(kDevice);
    const auto disconnect = bus_->take("Disconnect");
    ASSERT_TRUE(disconnect);
    second.radio->connect(kDevice);
    EXPECT_FALSE(bus_->take("Connect", 200ms)) << "sent while the link goes down";
    bus_->fail(disconnect->id, "org.bluez.Error.Failed", "Operation failed");
    const auto anew = bus_->take("Connect");
    ASSERT_TRUE(anew) << "the second central waits for a disconnection that was refused";
    bus_->reply(anew->id);
    EXPECT_TRUE(second.events->waitLink("connected " + kDevice));
    EXPECT_EQ(first.events->countLinks("disconnected " + kDevice), 0u);
}

}  // namespace
