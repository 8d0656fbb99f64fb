// Injected faults: what each kind of request gets instead of its answer.

#include "support/PlatformHarness.h"

namespace platform_test {
namespace {

struct Request {
    const char* kind;  // the fault key
    sim::FaultTarget target;
    const char* callback;  // the recorder's name for the answer
    std::function<void(PlatformTest&, const CBPeripheralPtr&, const CBServicePtr&)> prepare;
    std::function<void(const CBPeripheralPtr&, const CBServicePtr&)> send;
};

CBCharacteristicPtr readChar(const CBServicePtr& s) {
    const auto all = s->characteristics().value_or(std::vector<CBCharacteristicPtr>{});
    for (const auto& c : all) {
        if (c->UUID() == CBUUID::UUIDWithString(kReadChar)) {
            return c;
        }
    }
    return nullptr;
}

CBDescriptorPtr userDescription(const CBServicePtr& s) {
    const auto all = readChar(s)->descriptors().value_or(std::vector<CBDescriptorPtr>{});
    return all.empty() ? nullptr : all.front();
}

std::vector<Request> requests() {
    const sim::FaultTarget peripheral{};
    const sim::FaultTarget service{kService, "", ""};
    const sim::FaultTarget characteristic{kService, kReadChar, ""};
    const sim::FaultTarget descriptor{kService, kReadChar, "2901"};
    auto nothing = [](PlatformTest&, const CBPeripheralPtr&, const CBServicePtr&) {};
    return {
        {"discover_services", peripheral, "DidDiscoverServices", nothing,
         [](const CBPeripheralPtr& p, const CBServicePtr&) { p->discoverServices(std::nullopt); }},
        {"discover_characteristics", service, "DidDiscoverCharacteristics", nothing,
         [](const CBPeripheralPtr& p, const CBServicePtr& s) { p->discoverCharacteristics(std::nullopt, s); }},
        {"discover_descriptors", characteristic, "DidDiscoverDescriptors", nothing,
         [](const CBPeripheralPtr& p, const CBServicePtr& s) { p->discoverDescriptors(readChar(s)); }},
        {"read", characteristic, "DidUpdateValue", nothing,
         [](const CBPeripheralPtr& p, const CBServicePtr& s) { p->readValue(readChar(s)); }},
        {"write", characteristic, "DidWriteValue", nothing,
         [](const CBPeripheralPtr& p, const CBServicePtr& s) {
             p->writeValue("w", readChar(s), CBCharacteristicWriteType::WithResponse);
         }},
        {"subscribe", characteristic, "DidUpdateNotificationState", nothing,
         [](const CBPeripheralPtr& p, const CBServicePtr& s) { p->setNotifyValue(true, readChar(s)); }},
        {"unsubscribe", characteristic, "DidUpdateNotificationState",
         [](PlatformTest& t, const CBPeripheralPtr& p, const CBServicePtr& s) {
             p->setNotifyValue(true, readChar(s));
             ASSERT_TRUE(t.recorder->waitFor("DidUpdateNotificationState"));
             t.recorder->clear();
         },
         [](const CBPeripheralPtr& p, const CBServicePtr& s) { p->setNotifyValue(false, readChar(s)); }},
        {"read", descriptor, "DidUpdateDescriptor", nothing,
         [](const CBPeripheralPtr& p, const CBServicePtr& s) { p->readValue(userDescription(s)); }},
        {"write", descriptor, "DidWriteDescriptor", nothing,
         [](const CBPeripheralPtr& p, const CBServicePtr& s) { p->writeValue("d", userDescription(s)); }},
    };
}

class PlatformFault : public PlatformTest {
  protected:
    void SetUp() override { start(world_of({testDevice()})); }

    // Connected and discovered, with only this request's fault set; returns the service.
    CBServicePtr prepare(const Request& r, std::optional<sim::Fault> fault, CBPeripheralPtr& p) {
        for (const auto& other : requests()) {
            World::get().setFault(kDeviceId, other.target, other.kind, std::nullopt);
        }
        if (!p) {
            p = find();
        }
        if (p->state() != CBPeripheralState::Connected) {
            connect(p);
        }
        auto service = discoverAll(p);
        recorder->clear();
        r.prepare(*this, p, service);
        recorder->clear();
        World::get().setFault(kDeviceId, r.target, r.kind, fault);
        return service;
    }
    std::string label(const Request& r) const {
        return std::string(r.kind) + " on " +
               (r.target.descriptor_uuid.size()       ? "descriptor"
                : r.target.characteristic_uuid.size() ? "characteristic"
                : r.target.service_uuid.size()        ? "service"
                                                      : "peripheral");
    }
};

TEST_F(PlatformFault, ErrorFaultAnswersEveryRequestWithAnError) {
    CBPeripheralPtr p;
    for (const auto& r : requests()) {
        SCOPED_TRACE(label(r));
        auto service = prepare(r, sim::Fault::Error, p);
        ASSERT_TRUE(service);
        r.send(p, service);
        auto answer = recorder->waitFor(r.callback);
        ASSERT_TRUE(answer);
        EXPECT_TRUE(answer->error);
        EXPECT_EQ(p->state(), CBPeripheralState::Connected);
    }
    EXPECT_EQ(World::get().receivedWrites(kDeviceId).size(), 0u);
}

TEST_F(PlatformFault, SilentFaultNeverAnswers) {
    CBPeripheralPtr p;
    for (const auto& r : requests()) {
        SCOPED_TRACE(label(r));
        auto service = prepare(r, sim::Fault::Silent, p);
        ASSERT_TRUE(service);
        r.send(p, service);
        EXPECT_FALSE(recorder->waitFor(r.callback, 1, 20ms));  // 20 latencies
        EXPECT_EQ(p->state(), CBPeripheralState::Connected);
    }
}

TEST_F(PlatformFault, DropFaultLosesTheLinkInsteadOfAnswering) {
    CBPeripheralPtr p;
    for (const auto& r : requests()) {
        SCOPED_TRACE(label(r));
        auto service = prepare(r, sim::Fault::Drop, p);
        ASSERT_TRUE(service);
        r.send(p, service);
        auto lost = recorder->waitFor("DidDisconnect");
        ASSERT_TRUE(lost);
        EXPECT_TRUE(lost->error);
        EXPECT_EQ(p->state(), CBPeripheralState::Disconnected);
        EXPECT_FALSE(p->services());
        EXPECT_EQ(recorder->count(r.callback), 0u);
    }
}

TEST_F(PlatformFault, ConfiguredFaultsApplyToWritesWithoutResponse) {
    auto config = testDevice();
    config.services[0].characteristics[1].faults["write"] = sim::Fault::Silent;
    start(world_of({config}));
    CBPeripheralPtr p;
    auto service = ready(p);
    ASSERT_TRUE(service);
    auto c = characteristic(service, kWriteChar);
    p->writeValue("lost", c, CBCharacteristicWriteType::WithoutResponse);
    p->writeValue("also", c, CBCharacteristicWriteType::WithResponse);
    EXPECT_FALSE(recorder->waitFor("DidWriteValue", 1, 20ms));
    EXPECT_TRUE(World::get().receivedWrites(kDeviceId).empty());

    World::get().setFault(kDeviceId, {kService, kWriteChar, ""}, "write", sim::Fault::Drop);
    p->writeValue("drop", c, CBCharacteristicWriteType::WithoutResponse);
    auto lost = recorder->waitFor("DidDisconnect");
    ASSERT_TRUE(lost);
    EXPECT_TRUE(lost->error);

    EXPECT_THROW(World::get().setFault(kDeviceId, {kService, "2A00", ""}, "read", sim::Fault::Error),
                 std::out_of_range);
    EXPECT_THROW(World::get().setFault("00000000-0000-0000-0000-000000000000", {}, "read", sim::Fault::Error),
                 std::out_of_range);
}

}  // namespace
}  // namespace platform_test
