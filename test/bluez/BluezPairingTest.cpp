// The public pairing API through the BlueZ radio against the simulator: a read of an encrypted characteristic
// pairs through the program's agent (the default agent), a wrong passkey and an agent removed mid-pairing fail
// pair() at once, and the bonded device is listed with its address type and connects without a scan; the
// agent shows a passkey, authorizes a device's own request, and is the default one again after bluetoothd
// restarts.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <tavrin/Tavrin.h>

#include "../support/Watch.h"
#include "BluezFixture.h"

namespace {

using namespace bluez_test;
using Tavrin::Exception::OperationFailed;

const std::string kService = "7a1e0001-0000-4000-8000-00000000a100";
const std::string kSecret = "7a1e0002-0000-4000-8000-00000000a100";

class BluezPairing : public BluezFixture {};

Tavrin::Peripheral scanFor(Tavrin::Adapter& adapter, const std::string& address) {
    // A radio that has only just met bluetoothd may not know yet that the adapter is powered.
    if (!test_support::eventually([&] { return adapter.is_enabled(); })) {
        throw std::runtime_error("the adapter is not powered");
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    adapter.scan_start();
    while (std::chrono::steady_clock::now() < end) {
        for (auto& p : adapter.scan_get_results()) {
            if (p.address() == address) {
                adapter.scan_stop();
                return p;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    adapter.scan_stop();
    throw std::runtime_error("not found: " + address);
}

TEST_F(BluezPairing, EncryptedReadsPairThroughTheProgramsAgent) {
    startSimulator(worldPath("pairing.json"));
    test_support::ConsoleCapture console;
    auto adapter = Tavrin::Adapter::get_adapters().at(0);

    // The bonded device is there before any scan, with its address type, and its link is encrypted at once.
    auto bonded = adapter.get_paired_peripherals();
    ASSERT_EQ(bonded.size(), 1u);
    EXPECT_EQ(bonded[0].address(), "00:1A:7D:DA:A1:04");
    EXPECT_EQ(bonded[0].address_type(), Tavrin::AddressType::Public);
    EXPECT_TRUE(bonded[0].is_paired());
    bonded[0].connect();
    EXPECT_EQ(bonded[0].read(kService, kSecret), "\x02");
    bonded[0].disconnect();

    // Without any agent bluetoothd cannot raise the link for a passkey device: "Not paired", said as such.
    auto early = scanFor(adapter, "C0:00:00:00:A1:01");
    early.connect();
    EXPECT_THROW(early.read(kService, kSecret), OperationFailed);
    EXPECT_EQ(console.count("needs a paired link: pairing was needed"), 1u);
    early.disconnect();

    // Shared with the agent's threads, which may outlive this frame.
    struct State {
        std::atomic<int> confirmations{0};
        std::atomic<uint32_t> passkey{111111};
        std::mutex mutex;
        std::condition_variable cv;
        bool hang = false;     // guarded by mutex: request_passkey waits instead of answering
        bool asked = false;    // guarded by mutex
        bool release = false;  // guarded by mutex
    };
    auto state = std::make_shared<State>();
    Tavrin::PairingAgent agent;
    agent.request_passkey = [state](const std::string&) -> uint32_t {
        std::unique_lock<std::mutex> lock(state->mutex);
        if (state->hang) {
            state->asked = true;
            state->cv.notify_all();
            state->cv.wait(lock, [&] { return state->release; });
        }
        return state->passkey.load();
    };
    agent.confirm = [state](const std::string&, uint32_t shown) {
        ++state->confirmations;
        return shown == 654321;
    };
    // An agent replaced by one of another capability: bluetoothd asks as the new one can answer.
    Tavrin::PairingAgent mute;
    mute.capability = Tavrin::IoCapability::NoInputNoOutput;
    adapter.set_pairing_agent(mute);
    adapter.set_pairing_agent(agent);

    // Numeric comparison started by the read itself: bluetoothd raises the link through the default agent.
    auto meter = scanFor(adapter, "C0:00:00:00:A1:02");
    EXPECT_EQ(meter.address_type(), Tavrin::AddressType::Random);
    meter.connect();
    EXPECT_FALSE(meter.is_paired());
    EXPECT_EQ(meter.read(kService, kSecret), "\x2a");
    EXPECT_EQ(state->confirmations.load(), 1);
    EXPECT_TRUE(meter.is_paired());

    // A wrong passkey fails pair(); the right one pairs.
    auto lock = scanFor(adapter, "C0:00:00:00:A1:01");
    EXPECT_EQ(console.count("Pairing with C0:00:00:00:A1:01 failed"), 0u);
    EXPECT_THROW(lock.pair(), OperationFailed);
    EXPECT_FALSE(lock.is_paired());
    EXPECT_EQ(console.count("Pairing with C0:00:00:00:A1:01 failed: Authentication Failed "
                            "(org.bluez.Error.AuthenticationFailed)"),
              1u);

    // An agent removed while its question is open: pair() ends at once.
    {
        std::lock_guard<std::mutex> guard(state->mutex);
        state->hang = true;
    }
    std::thread remover([&] {
        std::unique_lock<std::mutex> guard(state->mutex);
        state->cv.wait(guard, [&] { return state->asked; });
        guard.unlock();
        adapter.remove_pairing_agent();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(lock.pair(), OperationFailed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    remover.join();
    {
        std::lock_guard<std::mutex> guard(state->mutex);
        state->hang = false;
        state->release = true;
    }
    state->cv.notify_all();

    state->passkey = 123456;
    adapter.set_pairing_agent(agent);
    // Another handle of the adapter installs an agent of its own and removes it: this handle's agent answers.
    {
        auto other = Tavrin::Adapter::get_adapters().at(0);
        other.set_pairing_agent(mute);
        other.remove_pairing_agent();
    }
    lock.pair();
    EXPECT_TRUE(lock.is_paired());
    EXPECT_EQ(lock.read(kService, kSecret), "Locked");
    lock.unpair();
    EXPECT_FALSE(lock.is_connected());
}

TEST_F(BluezPairing, ShownPasskeyAuthorizationAndTheAgentAfterARestart) {
    startSimulator(worldPath("pairing.json"));
    auto adapter = Tavrin::Adapter::get_adapters().at(0);
    // Shared with the agent's threads, which may outlive this frame.
    struct State {
        std::atomic<uint32_t> shown{0};
        std::atomic<int> authorizations{0};
        std::atomic<int> confirmations{0};
        std::atomic<int> cancels{0};
        std::atomic<bool> askedPasskey{false};
    };
    auto state = std::make_shared<State>();
    Tavrin::PairingAgent agent;
    agent.display_passkey = [state](const std::string&, uint32_t passkey) { state->shown = passkey; };
    agent.authorize = [state](const std::string&) {
        ++state->authorizations;
        return true;
    };
    agent.confirm = [state](const std::string&, uint32_t shown) {
        ++state->confirmations;
        return shown == 654321;
    };
    agent.cancel = [state](const std::string&) { ++state->cancels; };
    // Asked for a passkey, the user never types it (until the test lets go).
    auto typing = std::make_shared<std::promise<void>>();
    auto typed = std::make_shared<std::shared_future<void>>(typing->get_future().share());
    agent.request_passkey = [state, typed](const std::string&) -> uint32_t {
        state->askedPasskey = true;
        typed->wait();
        return 0;
    };
    adapter.set_pairing_agent(agent);

    // bluetoothd has the agent show the passkey the device's user types.
    auto safe = scanFor(adapter, "C0:00:00:00:A1:05");
    safe.set_time_limits(test_support::unbounded_limits());  // connects and pairs within limits as long as they go
    safe.pair();
    EXPECT_TRUE(test_support::eventually([&] { return state->shown.load() == 482913u; }));  // on its own thread
    EXPECT_EQ(safe.read(kService, kSecret), "\x05");

    // A device that asks to pair once connected: the default agent (ours) authorizes it, and the subscription
    // its client configuration guards goes through on the raised link.
    auto tag = scanFor(adapter, "C0:00:00:00:A1:06");
    tag.connect();
    EXPECT_TRUE(test_support::eventually([&] { return tag.is_paired(); }));
    EXPECT_EQ(state->authorizations.load(), 1);
    tag.notify(kService, kSecret, [](std::string) {});
    EXPECT_EQ(state->cancels.load(), 0);  // nothing asked was left open
    tag.disconnect();

    // bluetoothd leaves while a pair() waits on the user: it ends at once. While bluetoothd is away, nothing of
    // the bonds is known, and none can be forgotten: each says so instead of answering "none".
    auto lock = scanFor(adapter, "C0:00:00:00:A1:01");
    std::thread pairing([&] {
        const auto took = test_support::timed([&] { EXPECT_THROW(lock.pair(), OperationFailed); });
        EXPECT_LT(took, std::chrono::seconds(5));  // the pairing limit is 30 s
    });
    EXPECT_TRUE(test_support::eventually([&] { return state->askedPasskey.load(); }));
    stopSimulator();
    pairing.join();
    typing->set_value();
    ASSERT_TRUE(test_support::eventually([&] { return !adapter.is_enabled(); }));
    EXPECT_THROW(safe.is_paired(), OperationFailed);
    EXPECT_THROW(adapter.get_paired_peripherals(), OperationFailed);
    EXPECT_THROW(safe.unpair(), OperationFailed);

    // bluetoothd restarts: the program's agent is registered again and made the default one, so a read that
    // needs pairing asks it.
    startSimulator(worldPath("pairing.json"));
    ASSERT_TRUE(test_support::eventually([&] { return adapter.is_enabled(); }, std::chrono::seconds(10)));
    auto meter = scanFor(adapter, "C0:00:00:00:A1:02");
    meter.connect();
    EXPECT_EQ(meter.read(kService, kSecret), "\x2a");
    EXPECT_EQ(state->confirmations.load(), 1);
}

}  // namespace

namespace {

// Pairing on demand: a read that needs encryption makes bluetoothd pair (just works, the program's agent saying
// yes to whatever it is asked; a real bluetoothd serving both ends asks it about both) and try again; the bond is
// listed and, once removed, gone.
TEST_F(BluezPairing, EncryptedReadPairsOnDemandAndUnpairs) {
    startSimulator(writeWorld(R"({ "peripherals": [
      { "identifier": "00000000-0000-4000-8000-0000000A1003", "address": "C0:00:00:00:A1:03", "name": "Simple Sensor",
        "latency_ms": 1, "pairing": { "method": "just_works" },
        "advertising": { "interval_ms": 20, "connectable": true },
        "connection": { "delay_ms": 2, "disconnect_delay_ms": 1 },
        "services": [ { "uuid": "7a1e0001-0000-4000-8000-00000000a100", "characteristics": [
          { "uuid": "7a1e0002-0000-4000-8000-00000000a100", "properties": ["read"], "value": "01",
            "security": "encryption" } ] } ] } ] })"));
    auto adapter = Tavrin::Adapter::get_adapters().at(0);
    Tavrin::PairingAgent yes;
    yes.capability = Tavrin::IoCapability::NoInputNoOutput;
    yes.confirm = [](const std::string&, uint32_t) { return true; };
    yes.authorize = [](const std::string&) { return true; };
    adapter.set_pairing_agent(yes);
    auto sensor = scanFor(adapter, deviceAddress("C0:00:00:00:A1:03"));
    sensor.connect();
    EXPECT_FALSE(sensor.is_paired());
    EXPECT_EQ(sensor.read(kService, kSecret), "\x01");
    EXPECT_TRUE(sensor.is_paired());
    auto bonded = adapter.get_paired_peripherals();
    ASSERT_EQ(bonded.size(), 1u);
    EXPECT_EQ(bonded[0].address(), sensor.address());
    sensor.unpair();
    EXPECT_FALSE(sensor.is_paired());
    EXPECT_TRUE(adapter.get_paired_peripherals().empty());

    // bluetoothd forgot the device with its bond: the same handle connects once bluetoothd sees it again. (A
    // peripheral built on a real bluetoothd keeps its half of the bond and refuses to pair just works again.)
    if (onRealStack()) {
        return;
    }
    sensor.connect();
    EXPECT_EQ(sensor.read(kService, kSecret), "\x01");
    EXPECT_TRUE(sensor.is_paired());
    sensor.disconnect();
}

}  // namespace
