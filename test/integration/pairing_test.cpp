// Pairing through the public API over the simulated radio: each method through the program's agent, an
// encrypted read before and after pairing, the bond listed and connected without a scan, and the faults
// (a wrong passkey, an agent that never answers: removed, or outlasted by the pairing limit; two threads
// pairing one device).

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include <tavrin/Exceptions.h>

#include "support/AdapterHarness.h"

namespace adapter_test {
namespace {

using Tavrin::Exception::OperationFailed;
using Tavrin::Exception::OperationNotSupported;

const std::string kService = "7a1e0001-0000-4000-8000-00000000a100";
const std::string kSecret = "7a1e0002-0000-4000-8000-00000000a100";

platform::sim::PeripheralConfig pairing_device(unsigned n, platform::sim::PairingMethod method, uint32_t passkey,
                                               platform::sim::Security security, bool bonded = false) {
    auto config = device(device_id(n));
    platform::sim::PairingConfig pairing;
    pairing.method = method;
    pairing.passkey = passkey;
    pairing.bonded = bonded;
    config.pairing = pairing;
    platform::sim::ServiceConfig service;
    service.uuid = kService;
    auto secret = characteristic(kSecret, platform::CBCharacteristicPropertyRead, std::string("ok"));
    secret.security = security;
    service.characteristics.push_back(secret);
    config.services.push_back(service);
    return config;
}

// The program's agent, counting its questions.
struct CountingAgent {
    std::atomic<int> passkeys{0};
    std::atomic<int> confirmations{0};
    std::atomic<int> authorizations{0};
    std::atomic<int> cancels{0};
    std::atomic<uint32_t> displayed{0};
    std::atomic<bool> authorize{true};
    uint32_t passkey = 123456;
    Tavrin::PairingAgent agent() {
        Tavrin::PairingAgent a;
        a.capability = Tavrin::IoCapability::KeyboardDisplay;
        a.display_passkey = [this](const std::string&, uint32_t shown) { displayed = shown; };
        a.authorize = [this](const std::string&) {
            ++authorizations;
            return authorize.load();
        };
        a.cancel = [this](const std::string&) { ++cancels; };
        a.request_passkey = [this](const std::string&) {
            ++passkeys;
            return passkey;
        };
        a.confirm = [this](const std::string&, uint32_t shown) {
            ++confirmations;
            return shown == 654321;
        };
        return a;
    }
};

TEST(Pairing, EachMethodThroughTheProgramsAgent) {
    using platform::sim::PairingMethod;
    using platform::sim::Security;
    reset_world({pairing_device(1, PairingMethod::Passkey, 123456, Security::Authentication),
                 pairing_device(2, PairingMethod::NumericComparison, 654321, Security::Encryption),
                 pairing_device(3, PairingMethod::JustWorks, 0, Security::Encryption), device(device_id(4))});
    ConsoleCapture console;
    auto adapter = the_adapter();
    CountingAgent counting;

    // Without an agent, the encrypted read fails as any refused read does, saying so.
    auto lock = find_one(adapter, device_id(1));
    EXPECT_FALSE(lock.is_paired());
    lock.connect();
    EXPECT_THROW(lock.read(kService, kSecret), OperationFailed);
    EXPECT_EQ(console.count("needs a paired link: pairing was needed"), 1u);
    EXPECT_THROW(lock.pair(), OperationFailed);  // a passkey device with nobody to type it
    EXPECT_EQ(console.count("failed: Authentication Failed"), 1u);

    // An agent callback that throws refuses, and is written out.
    Tavrin::PairingAgent throwing;
    throwing.request_passkey = [](const std::string&) -> uint32_t { throw std::runtime_error("no keyboard"); };
    adapter.set_pairing_agent(throwing);
    EXPECT_THROW(lock.pair(), OperationFailed);
    EXPECT_TRUE(eventually([&] { return console.count("Exception in a pairing agent callback: no keyboard") == 1; }));

    // With the program's agent: a wrong passkey fails, the right one pairs, and the read works.
    counting.passkey = 111111;
    adapter.set_pairing_agent(counting.agent());
    EXPECT_THROW(lock.pair(), OperationFailed);
    EXPECT_FALSE(lock.is_paired());
    counting.passkey = 123456;
    {
        // Another handle of the adapter installs an agent of its own and removes it: this handle's agent answers.
        auto other = Tavrin::Adapter::get_adapters().at(0);
        Tavrin::PairingAgent mute;
        mute.capability = Tavrin::IoCapability::NoInputNoOutput;
        other.set_pairing_agent(mute);
        other.remove_pairing_agent();
    }
    lock.pair();
    EXPECT_TRUE(lock.is_paired());
    EXPECT_EQ(lock.read(kService, kSecret), "ok");
    lock.pair();  // at once: already paired
    EXPECT_EQ(counting.passkeys.load(), 2);

    // Numeric comparison, started by the encrypted read itself through the default agent (ours).
    auto meter = find_one(adapter, device_id(2));
    meter.connect();
    EXPECT_EQ(meter.read(kService, kSecret), "ok");
    EXPECT_EQ(counting.confirmations.load(), 1);
    EXPECT_TRUE(meter.is_paired());

    // Just works asks nothing; unpair() of a connected device disconnects and forgets the bond.
    auto sensor = find_one(adapter, device_id(3));
    sensor.set_time_limits(unbounded_limits());  // connects and pairs within limits as long as they go
    sensor.pair();
    EXPECT_TRUE(sensor.is_connected());
    EXPECT_TRUE(sensor.is_paired());
    sensor.unpair();
    EXPECT_FALSE(sensor.is_connected());
    EXPECT_FALSE(sensor.is_paired());
    EXPECT_EQ(counting.passkeys.load() + counting.confirmations.load(), 3);

    // A device of a world without pairing keeps the old answers.
    auto plain = find_one(adapter, device_id(4));
    EXPECT_THROW(plain.is_paired(), OperationNotSupported);
    EXPECT_THROW(plain.pair(), OperationNotSupported);
}

TEST(Pairing, HostShownPasskeyAndDeviceAskedJustWorks) {
    using platform::sim::PairingMethod;
    using platform::sim::Security;
    auto asking = [](unsigned n) {
        auto config = pairing_device(n, PairingMethod::JustWorks, 0, Security::Encryption);
        config.pairing->security_request = true;
        return config;
    };
    reset_world(
        {pairing_device(11, PairingMethod::DisplayPasskey, 482913, Security::Authentication), asking(13), asking(14)});
    auto adapter = the_adapter();
    CountingAgent counting;
    adapter.set_pairing_agent(counting.agent());

    // The host shows the passkey and the device's user types it: no question, nothing to cancel after.
    auto keypad = find_one(adapter, device_id(11));
    keypad.pair();
    EXPECT_TRUE(keypad.is_paired());
    EXPECT_TRUE(eventually([&] { return counting.displayed.load() == 482913u; }));  // shown on its own thread
    EXPECT_EQ(keypad.read(kService, kSecret), "ok");

    // A device that asks on its own once connected: the default agent authorizes it, or refuses.
    auto accepted = find_one(adapter, device_id(13));
    accepted.connect();
    EXPECT_TRUE(eventually([&] { return accepted.is_paired(); }));
    EXPECT_EQ(counting.authorizations.load(), 1);
    counting.authorize = false;
    auto refused = find_one(adapter, device_id(14));
    refused.connect();
    EXPECT_TRUE(eventually([&] { return counting.authorizations.load() == 2; }));
    EXPECT_FALSE(refused.is_paired());
    EXPECT_EQ(counting.cancels.load(), 0);  // answered questions are not taken back
}

// Descriptors and subscriptions raise the link as characteristics do, through the default agent.
TEST(Pairing, DescriptorsAndSubscriptionsRaiseTheLink) {
    using platform::sim::PairingMethod;
    using platform::sim::Security;
    const std::string kNote = "7a1e0003-0000-4000-8000-00000000a100";
    auto with_descriptors = [&](unsigned n, PairingMethod method, Security note, Security configuration) {
        auto config = pairing_device(n, method, 654321, Security::None);
        auto& c = config.services[0].characteristics[0];
        c.properties |= platform::CBCharacteristicPropertyNotify;
        c.descriptors.push_back(descriptor(kNote, std::string("n")));
        c.descriptors.back().security = note;
        c.descriptors.push_back(descriptor("2902"));
        c.descriptors.back().security = configuration;
        return config;
    };
    auto plain = with_descriptors(18, PairingMethod::JustWorks, Security::Encryption, Security::None);
    plain.pairing.reset();
    reset_world({with_descriptors(15, PairingMethod::JustWorks, Security::Encryption, Security::None),
                 with_descriptors(16, PairingMethod::JustWorks, Security::Encryption, Security::None),
                 with_descriptors(17, PairingMethod::NumericComparison, Security::None, Security::Authentication),
                 plain});
    auto adapter = the_adapter();
    CountingAgent counting;
    adapter.set_pairing_agent(counting.agent());

    auto reader = find_one(adapter, device_id(15));
    reader.connect();
    EXPECT_EQ(reader.read(kService, kSecret, kNote), "n");
    EXPECT_TRUE(reader.is_paired());

    auto writer = find_one(adapter, device_id(16));
    writer.connect();
    writer.write(kService, kSecret, kNote, "w");
    EXPECT_TRUE(writer.is_paired());
    EXPECT_EQ(writer.read(kService, kSecret, kNote), "w");

    // The client configuration asks for an authenticated key: subscribing pairs through the agent.
    auto subscriber = find_one(adapter, device_id(17));
    subscriber.connect();
    EXPECT_EQ(subscriber.read(kService, kSecret), "ok");  // the value itself is open
    EXPECT_FALSE(subscriber.is_paired());
    subscriber.notify(kService, kSecret, [](std::string) {});
    EXPECT_EQ(counting.confirmations.load(), 1);
    EXPECT_TRUE(subscriber.is_paired());

    // A device that never pairs keeps its refusal.
    auto closed = find_one(adapter, device_id(18));
    closed.connect();
    EXPECT_THROW(closed.read(kService, kSecret, kNote), OperationFailed);
}

TEST(Pairing, BondedDevicesAreListedAndConnectWithoutAScan) {
    using platform::sim::PairingMethod;
    using platform::sim::Security;
    reset_world({pairing_device(5, PairingMethod::Passkey, 1, Security::Authentication, true),
                 pairing_device(6, PairingMethod::JustWorks, 0, Security::Encryption)});
    auto adapter = the_adapter();
    auto limits = adapter.time_limits();
    limits.request = std::chrono::milliseconds(2500);
    adapter.set_time_limits(limits);
    auto paired = adapter.get_paired_peripherals();
    ASSERT_EQ(paired.size(), 1u);
    EXPECT_EQ(paired[0].address(), device_id(5));
    EXPECT_TRUE(paired[0].is_paired());
    EXPECT_EQ(paired[0].time_limits(), limits);  // a listed peripheral follows its adapter's limits
    paired[0].connect();
    EXPECT_EQ(paired[0].read(kService, kSecret), "ok");  // the link comes up with the bond's key
    EXPECT_EQ(adapter.get_paired_peripherals().at(0).address(), device_id(5));
}

// Holds an agent's callback until released; shared with the agent's threads, which may outlive the test.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool asked = false;     // guarded by mutex
    bool released = false;  // guarded by mutex
    void wait_asked() {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return asked; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        cv.notify_all();
    }
};

// An agent whose passkey callback blocks until its gate opens, then answers too late.
Tavrin::PairingAgent hanging_agent(const std::shared_ptr<Gate>& gate) {
    Tavrin::PairingAgent agent;
    agent.request_passkey = [gate](const std::string&) -> uint32_t {
        std::unique_lock<std::mutex> lock(gate->mutex);
        gate->asked = true;
        gate->cv.notify_all();
        gate->cv.wait(lock, [&] { return gate->released; });
        return 123456;
    };
    return agent;
}

TEST(Pairing, AgentThatNeverAnswersTwoThreadsAndRemoval) {
    using platform::sim::PairingMethod;
    using platform::sim::Security;
    reset_world({pairing_device(7, PairingMethod::Passkey, 123456, Security::Authentication),
                 pairing_device(8, PairingMethod::Passkey, 123456, Security::Authentication),
                 pairing_device(9, PairingMethod::Passkey, 123456, Security::Authentication),
                 pairing_device(10, PairingMethod::Passkey, 123456, Security::Authentication)});
    auto adapter = the_adapter();

    // An agent whose callback hangs: removing it ends the pairing at once, with the operation's exception.
    auto gate = std::make_shared<Gate>();
    adapter.set_pairing_agent(hanging_agent(gate));
    auto stuck = find_one(adapter, device_id(7));
    std::thread remover([&] {
        gate->wait_asked();
        adapter.remove_pairing_agent();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(stuck.pair(), OperationFailed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    remover.join();
    gate->release();
    EXPECT_FALSE(stuck.is_paired());

    // An agent that never answers: pair() gives up at the peripheral's pairing limit and cancels the pairing.
    auto third = std::make_shared<Gate>();
    adapter.set_pairing_agent(hanging_agent(third));
    auto slow = find_one(adapter, device_id(10));
    auto limits = slow.time_limits();
    limits.pairing = std::chrono::milliseconds(500);
    slow.set_time_limits(limits);
    const auto began = std::chrono::steady_clock::now();
    EXPECT_THROW(slow.pair(), OperationFailed);
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(500));
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
    third->release();
    EXPECT_FALSE(slow.is_paired());

    // The link lost while the agent still thinks: pair() ends at once.
    auto second = std::make_shared<Gate>();
    adapter.set_pairing_agent(hanging_agent(second));
    auto dropped = find_one(adapter, device_id(9));
    std::thread dropper([&] {
        second->wait_asked();
        platform::sim::World::get().dropLink(device_id(9));
    });
    EXPECT_THROW(dropped.pair(), OperationFailed);
    dropper.join();
    second->release();
    EXPECT_FALSE(dropped.is_connected());

    // Two threads pair one device: it pairs once, and both return.
    CountingAgent counting;
    adapter.set_pairing_agent(counting.agent());
    auto device = find_one(adapter, device_id(8));
    std::thread other([&] { device.pair(); });
    device.pair();
    other.join();
    EXPECT_TRUE(device.is_paired());
    EXPECT_EQ(counting.passkeys.load(), 1);
}

}  // namespace
}  // namespace adapter_test
