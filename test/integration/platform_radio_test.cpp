// The simulated world seen through the radio interface alone: sessions, reports, handles, requests, link loss.

#include <future>

#include "platform/Radio.h"

#include "support/PlatformHarness.h"

namespace platform_test {
namespace {

// Records a session's events as lines.
class Listener : public radio::RadioCentralEvents {
  public:
    void radioStateChanged(CBManagerState state) override { add("state " + std::to_string(static_cast<int>(state))); }
    void radioDiscovered(const std::vector<radio::Sighting>& batch) override {
        for (const auto& sighting : batch) {
            const auto& report = *sighting.report;
            add("found " + report.device + " " + report.name.value_or("-") + " " + std::to_string(report.rssi));
        }
    }
    void radioConnected(const radio::DeviceKey& device) override { add("connected " + device); }
    void radioConnectFailed(const radio::DeviceKey& device, const NSError& error) override {
        add("failed " + device + " " + error.description);
    }
    void radioDisconnected(const radio::DeviceKey& device, const NSError* error) override {
        add("disconnected " + device + (error ? " " + error->description : std::string()));
    }
    void radioNotified(const radio::DeviceKey&, radio::AttributeHandle handle, const std::string& value) override {
        add("notified " + std::to_string(handle) + " " + value);
    }

    void add(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
    }
    bool waitFor(const std::string& line) {
        return eventually([&] {
            std::lock_guard<std::mutex> lock(mutex_);
            return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
        });
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

TEST(PlatformRadio, ARunOfNotificationsReachesAListenerValueByValue) {
    // By default a run is one radioNotified per value, so that one that throws costs only itself.
    struct Throwing : Listener {
        void radioNotified(const radio::DeviceKey& device, radio::AttributeHandle handle,
                           const std::string& value) override {
            if (value == "bad") {
                throw std::runtime_error("a listener's fault");
            }
            Listener::radioNotified(device, handle, value);
        }
    } listener;
    const radio::DeviceKey device = kDeviceId;
    const std::string one = "1", bad = "bad", two = "2";
    listener.radioNotifiedTogether({{&device, 7, &one}, {&device, 7, &bad}, {&device, 7, &two}});
    EXPECT_TRUE(listener.waitFor("notified 7 1"));
    EXPECT_TRUE(listener.waitFor("notified 7 2"));
}

TEST(PlatformRadio, TheWorldServesASessionThroughTheRadioInterface) {
    auto device = testDevice();
    device.advertising.rssi = -60;
    World::get().reset(world_of({device}));
    auto listener = std::make_shared<Listener>();
    auto session = World::get().radio().openCentral(listener);
    ASSERT_TRUE(listener->waitFor("state 5"));
    EXPECT_EQ(World::get().radio().authorization(), CBManagerAuthorization::AllowedAlways);

    session->startScan(std::vector<CBUUID>{CBUUID::UUIDWithString(kService)}, false);
    ASSERT_TRUE(listener->waitFor("found " + kDeviceId + " Test Device -60"));
    session->stopScan();

    session->connect(kDeviceId);
    ASSERT_TRUE(listener->waitFor("connected " + kDeviceId));
    EXPECT_EQ(session->mtu(kDeviceId), 103u);
    EXPECT_EQ(session->transmitQueueDepth(), 20u);

    // Handles as an attribute table numbers them: the service at 0x0f, each characteristic's declaration then
    // its value, then its descriptors.
    std::promise<std::vector<radio::ServiceInfo>> services;
    session->discoverServices(kDeviceId, [&](const NSError* e, const std::vector<radio::ServiceInfo>& list) {
        EXPECT_EQ(e, nullptr);
        services.set_value(list);
    });
    const auto s = services.get_future().get();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].handle, 0x000f);
    std::promise<std::vector<radio::CharacteristicInfo>> characteristics;
    session->discoverCharacteristics(
        kDeviceId, 0x000f,
        [&](const NSError*, const std::vector<radio::CharacteristicInfo>& list) { characteristics.set_value(list); });
    const auto c = characteristics.get_future().get();
    ASSERT_EQ(c.size(), 4u);
    EXPECT_EQ(c[0].handle, 0x0010);  // four descriptors at 0x12-0x15
    EXPECT_EQ(c[1].handle, 0x0016);
    EXPECT_EQ(c[2].handle, 0x0018);
    EXPECT_EQ(c[1].properties, CBCharacteristicPropertyWrite | CBCharacteristicPropertyWriteWithoutResponse);
    std::promise<std::vector<radio::DescriptorInfo>> descriptors;
    session->discoverDescriptors(kDeviceId, 0x0010, [&](const NSError*, const std::vector<radio::DescriptorInfo>& l) {
        descriptors.set_value(l);
    });
    const auto d = descriptors.get_future().get();
    ASSERT_EQ(d.size(), 4u);
    EXPECT_EQ(d[1].handle, 0x0013);
    EXPECT_EQ(d[1].uuid, CBUUID::UUIDWithString("2902"));

    std::promise<std::string> read;
    session->readCharacteristic(kDeviceId, 0x0010, [&](const NSError*, const std::string& v) { read.set_value(v); });
    EXPECT_EQ(read.get_future().get(), std::string("\x01\x00\x02", 3));
    std::promise<std::string> refused;
    session->readCharacteristic(kDeviceId, 0x0016, [&](const NSError* e, const std::string&) {
        refused.set_value(e ? e->description : "none");
    });
    EXPECT_EQ(refused.get_future().get(), "Reading is not permitted.");

    std::promise<void> subscribed;
    session->setNotify(kDeviceId, 0x0010, true, [&](const NSError*) { subscribed.set_value(); });
    subscribed.get_future().get();
    World::get().notify(kDeviceId, kService, kReadChar, "n1");
    EXPECT_TRUE(listener->waitFor("notified 16 n1"));
    std::promise<std::string> configuration;
    session->readDescriptor(kDeviceId, 0x0013,
                            [&](const NSError*, const std::string& v) { configuration.set_value(v); });
    EXPECT_EQ(configuration.get_future().get(), std::string("\x01\x00", 2));

    std::promise<void> sent;
    session->writeWithoutResponse(kDeviceId, 0x0016, "w", [&](const NSError* e) {
        EXPECT_EQ(e, nullptr);
        sent.set_value();
    });
    sent.get_future().get();
    EXPECT_TRUE(eventually([] { return World::get().receivedWrites(kDeviceId).size() == 1; }));

    World::get().dropLink(kDeviceId);
    EXPECT_TRUE(listener->waitFor("disconnected " + kDeviceId + " The connection has timed out unexpectedly."));
    EXPECT_EQ(session->mtu(kDeviceId), 23u);
    session->close();
}

}  // namespace
}  // namespace platform_test
