// The stand-in's manager state and the connection state machine.

#include "support/PlatformHarness.h"

namespace platform_test {
namespace {

using State = CBPeripheralState;

class PlatformConnection : public PlatformTest {};

TEST_F(PlatformConnection, ManagerReportsUnknownUntilTheStateDelayThenTheAdapterState) {
    auto config = world_of({testDevice()});
    config.adapter.state = CBManagerState::PoweredOff;
    config.adapter.state_delay_ms = 30;
    World::get().reset(config);
    auto rec = std::make_shared<Recorder>();
    auto q = dispatch_queue_create("q", DISPATCH_QUEUE_SERIAL);
    const auto made = std::chrono::steady_clock::now();
    auto m = CBCentralManager::initWithDelegate(rec, q, std::nullopt);
    EXPECT_EQ(m->state(), CBManagerState::Unknown);
    ASSERT_TRUE(rec->waitFor("DidUpdateState"));
    EXPECT_GE(std::chrono::steady_clock::now() - made, 30ms);
    EXPECT_EQ(m->state(), CBManagerState::PoweredOff);
    EXPECT_EQ(rec->events()[0].uuid, std::to_string(static_cast<int>(CBManagerState::PoweredOff)));

    // Not powered on: scanning and connecting only write the misuse line.
    m->scanForPeripherals(std::nullopt, {});
    EXPECT_FALSE(m->isScanning());
    EXPECT_EQ(console.count(kNotPoweredOnLine), 1u);

    // Turning the radio on is reported; the authorization is the world's.
    World::get().setAdapterState(CBManagerState::PoweredOn);
    ASSERT_TRUE(rec->waitFor("DidUpdateState", 2));
    EXPECT_EQ(m->state(), CBManagerState::PoweredOn);
    World::get().setAuthorization(CBManagerAuthorization::Denied);
    EXPECT_EQ(CBCentralManager::authorization(), CBManagerAuthorization::Denied);

    // Without a state delay a new manager stays unknown.
    config.adapter.state_delay_ms = std::nullopt;
    World::get().reset(config);
    auto rec2 = std::make_shared<Recorder>();
    auto m2 = CBCentralManager::initWithDelegate(rec2, q, std::nullopt);
    World::get().setAdapterState(CBManagerState::PoweredOn);
    EXPECT_FALSE(rec2->waitFor("DidUpdateState", 1, 50ms));
    EXPECT_EQ(m2->state(), CBManagerState::Unknown);
}

TEST_F(PlatformConnection, ConnectCancelAndConnectAgain) {
    start(world_of({testDevice()}));
    auto p = find();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->state(), State::Disconnected);
    central->connectPeripheral(p, {});
    EXPECT_EQ(p->state(), State::Connecting);
    auto connected = recorder->waitFor("DidConnect");
    ASSERT_TRUE(connected);
    EXPECT_EQ(connected->state, State::Connected);

    // Connecting a connected peripheral reports did-connect again at once.
    central->connectPeripheral(p, {});
    ASSERT_TRUE(recorder->waitFor("DidConnect", 2, 5ms + 50ms));

    central->cancelPeripheralConnection(p);
    EXPECT_EQ(p->state(), State::Disconnecting);
    auto gone = recorder->waitFor("DidDisconnect");
    ASSERT_TRUE(gone);
    EXPECT_FALSE(gone->error);
    EXPECT_EQ(gone->state, State::Disconnected);

    // Cancel on a disconnected peripheral does nothing and reports nothing.
    central->cancelPeripheralConnection(p);
    EXPECT_EQ(p->state(), State::Disconnected);
    connect(p);
    EXPECT_EQ(recorder->count("DidDisconnect"), 1u);
    EXPECT_EQ(console.lines().size(), 0u);
}

TEST_F(PlatformConnection, FailedConnectionReturnsToDisconnectedWithAnError) {
    auto config = testDevice();
    config.connection.outcome = sim::ConnectOutcome::Fail;
    start(world_of({config}));
    auto p = find();
    ASSERT_TRUE(p);
    central->connectPeripheral(p, {});
    auto failed = recorder->waitFor("DidFailToConnect");
    ASSERT_TRUE(failed);
    EXPECT_TRUE(failed->error);
    EXPECT_EQ(p->state(), State::Disconnected);
    EXPECT_EQ(recorder->count("DidConnect"), 0u);
}

TEST_F(PlatformConnection, HangingConnectionStaysPendingUntilCancelled) {
    auto config = testDevice();
    config.connection.outcome = sim::ConnectOutcome::Hang;
    start(world_of({config}));
    auto p = find();
    ASSERT_TRUE(p);
    central->connectPeripheral(p, {});
    std::this_thread::sleep_for(30ms);  // well past the connection delay
    EXPECT_EQ(p->state(), State::Connecting);
    central->cancelPeripheralConnection(p);
    EXPECT_EQ(p->state(), State::Disconnecting);
    auto gone = recorder->waitFor("DidDisconnect");
    ASSERT_TRUE(gone);
    EXPECT_FALSE(gone->error);
    EXPECT_EQ(p->state(), State::Disconnected);
    EXPECT_EQ(recorder->count("DidConnect"), 0u);
}

TEST_F(PlatformConnection, CancelOfAPendingConnectionWinsOverTheConnection) {
    auto config = testDevice();
    config.connection.delay_ms = 20;
    start(world_of({config}));
    auto p = find();
    ASSERT_TRUE(p);
    central->connectPeripheral(p, {});
    central->cancelPeripheralConnection(p);
    ASSERT_TRUE(recorder->waitFor("DidDisconnect"));
    std::this_thread::sleep_for(30ms);  // the connection delay has passed: it must not connect now
    EXPECT_EQ(p->state(), State::Disconnected);
    EXPECT_EQ(recorder->count("DidConnect"), 0u);
}

TEST_F(PlatformConnection, HangingDisconnectStaysDisconnectingAndANewConnectRecovers) {
    auto config = testDevice();
    config.connection.disconnect = sim::DisconnectBehaviour::Hang;
    start(world_of({config}));
    auto p = find();
    ASSERT_TRUE(p);
    connect(p);
    central->cancelPeripheralConnection(p);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(p->state(), State::Disconnecting);
    EXPECT_EQ(recorder->count("DidDisconnect"), 0u);
    connect(p);
}

TEST_F(PlatformConnection, LinkLossDropsTheTreeSubscriptionsAndMtuWithAnError) {
    auto config = testDevice();
    config.connection.drop_after_ms = 60;
    start(world_of({config}));
    CBPeripheralPtr p;
    auto service = ready(p);
    ASSERT_TRUE(service);
    auto c = characteristic(service, kReadChar);
    p->setNotifyValue(true, c);
    ASSERT_TRUE(recorder->waitFor("DidUpdateNotificationState"));
    EXPECT_EQ(p->maximumWriteValueLengthForType(CBCharacteristicWriteType::WithoutResponse), 100u);

    auto lost = recorder->waitFor("DidDisconnect");
    ASSERT_TRUE(lost);
    EXPECT_TRUE(lost->error);
    EXPECT_EQ(p->state(), State::Disconnected);
    EXPECT_FALSE(p->services());
    EXPECT_FALSE(c->isNotifying());
    EXPECT_EQ(p->maximumWriteValueLengthForType(CBCharacteristicWriteType::WithoutResponse), 20u);

    // After reconnecting nothing is subscribed: a notification reaches nobody.
    connect(p);
    discoverAll(p);
    World::get().notify(kDeviceId, kService, kReadChar, "x");
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(recorder->count("DidUpdateValue"), 0u);
}

TEST_F(PlatformConnection, DropLinkAndDeviceRemovalLoseTheLink) {
    start(world_of({testDevice()}));
    auto p = find();
    ASSERT_TRUE(p);
    connect(p);
    World::get().dropLink(kDeviceId);
    auto lost = recorder->waitFor("DidDisconnect");
    ASSERT_TRUE(lost);
    EXPECT_TRUE(lost->error);

    connect(p);
    World::get().removePeripheral(kDeviceId);
    auto removed = recorder->waitFor("DidDisconnect", 2);
    ASSERT_TRUE(removed);
    EXPECT_TRUE(removed->error);
    // A device that is not there never answers a connection.
    central->connectPeripheral(p, {});
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(p->state(), State::Connecting);

    // When it comes back, a new connection reaches it through the same peripheral object.
    central->cancelPeripheralConnection(p);
    ASSERT_TRUE(recorder->waitFor("DidDisconnect", 3));
    World::get().addPeripheral(testDevice());
    connect(p);
}

TEST_F(PlatformConnection, RadioOffStopsScansAndDisconnectsSilently) {
    auto slow = testDevice("11111111-2222-3333-4444-555555555555");
    slow.connection.outcome = sim::ConnectOutcome::Hang;
    start(world_of({testDevice(), slow}));
    auto p = find();
    ASSERT_TRUE(p);
    connect(p);
    auto pending = find("11111111-2222-3333-4444-555555555555");
    ASSERT_TRUE(pending);
    central->connectPeripheral(pending, {});
    central->scanForPeripherals(std::nullopt, {{CBCentralManagerScanOptionAllowDuplicatesKey, true}});
    EXPECT_TRUE(central->isScanning());

    World::get().setAdapterState(CBManagerState::PoweredOff);
    ASSERT_TRUE(recorder->waitFor("DidUpdateState", 2));
    EXPECT_EQ(central->state(), CBManagerState::PoweredOff);
    EXPECT_FALSE(central->isScanning());
    EXPECT_EQ(p->state(), State::Disconnected);
    EXPECT_EQ(pending->state(), State::Disconnected);
    EXPECT_FALSE(p->services());
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(recorder->count("DidDisconnect"), 0u);
    EXPECT_EQ(recorder->count("DidConnect"), 1u);

    central->connectPeripheral(p, {});
    EXPECT_EQ(console.count(kNotPoweredOnLine), 1u);
    EXPECT_EQ(p->state(), State::Disconnected);
}

TEST_F(PlatformConnection, NonConnectableDeviceNeverAnswersAConnection) {
    auto config = testDevice();
    config.advertising.connectable = false;
    start(world_of({config}));
    auto p = find();
    ASSERT_TRUE(p);
    central->connectPeripheral(p, {});
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(p->state(), State::Connecting);
    EXPECT_EQ(recorder->count("DidConnect"), 0u);
}

}  // namespace
}  // namespace platform_test
