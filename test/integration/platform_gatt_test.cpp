// The stand-in's discovery and GATT requests over a small simulated world.

#include "support/PlatformHarness.h"

namespace platform_test {
namespace {

class PlatformGatt : public PlatformTest {
  protected:
    void SetUp() override { start(world_of({testDevice()})); }
};

TEST_F(PlatformGatt, DiscoverySetsTheTreeBeforeCallingBackAndReusesObjects) {
    auto p = find();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->identifier().UUIDString(), kDeviceId);
    EXPECT_EQ(p->name(), "Test Device");
    EXPECT_FALSE(p->services());
    connect(p);
    EXPECT_FALSE(p->services());
    auto service = discoverAll(p);
    ASSERT_TRUE(service);
    EXPECT_EQ(service->UUID(), CBUUID::UUIDWithString(kService));
    EXPECT_EQ(service->peripheral(), p);
    const auto chars = service->characteristics();
    ASSERT_TRUE(chars);
    ASSERT_EQ(chars->size(), 4u);
    EXPECT_EQ((*chars)[0]->UUID(), CBUUID::UUIDWithString(kReadChar));
    EXPECT_EQ((*chars)[0]->service(), service);
    EXPECT_EQ((*chars)[0]->properties(),
              CBCharacteristicPropertyRead | CBCharacteristicPropertyNotify | CBCharacteristicPropertyWrite);
    const auto descriptors = (*chars)[0]->descriptors();
    ASSERT_TRUE(descriptors);
    ASSERT_EQ(descriptors->size(), 4u);
    EXPECT_EQ((*descriptors)[0]->characteristic(), (*chars)[0]);
    ASSERT_TRUE((*chars)[1]->descriptors());
    EXPECT_TRUE((*chars)[1]->descriptors()->empty());
    // Each callback already saw its list set.
    EXPECT_EQ(recorder->count("DidDiscoverDescriptors"), 4u);

    // A second discovery in the same connection keeps the objects.
    p->discoverServices(std::vector<CBUUID>{CBUUID::UUIDWithString(kService)});
    ASSERT_TRUE(recorder->waitFor("DidDiscoverServices", 2));
    EXPECT_EQ(p->services()->front(), service);

    // A filter that matches nothing still sets the list, empty.
    p->discoverCharacteristics(std::vector<CBUUID>{CBUUID::UUIDWithString("2A00")}, service);
    ASSERT_TRUE(recorder->waitFor("DidDiscoverCharacteristics", 2));
    EXPECT_EQ(service->characteristics()->size(), 4u);  // what was found before stays
}

TEST_F(PlatformGatt, ReadsWritesAndNotificationsShareTheValueCallbackInLinkOrder) {
    CBPeripheralPtr p;
    auto service = ready(p);
    ASSERT_TRUE(service);
    auto c = characteristic(service, kReadChar);
    EXPECT_FALSE(c->value());

    p->readValue(c);
    auto read = recorder->waitFor("DidUpdateValue");
    ASSERT_TRUE(read);
    EXPECT_FALSE(read->error);
    EXPECT_EQ(read->value, std::string("\x01\x00\x02", 3));  // zero byte kept, value set before the call
    EXPECT_EQ(c->value(), std::string("\x01\x00\x02", 3));

    p->writeValue("abc", c, CBCharacteristicWriteType::WithResponse);
    auto written = recorder->waitFor("DidWriteValue");
    ASSERT_TRUE(written);
    EXPECT_FALSE(written->error);
    EXPECT_EQ(World::get().value(kDeviceId, kService, kReadChar), "abc");
    const auto writes = World::get().receivedWrites(kDeviceId);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].data, "abc");
    EXPECT_TRUE(writes[0].with_response);
    EXPECT_EQ(writes[0].characteristic_uuid, kReadChar);

    // Notifications only while subscribed.
    World::get().notify(kDeviceId, kService, kReadChar, "n0");
    p->setNotifyValue(true, c);
    auto on = recorder->waitFor("DidUpdateNotificationState");
    ASSERT_TRUE(on);
    EXPECT_FALSE(on->error);
    EXPECT_EQ(on->value, "on");
    EXPECT_TRUE(c->isNotifying());
    p->readValue(c);
    for (int i = 1; i <= 50; ++i) {
        World::get().notify(kDeviceId, kService, kReadChar, "n" + std::to_string(i));
    }
    ASSERT_TRUE(recorder->waitFor("DidUpdateValue", 52));
    const auto values = recorder->eventsOf("DidUpdateValue");
    // The read's answer carries whatever the device held when it answered, so it sits among the
    // notifications; in link order every value is at least the one before, and all fifty arrive.
    std::vector<int> seen;
    for (size_t i = 1; i < values.size(); ++i) {
        ASSERT_TRUE(values[i].value);
        ASSERT_EQ(values[i].value->front(), 'n');
        seen.push_back(std::stoi(values[i].value->substr(1)));
    }
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
    seen.erase(std::remove(seen.begin(), seen.end(), 0), seen.end());  // a read answered before "n1"
    EXPECT_EQ(seen.size(), 50u);
    EXPECT_EQ(seen.front(), 1);
    EXPECT_EQ(c->value(), "n50");

    // Same state again answers at once; unsubscribing stops notifications.
    p->setNotifyValue(true, c);
    ASSERT_TRUE(recorder->waitFor("DidUpdateNotificationState", 2));
    p->setNotifyValue(false, c);
    auto off = recorder->waitFor("DidUpdateNotificationState", 3);
    ASSERT_TRUE(off);
    EXPECT_EQ(off->value, "off");
    World::get().notify(kDeviceId, kService, kReadChar, "late");
    std::this_thread::sleep_for(20ms);  // nothing may arrive: give it the chance
    EXPECT_EQ(recorder->count("DidUpdateValue"), 52u);
}

TEST_F(PlatformGatt, RefusedRequestsCarryThePlatformErrors) {
    CBPeripheralPtr p;
    auto service = ready(p);
    ASSERT_TRUE(service);
    auto plain = characteristic(service, kPlainChar);
    auto write = characteristic(service, kWriteChar);
    auto read = characteristic(service, kReadChar);

    p->readValue(write);
    auto e1 = recorder->waitFor("DidUpdateValue");
    ASSERT_TRUE(e1);
    EXPECT_EQ(e1->error, "Reading is not permitted.");
    EXPECT_FALSE(write->value());

    p->writeValue("x", plain, CBCharacteristicWriteType::WithResponse);
    auto e2 = recorder->waitFor("DidWriteValue");
    ASSERT_TRUE(e2);
    EXPECT_EQ(e2->error, "Writing is not permitted.");

    p->writeValue(std::string(513, 'x'), read, CBCharacteristicWriteType::WithResponse);
    auto e3 = recorder->waitFor("DidWriteValue", 2);
    ASSERT_TRUE(e3);
    EXPECT_EQ(e3->error, "The value's length is invalid.");
    p->writeValue(std::string(512, 'x'), read, CBCharacteristicWriteType::WithResponse);
    auto ok = recorder->waitFor("DidWriteValue", 3);
    ASSERT_TRUE(ok);
    EXPECT_FALSE(ok->error);

    p->setNotifyValue(true, plain);
    auto e4 = recorder->waitFor("DidUpdateNotificationState");
    ASSERT_TRUE(e4);
    EXPECT_EQ(e4->error, "The request is not supported.");
    EXPECT_FALSE(plain->isNotifying());

    // A write without response to a characteristic without that property only writes a console line.
    p->writeValue("y", plain, CBCharacteristicWriteType::WithoutResponse);
    EXPECT_EQ(console.count("does not allow writes without response"), 1u);
    const auto writes = World::get().receivedWrites(kDeviceId);
    ASSERT_EQ(writes.size(), 1u);  // only the accepted 512-byte write reached the device
    EXPECT_EQ(writes[0].data.size(), 512u);
}

// The read characteristic asks for encryption and its user description for authentication; the device takes no
// prepared writes. No link is ever encrypted here.
class PlatformSecurity : public PlatformTest {
  protected:
    void SetUp() override {
        auto secured = testDevice();
        auto& read = find_characteristic(secured, kReadChar);
        read.security = sim::Security::Encryption;
        read.descriptors.at(0).security = sim::Security::Authentication;
        secured.prepared_writes = false;
        start(world_of({secured}));
    }
};

TEST_F(PlatformSecurity, SecuredAttributesAndWritesTooLongForOneRequestAreRefusedWithAttErrors) {
    CBPeripheralPtr p;
    auto service = ready(p);
    ASSERT_TRUE(service);
    auto read = characteristic(service, kReadChar);
    p->readValue(read);
    auto refused = recorder->waitFor("DidUpdateValue");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->error, "Encryption is insufficient.");
    p->setNotifyValue(true, read);
    auto subscription = recorder->waitFor("DidUpdateNotificationState");
    ASSERT_TRUE(subscription);
    EXPECT_EQ(subscription->error, "Encryption is insufficient.");
    p->readValue(descriptor(read, "2901"));
    auto description = recorder->waitFor("DidUpdateDescriptor");
    ASSERT_TRUE(description);
    EXPECT_EQ(description->error, "Authentication is insufficient.");

    // The MTU is 103: 100 bytes go in one request, 101 only as prepared writes.
    auto write = characteristic(service, kWriteChar);
    p->writeValue(std::string(101, 'x'), write, CBCharacteristicWriteType::WithResponse);
    auto too_long = recorder->waitFor("DidWriteValue");
    ASSERT_TRUE(too_long);
    EXPECT_EQ(too_long->error, "The request is not supported.");
    p->writeValue(std::string(100, 'x'), write, CBCharacteristicWriteType::WithResponse);
    auto fits = recorder->waitFor("DidWriteValue", 2);
    ASSERT_TRUE(fits);
    EXPECT_FALSE(fits->error);
}

TEST_F(PlatformGatt, DescriptorValuesAreTypedAndTheConfigurationDescriptorRefusesWrites) {
    CBPeripheralPtr p;
    auto service = ready(p);
    ASSERT_TRUE(service);
    auto c = characteristic(service, kReadChar);
    auto text = descriptor(c, "2901");
    auto cccd = descriptor(c, "2902");
    auto bytes = descriptor(c, "2904");
    auto number = descriptor(c, "2900");
    ASSERT_TRUE(text && cccd && bytes && number);
    EXPECT_FALSE(text->value());

    for (const auto& d : {text, cccd, bytes, number}) {
        p->readValue(d);
    }
    ASSERT_TRUE(recorder->waitFor("DidUpdateDescriptor", 4));
    EXPECT_EQ(text->value()->kind, CBDescriptorValue::Kind::String);
    EXPECT_EQ(text->value()->bytes, "Level");
    EXPECT_EQ(bytes->value()->kind, CBDescriptorValue::Kind::Data);
    EXPECT_EQ(bytes->value()->bytes, std::string("\x04\x00", 2));
    EXPECT_EQ(number->value()->kind, CBDescriptorValue::Kind::Number);
    EXPECT_EQ(number->value()->number, 0x0102);
    EXPECT_EQ(cccd->value()->kind, CBDescriptorValue::Kind::Number);
    EXPECT_EQ(cccd->value()->number, 0);

    p->setNotifyValue(true, c);
    ASSERT_TRUE(recorder->waitFor("DidUpdateNotificationState"));
    p->readValue(cccd);
    ASSERT_TRUE(recorder->waitFor("DidUpdateDescriptor", 5));
    EXPECT_EQ(cccd->value()->number, 1);

    try {
        p->writeValue(std::string("\x01\x00", 2), cccd);
        ADD_FAILURE() << "no exception";
    } catch (const NSException& e) {
        EXPECT_EQ(e.reason(),
                  "Client Characteristic Configuration descriptors must be configured using "
                  "setNotifyValue:forCharacteristic:");
    }

    p->writeValue("Depth", text);
    auto w = recorder->waitFor("DidWriteDescriptor");
    ASSERT_TRUE(w);
    EXPECT_FALSE(w->error);
    p->readValue(text);
    ASSERT_TRUE(recorder->waitFor("DidUpdateDescriptor", 6));
    EXPECT_EQ(text->value()->bytes, "Depth");
}

TEST_F(PlatformGatt, IndicationOnlyCharacteristicReadsTwoFromItsConfiguration) {
    auto config = testDevice();
    config.services[0].characteristics[3].descriptors = {{"2902", std::nullopt, {}}};
    start(world_of({config}));
    CBPeripheralPtr p;
    auto service = ready(p);
    ASSERT_TRUE(service);
    auto c = characteristic(service, kIndicateChar);
    p->setNotifyValue(true, c);
    auto on = recorder->waitFor("DidUpdateNotificationState");
    ASSERT_TRUE(on);
    EXPECT_FALSE(on->error);
    auto cccd = descriptor(c, "2902");
    p->readValue(cccd);
    ASSERT_TRUE(recorder->waitFor("DidUpdateDescriptor"));
    EXPECT_EQ(cccd->value()->number, 2);
}

TEST_F(PlatformGatt, RequestsWhileNotConnectedOnlyWriteTheMisuseLine) {
    auto p = find();
    ASSERT_TRUE(p);
    p->discoverServices(std::nullopt);
    EXPECT_EQ(console.count(kNotConnectedLine), 1u);
    EXPECT_EQ(p->maximumWriteValueLengthForType(CBCharacteristicWriteType::WithoutResponse), 20u);
    EXPECT_EQ(p->maximumWriteValueLengthForType(CBCharacteristicWriteType::WithResponse), 512u);
    EXPECT_FALSE(p->canSendWriteWithoutResponse());

    connect(p);
    auto service = discoverAll(p);
    ASSERT_TRUE(service);
    EXPECT_EQ(p->maximumWriteValueLengthForType(CBCharacteristicWriteType::WithoutResponse), 100u);
    auto c = characteristic(service, kReadChar);
    central->cancelPeripheralConnection(p);
    ASSERT_TRUE(recorder->waitFor("DidDisconnect"));
    EXPECT_FALSE(p->services());
    EXPECT_EQ(p->maximumWriteValueLengthForType(CBCharacteristicWriteType::WithoutResponse), 20u);
    p->readValue(c);
    p->writeValue("x", c, CBCharacteristicWriteType::WithResponse);
    p->setNotifyValue(true, c);
    EXPECT_EQ(console.count(kNotConnectedLine), 4u);

    // Objects of the previous connection are not those of a new one.
    connect(p);
    p->readValue(c);
    EXPECT_EQ(console.count("is not of this peripheral's current connection"), 1u);
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(recorder->count("DidUpdateValue"), 0u);
}

const std::string kOtherId = "7E1D0C4B-3A29-4F18-8E07-6D5C4B3A2919";

class PlatformNotifications : public PlatformTest {
  protected:
    void SetUp() override { start(world_of({testDevice(), testDevice(kOtherId)})); }
};

TEST_F(PlatformNotifications, InterleavedLinksEachGetTheirOwnValuesInOrderAndNoneOnceDown) {
    // Each peripheral discovered and subscribed with the shared recorder, then given a delegate of its own.
    auto subscribe = [&](const std::string& id, const std::shared_ptr<Recorder>& own) {
        auto p = find(id);
        EXPECT_TRUE(p);
        connect(p);
        auto c = characteristic(discoverAll(p), kReadChar);
        const size_t before = recorder->count("DidUpdateNotificationState");
        p->setNotifyValue(true, c);
        EXPECT_TRUE(recorder->waitFor("DidUpdateNotificationState", before + 1));
        p->setDelegate(own);
        return p;
    };
    auto mine = std::make_shared<Recorder>();
    auto theirs = std::make_shared<Recorder>();
    auto a = subscribe(kDeviceId, mine);
    auto b = subscribe(kOtherId, theirs);
    ASSERT_TRUE(a && b);

    constexpr int kValues = 100;
    std::vector<std::string> sent_a, sent_b;
    for (int i = 0; i < kValues; ++i) {
        sent_a.push_back("a" + std::to_string(i));
        sent_b.push_back("b" + std::to_string(i));
        World::get().notify(kDeviceId, kService, kReadChar, sent_a.back());
        World::get().notify(kOtherId, kService, kReadChar, sent_b.back());
    }
    ASSERT_TRUE(mine->waitFor("DidUpdateValue", kValues));
    ASSERT_TRUE(theirs->waitFor("DidUpdateValue", kValues));
    auto values = [](const Recorder& r) {
        std::vector<std::string> out;
        for (const auto& e : r.eventsOf("DidUpdateValue")) {
            out.push_back(e.value.value_or("<none>"));
        }
        return out;
    };
    EXPECT_EQ(values(*mine), sent_a);
    EXPECT_EQ(values(*theirs), sent_b);

    // One link lost: the other's values still arrive, the lost one's never.
    World::get().dropLink(kOtherId);
    ASSERT_TRUE(recorder->waitFor("DidDisconnect"));
    World::get().notify(kOtherId, kService, kReadChar, "late");
    World::get().notify(kDeviceId, kService, kReadChar, "after");
    ASSERT_TRUE(mine->waitFor("DidUpdateValue", kValues + 1));
    EXPECT_EQ(values(*mine).back(), "after");
    EXPECT_EQ(theirs->count("DidUpdateValue"), size_t(kValues));
}

}  // namespace
}  // namespace platform_test
