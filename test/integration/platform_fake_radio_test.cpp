// The façade over a radio that is not the simulated world: a scripted radio written here, with its own thread.

#include <future>

#include "platform/Radio.h"

#include "support/PlatformHarness.h"

namespace platform_test {
namespace {

const radio::DeviceKey kFake = "AA:BB:CC:DD:EE:01";
constexpr radio::AttributeHandle kHeartRate = 0x0020;
constexpr radio::AttributeHandle kMeasurement = 0x0021;

// One session that answers every request on its own thread, after the request returned.
class FakeSession : public radio::RadioCentral, public std::enable_shared_from_this<FakeSession> {
  public:
    explicit FakeSession(std::weak_ptr<radio::RadioCentralEvents> events)
        : events_(std::move(events)), thread_(dispatch_queue_create("fake.radio", DISPATCH_QUEUE_SERIAL)) {}

    /// Runs `event` on the radio's thread with the listener, unless the session is closed.
    void post(std::function<void(radio::RadioCentralEvents&)> event) {
        thread_->async([weak = weak_from_this(), event = std::move(event)] {
            auto self = weak.lock();
            if (!self || self->closed_) {
                return;
            }
            if (auto listener = self->events_.lock()) {
                event(*listener);
            }
        });
    }

    CBManagerState state() const override { return CBManagerState::PoweredOn; }
    void startScan(const std::optional<std::vector<CBUUID>>&, bool) override {
        post([](radio::RadioCentralEvents& l) {
            auto report = std::make_shared<radio::AdvertisementReport>();
            report->device = kFake;
            report->name = "Fake";
            report->advertisement.serviceUUIDs = std::vector<CBUUID>{CBUUID::UUIDWithString("180D")};
            report->rssi = -42;
            l.radioDiscovered({radio::Sighting{report.get(), nullptr}});
        });
    }
    void stopScan() override { barrier(); }
    void connect(const radio::DeviceKey& device) override {
        post([device](radio::RadioCentralEvents& l) { l.radioConnected(device); });
    }
    void cancelConnection(const radio::DeviceKey& device) override {
        post([device](radio::RadioCentralEvents& l) { l.radioDisconnected(device, nullptr); });
    }
    void discoverServices(const radio::DeviceKey&, radio::ServicesDone done) override {
        answer([done] { done(nullptr, {{kHeartRate, CBUUID::UUIDWithString("180D")}}); });
    }
    void discoverCharacteristics(const radio::DeviceKey&, radio::AttributeHandle,
                                 radio::CharacteristicsDone done) override {
        answer([done] {
            done(nullptr, {{kMeasurement, CBUUID::UUIDWithString("2A37"),
                            CBCharacteristicPropertyRead | CBCharacteristicPropertyNotify |
                                CBCharacteristicPropertyWriteWithoutResponse}});
        });
    }
    void discoverDescriptors(const radio::DeviceKey&, radio::AttributeHandle, radio::DescriptorsDone done) override {
        answer([done] { done(nullptr, {}); });
    }
    void readCharacteristic(const radio::DeviceKey&, radio::AttributeHandle handle, radio::ValueDone done) override {
        answer([done, handle] { done(nullptr, handle == kMeasurement ? "r1" : ""); });
    }
    void writeCharacteristic(const radio::DeviceKey&, radio::AttributeHandle, const std::string&,
                             radio::Done done) override {
        answer([done] { done(nullptr); });
    }
    void writeWithoutResponse(const radio::DeviceKey&, radio::AttributeHandle, const std::string&,
                              radio::Done sent) override {
        answer([sent] {
            const NSError refused{"FakeDomain", 3, "The fake radio drops writes."};
            sent(&refused);
        });
    }
    void setNotify(const radio::DeviceKey&, radio::AttributeHandle, bool, radio::NotifyDelivery,
                   radio::Done done) override {
        answer([done] { done(nullptr); });
    }
    void readDescriptor(const radio::DeviceKey&, radio::AttributeHandle, radio::ValueDone done) override {
        answer([done] { done(nullptr, ""); });
    }
    void writeDescriptor(const radio::DeviceKey&, radio::AttributeHandle, const std::string&,
                         radio::Done done) override {
        answer([done] { done(nullptr); });
    }
    unsigned mtu(const radio::DeviceKey&) const override { return 64; }
    unsigned transmitQueueDepth() const override { return 4; }
    void close() override {
        closed_ = true;
        barrier();
    }

  private:
    void answer(std::function<void()> completion) {
        post([completion = std::move(completion)](radio::RadioCentralEvents&) { completion(); });
    }
    void barrier() {
        if (!thread_->isCurrent()) {
            thread_->sync([] {});
        }
    }

    const std::weak_ptr<radio::RadioCentralEvents> events_;
    std::atomic<bool> closed_{false};
    dispatch_queue_t thread_;
};

class FakeRadio : public radio::Radio {
  public:
    std::shared_ptr<radio::RadioCentral> openCentral(std::weak_ptr<radio::RadioCentralEvents> events) override {
        session = std::make_shared<FakeSession>(std::move(events));
        session->post([](radio::RadioCentralEvents& l) { l.radioStateChanged(CBManagerState::PoweredOn); });
        return session;
    }
    CBManagerAuthorization authorization() const override { return CBManagerAuthorization::AllowedAlways; }

    std::shared_ptr<FakeSession> session;
};

TEST(PlatformFakeRadio, TheFacadeRunsOverAnyRadio) {
    FakeRadio fake;
    ConsoleCapture console;
    auto recorder = std::make_shared<Recorder>();
    auto central = CBCentralManager::initWithDelegate(
        recorder, dispatch_queue_create("fake.central", DISPATCH_QUEUE_SERIAL), std::nullopt, fake);
    ASSERT_TRUE(recorder->waitFor("DidUpdateState"));
    EXPECT_EQ(central->state(), CBManagerState::PoweredOn);

    central->scanForPeripherals(std::nullopt, {});
    auto p = recorder->waitForAdvert(kFake);
    ASSERT_TRUE(p);
    // The radio gave up on the scan: the manager is no longer scanning.
    EXPECT_TRUE(central->isScanning());
    fake.session->post([](radio::RadioCentralEvents& l) { l.radioScanEnded(NSError{"FakeDomain", 1, "refused"}); });
    EXPECT_TRUE(eventually([&] { return !central->isScanning(); }));
    central->stopScan();
    EXPECT_EQ(p->name(), std::string("Fake"));
    EXPECT_EQ(recorder->adverts().front().rssi, -42);
    p->setDelegate(recorder);

    central->connectPeripheral(p, {});
    ASSERT_TRUE(recorder->waitFor("DidConnect"));
    EXPECT_EQ(p->maximumWriteValueLengthForType(CBCharacteristicWriteType::WithoutResponse), 61u);
    p->discoverServices(std::nullopt);
    ASSERT_TRUE(recorder->waitFor("DidDiscoverServices"));
    auto service = p->services().value().at(0);
    p->discoverCharacteristics(std::nullopt, service);
    ASSERT_TRUE(recorder->waitFor("DidDiscoverCharacteristics"));
    auto measurement = service->characteristics().value().at(0);
    EXPECT_EQ(measurement->UUID(), CBUUID::UUIDWithString("2A37"));

    p->readValue(measurement);
    auto read = recorder->waitFor("DidUpdateValue");
    ASSERT_TRUE(read);
    EXPECT_EQ(read->value, std::string("r1"));
    // Nobody waits for a write without response: its failure is told on the console.
    p->writeValue("w", measurement, CBCharacteristicWriteType::WithoutResponse);
    EXPECT_TRUE(eventually([&] {
        return console.count("Write without response to characteristic 2A37 failed: The fake radio drops writes.") == 1;
    }));

    p->setNotifyValue(true, measurement);
    ASSERT_TRUE(recorder->waitFor("DidUpdateNotificationState"));
    EXPECT_TRUE(measurement->isNotifying());
    fake.session->post([](radio::RadioCentralEvents& l) { l.radioNotified(kFake, kMeasurement, "n1"); });
    auto notified = recorder->waitFor("DidUpdateValue", 2);
    ASSERT_TRUE(notified);
    EXPECT_EQ(notified->value, std::string("n1"));
    // A run the radio received together comes in order; values this link knows nothing of are dropped.
    fake.session->post([](radio::RadioCentralEvents& l) {
        const std::string n2 = "n2", stray = "stray", n3 = "n3";
        const radio::DeviceKey elsewhere = "AA:BB:CC:DD:EE:99";
        l.radioNotifiedTogether({{&kFake, kMeasurement, &n2},
                                 {&kFake, 0x0999, &stray},
                                 {&elsewhere, kMeasurement, &stray},
                                 {&kFake, kMeasurement, &n3}});
    });
    auto last = recorder->waitFor("DidUpdateValue", 4);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->value, std::string("n3"));
    EXPECT_EQ(recorder->waitFor("DidUpdateValue", 3)->value, std::string("n2"));

    const NSError gone{"FakeDomain", 7, "The fake link is gone."};
    fake.session->post([gone](radio::RadioCentralEvents& l) { l.radioDisconnected(kFake, &gone); });
    auto lost = recorder->waitFor("DidDisconnect");
    ASSERT_TRUE(lost);
    EXPECT_EQ(lost->error, std::string("The fake link is gone."));
    EXPECT_EQ(p->state(), CBPeripheralState::Disconnected);
    EXPECT_FALSE(p->services());
    EXPECT_FALSE(measurement->isNotifying());
    p->readValue(measurement);
    EXPECT_EQ(console.count(kNotConnectedLine), 1u);
    central.reset();
}

// A central over the fake radio, scanning with every report wanted.
class FakeRadioScan : public ::testing::Test {
  protected:
    void SetUp() override {
        central = CBCentralManager::initWithDelegate(recorder, queue, std::nullopt, fake);
        ASSERT_TRUE(recorder->waitFor("DidUpdateState"));
        central->scanForPeripherals(std::nullopt, {{CBCentralManagerScanOptionAllowDuplicatesKey, true}});
    }
    void TearDown() override { central->stopScan(); }

    FakeRadio fake;
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    dispatch_queue_t queue = dispatch_queue_create("fake.central", DISPATCH_QUEUE_SERIAL);
    CBCentralManagerPtr central;
};

TEST_F(FakeRadioScan, QueuedAdvertisementsKeepTheDataTheyCameWith) {
    // A device's advertisement changes while its earlier reports wait for a held queue, and the radio lets go of
    // each report once it has lent it: every report still arrives with its own data, from the one peripheral.
    auto p = recorder->waitForAdvert(kFake);
    ASSERT_TRUE(p);

    std::promise<void> open;
    queue->async([held = open.get_future().share()] { held.wait(); });
    std::promise<void> sent;
    fake.session->post([&sent](radio::RadioCentralEvents& l) {
        radio::DeviceSlot slot;
        for (char version : {'1', '2', '3'}) {
            auto report = std::make_shared<radio::AdvertisementReport>();
            report->device = kFake;
            report->advertisement.manufacturerData = std::string(1, version);
            l.radioDiscovered({{report.get(), &slot}, {report.get(), &slot}});
        }
        sent.set_value();
    });
    ASSERT_EQ(sent.get_future().wait_for(2s), std::future_status::ready);
    open.set_value();
    ASSERT_TRUE(eventually([&] { return recorder->adverts().size() == 7; }));

    std::string versions;
    for (const auto& advert : recorder->adverts()) {
        EXPECT_EQ(advert.peripheral, p);
        versions += advert.data.manufacturerData.value_or("-");
    }
    EXPECT_EQ(versions, "-112233");
}

// A connection started while the radio's answer to a cancel is still on its way supersedes that cancel: the late
// answer belongs to the link that went, and the new connection comes up all the same.
TEST_F(FakeRadioScan, AConnectionSupersedesTheAnswerToACancelStillOnItsWay) {
    auto p = recorder->waitForAdvert(kFake);
    ASSERT_TRUE(p);
    central->connectPeripheral(p, {});
    ASSERT_TRUE(recorder->waitFor("DidConnect"));

    std::promise<void> open;
    fake.session->post([held = open.get_future().share()](radio::RadioCentralEvents&) { held.wait(); });
    central->cancelPeripheralConnection(p);  // answered once the radio's thread goes on
    central->connectPeripheral(p, {});       // and this one after it
    EXPECT_EQ(p->state(), CBPeripheralState::Connecting);
    open.set_value();
    EXPECT_TRUE(recorder->waitFor("DidConnect", 2));
    EXPECT_EQ(p->state(), CBPeripheralState::Connected);
    EXPECT_EQ(recorder->count("DidDisconnect"), 0u);
}

TEST_F(FakeRadioScan, ABatchMeetingACaughtUpQueueGoesWholeAndOneBehindItIsBounded) {
    // Radios hand over one batch per pass, which may be larger than the backlog bound: while the queue has caught
    // up such a batch is not a queue behind and arrives whole; a batch behind waiting ones loses its repeats.
    ASSERT_TRUE(recorder->waitForAdvert(kFake));
    const size_t big = 10000;  // above the bound
    auto report = std::make_shared<radio::AdvertisementReport>();
    report->device = kFake;
    auto send = [&] {
        std::promise<void> sent;
        fake.session->post([&](radio::RadioCentralEvents& l) {
            l.radioDiscovered(std::vector<radio::Sighting>(big, radio::Sighting{report.get(), nullptr}));
            sent.set_value();
        });
        ASSERT_EQ(sent.get_future().wait_for(5s), std::future_status::ready);
    };
    send();
    EXPECT_TRUE(eventually([&] { return recorder->adverts().size() == 1 + big; }, 5000ms));

    std::promise<void> open;
    queue->async([held = open.get_future().share()] { held.wait(); });
    send();  // finds nothing waiting: whole
    send();  // behind it: repeats dropped
    open.set_value();
    EXPECT_TRUE(eventually([&] { return recorder->adverts().size() == 1 + 2 * big; }, 5000ms));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(recorder->adverts().size(), 1 + 2 * big);
}

}  // namespace
}  // namespace platform_test
