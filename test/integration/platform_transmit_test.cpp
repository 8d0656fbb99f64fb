// Writes without response: the transmit buffer, its drops, the ready callback, and the plug model.

#include "support/PlatformHarness.h"

namespace platform_test {
namespace {

class PlatformTransmit : public PlatformTest {};

TEST_F(PlatformTransmit, FullBufferDropsWritesAndReportsReadyWhenRoomFrees) {
    auto config = testDevice();
    config.connection.interval_ms = 40;  // long enough to fill the buffer before the first interval
    config.connection.packets_per_interval = 6;
    start(world_of({config}));
    CBPeripheralPtr p;
    auto service = ready(p);
    ASSERT_TRUE(service);
    auto c = characteristic(service, kWriteChar);

    EXPECT_TRUE(p->canSendWriteWithoutResponse());
    for (int i = 0; i < 20; ++i) {
        p->writeValue("w" + std::to_string(i), c, CBCharacteristicWriteType::WithoutResponse);
    }
    EXPECT_FALSE(p->canSendWriteWithoutResponse());
    EXPECT_EQ(recorder->count("IsReadyToSend"), 0u);
    p->writeValue("dropped", c, CBCharacteristicWriteType::WithoutResponse);
    EXPECT_EQ(console.count("Transmit buffer full"), 1u);

    ASSERT_TRUE(recorder->waitFor("IsReadyToSend"));
    EXPECT_TRUE(p->canSendWriteWithoutResponse());
    ASSERT_TRUE(eventually([] { return World::get().receivedWrites(kDeviceId).size() == 20; }));
    const auto writes = World::get().receivedWrites(kDeviceId);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(writes[static_cast<size_t>(i)].data, "w" + std::to_string(i));  // in order, none lost
        EXPECT_FALSE(writes[static_cast<size_t>(i)].with_response);
    }
    // Room freed without an earlier drop: no ready callback.
    p->writeValue("more", c, CBCharacteristicWriteType::WithoutResponse);
    ASSERT_TRUE(eventually([] { return World::get().receivedWrites(kDeviceId).size() == 21; }));
    EXPECT_EQ(recorder->count("IsReadyToSend"), 1u);
}

TEST_F(PlatformTransmit, TooLongWriteWithoutResponseIsDroppedWithAConsoleLine) {
    start(world_of({testDevice()}));
    CBPeripheralPtr p;
    auto service = ready(p);
    ASSERT_TRUE(service);
    auto c = characteristic(service, kWriteChar);
    const size_t limit = p->maximumWriteValueLengthForType(CBCharacteristicWriteType::WithoutResponse);
    ASSERT_EQ(limit, 100u);
    p->writeValue(std::string(limit + 1, 'x'), c, CBCharacteristicWriteType::WithoutResponse);
    EXPECT_EQ(console.count("exceeds the maximum"), 1u);
    p->writeValue(std::string(limit, 'y'), c, CBCharacteristicWriteType::WithoutResponse);
    ASSERT_TRUE(eventually([] { return World::get().receivedWrites(kDeviceId).size() == 1; }));
    EXPECT_EQ(World::get().receivedWrites(kDeviceId)[0].data, std::string(limit, 'y'));
    EXPECT_EQ(recorder->count("DidWriteValue"), 0u);  // no answer to a write without response
}

// A connection made over a disconnection that hangs carries writes without response, also when a write was still
// waiting for the old link's next interval when it went.
TEST_F(PlatformTransmit, ConnectionOverAHangingDisconnectionCarriesWritesWithoutResponse) {
    auto config = testDevice();
    config.connection.interval_ms = 40;
    config.connection.disconnect = sim::DisconnectBehaviour::Hang;
    start(world_of({config}));
    CBPeripheralPtr p;
    auto service = ready(p);
    ASSERT_TRUE(service);
    p->writeValue("lost", characteristic(service, kWriteChar), CBCharacteristicWriteType::WithoutResponse);
    central->cancelPeripheralConnection(p);
    connect(p);
    service = discoverAll(p);
    ASSERT_TRUE(service);
    p->writeValue("carried", characteristic(service, kWriteChar), CBCharacteristicWriteType::WithoutResponse);
    ASSERT_TRUE(eventually([] { return World::get().receivedWrites(kDeviceId).size() == 1; }, 1s));
    EXPECT_EQ(World::get().receivedWrites(kDeviceId)[0].data, "carried");
}

// The plug as the embedded default world has it, fast.
sim::PeripheralConfig plugDevice() {
    sim::PeripheralConfig p;
    p.identifier = "c3a1f5e2-7b4d-4e8a-9f61-2d5b8c0e7a13";
    p.name = "Tavrin Plug";
    p.model = "plug";
    p.mtu = 185;
    p.latency_ms = 1;
    p.advertising.interval_ms = 5;
    p.connection.delay_ms = 2;
    sim::ServiceConfig info;
    info.uuid = "180A";
    sim::CharacteristicConfig maker;
    maker.uuid = "2A29";
    maker.properties = CBCharacteristicPropertyRead;
    maker.value = "Tavrin Labs";
    info.characteristics = {maker};
    p.services = {info};
    return p;
}

const std::string kPlugId = "C3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13";
const std::string kPlugService = "fb1e4001-54ae-4a28-9f74-dfccb248601d";
const std::string kCommand = "fb1e4002-54ae-4a28-9f74-dfccb248601d";
const std::string kStatus = "fb1e4003-54ae-4a28-9f74-dfccb248601d";

std::string status(int on, int seconds) {
    return std::string{static_cast<char>(on), static_cast<char>(seconds & 0xFF), static_cast<char>(seconds >> 8)};
}

class PlatformPlug : public PlatformTest {
  protected:
    void SetUp() override {
        start(world_of({plugDevice()}));
        p = find(kPlugId);
        ASSERT_TRUE(p);
        connect(p);
        plug = discoverAll(p);
        ASSERT_TRUE(plug);
        command = characteristic(plug, kCommand);
        state = characteristic(plug, kStatus);
        ASSERT_TRUE(command && state);
    }
    // Writes with response; returns the answer's error.
    std::optional<std::string> send(const std::string& text) {
        const size_t n = recorder->count("DidWriteValue");
        p->writeValue(text, command, CBCharacteristicWriteType::WithResponse);
        auto answer = recorder->waitFor("DidWriteValue", n + 1);
        EXPECT_TRUE(answer);
        return answer ? answer->error : std::optional<std::string>("no answer");
    }
    std::optional<std::string> deviceStatus() { return World::get().value(kPlugId, kPlugService, kStatus); }

    CBPeripheralPtr p;
    CBServicePtr plug;
    CBCharacteristicPtr command, state;
};

TEST_F(PlatformPlug, ModelAttributesComeFirstAndTheListedServicesFollow) {
    const auto services = p->services();
    ASSERT_EQ(services->size(), 2u);
    EXPECT_EQ((*services)[0]->UUID(), CBUUID::UUIDWithString(kPlugService));
    EXPECT_EQ((*services)[1]->UUID(), CBUUID::UUIDWithString("180A"));
    EXPECT_EQ(command->properties(), CBCharacteristicPropertyWrite | CBCharacteristicPropertyWriteWithoutResponse);
    EXPECT_EQ(state->properties(), CBCharacteristicPropertyRead | CBCharacteristicPropertyNotify);
    ASSERT_TRUE(descriptor(command, "2901"));
    ASSERT_TRUE(descriptor(state, "2902"));
    auto label = descriptor(state, "2901");
    ASSERT_TRUE(label);
    p->readValue(label);
    ASSERT_TRUE(recorder->waitFor("DidUpdateDescriptor"));
    EXPECT_EQ(label->value()->bytes, "Status");
    EXPECT_EQ(deviceStatus(), status(0, 0));
}

TEST_F(PlatformPlug, RefusedCommandsAnswerWithAnErrorAndChangeNothing) {
    ASSERT_FALSE(send("\t{\"mode\":3,\"switch\":1,\"timer\":600}"));
    ASSERT_EQ(deviceStatus(), status(1, 600));
    for (const std::string& bad : {
             std::string("{\"switch\":0}"),                    // no tab
             std::string("\t{\"switch\":0"),                   // invalid JSON
             std::string("\t[0]"),                             // not an object
             std::string("\t{\"mode\":3}"),                    // no switch
             std::string("\t{\"switch\":2}"),                  // not 0 or 1
             std::string("\t{\"switch\":true}"),               // not a number
             std::string("\t{\"switch\":0,\"timer\":1.5}"),    // not whole seconds
             std::string("\t{\"switch\":0,\"timer\":\"3\"}"),  // text
             std::string("\t{\"switch\":1,\"timer\":-1}"),     // negative
             std::string("\t{\"switch\":1,\"timer\":65536}"),  // beyond the status's 16 bits
             std::string("\t{\"switch\":1,\"mode\":\"x\"}"),   // mode not an integer
             std::string(),
         }) {
        SCOPED_TRACE(bad);
        EXPECT_TRUE(send(bad));
        EXPECT_EQ(deviceStatus(), status(1, 600));
    }
    // Off clears the timer, and without response the command works too.
    p->writeValue("\t{\"mode\":3,\"switch\":0}", command, CBCharacteristicWriteType::WithoutResponse);
    ASSERT_TRUE(eventually([&] { return deviceStatus() == status(0, 0); }));
    EXPECT_FALSE(send("\t{\"switch\":1}"));
    EXPECT_EQ(deviceStatus(), status(1, 0));                      // on, without a countdown
    EXPECT_EQ(World::get().receivedWrites(kPlugId).size(), 15u);  // refused commands were received too

    p->readValue(state);
    auto read = recorder->waitFor("DidUpdateValue");
    ASSERT_TRUE(read);
    EXPECT_EQ(read->value, status(1, 0));
}

TEST_F(PlatformPlug, CountdownNotifiesEverySecondAndSwitchesOff) {
    p->setNotifyValue(true, state);
    ASSERT_TRUE(recorder->waitFor("DidUpdateNotificationState"));
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_FALSE(send("\t{\"mode\":3,\"switch\":1,\"timer\":2}"));
    ASSERT_TRUE(recorder->waitFor("DidUpdateValue", 3, 4000ms));
    const auto elapsed = std::chrono::steady_clock::now() - sent;
    EXPECT_GE(elapsed, 1900ms);
    const auto values = recorder->eventsOf("DidUpdateValue");
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0].value, status(1, 2));
    EXPECT_EQ(values[1].value, status(1, 1));
    EXPECT_EQ(values[2].value, status(0, 0));
    EXPECT_EQ(state->value(), status(0, 0));
    EXPECT_FALSE(recorder->waitFor("DidUpdateValue", 4, 1100ms));  // the countdown has ended
}

TEST_F(PlatformPlug, NewCommandReplacesTheRunningCountdown) {
    ASSERT_FALSE(send("\t{\"switch\":1,\"timer\":1}"));
    ASSERT_FALSE(send("\t{\"switch\":1,\"timer\":300}"));
    // Had the first countdown survived, the plug would be off after a second and never reach 299.
    EXPECT_TRUE(eventually([&] { return deviceStatus() == status(1, 299); }, 2500ms));
}

}  // namespace
}  // namespace platform_test
