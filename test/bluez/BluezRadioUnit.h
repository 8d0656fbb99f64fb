#pragma once
// The scripted-bus fixture of the BlueZ radio's unit tests: the radio in process over a bus the test plays
// bluetoothd on, with one device and one characteristic, and centrals opened on it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FakeBus.h"
#include "RadioRecorder.h"
#include "bluez/BluezRadio.h"
#include "platform/Trace.h"

namespace bluez_unit {

using namespace std::chrono_literals;
using bluez_test::FakeBus;
using bluez_test::FakeObjects;
using bluez_test::Outcome;
using bluez_test::Recorder;
using platform::CBManagerState;
using platform::CBUUID;
using platform::NSError;
using platform::bluez::InterfaceMap;
using platform::bluez::PropMap;
using platform::radio::RadioCentral;
using sdbus::Variant;

const std::string kDevice = "AA:BB:CC:DD:EE:01";
const std::string kOther = "AA:BB:CC:DD:EE:02";
const char* const kDeviceIface = "org.bluez.Device1";
const char* const kCharIface = "org.bluez.GattCharacteristic1";
const std::string kServiceX = "0000aaa0-0000-1000-8000-00805f9b34fb";
const std::string kServiceY = "0000bbb0-0000-1000-8000-00805f9b34fb";
constexpr uint16_t kChar = 0x0010;  // the characteristic of the service at 0x000f

inline Variant bytes(std::initializer_list<uint8_t> values) {
    return Variant(std::vector<uint8_t>(values));
}

// Whether the request was answered: a request the radio dropped unanswered leaves a broken promise behind.
inline bool answered(std::future<Outcome>& outcome) {
    if (outcome.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
        return false;
    }
    try {
        outcome.get();
        return true;
    } catch (const std::future_error&) {
        return false;
    }
}

struct Central {
    std::shared_ptr<Recorder> events = std::make_shared<Recorder>();
    std::shared_ptr<RadioCentral> radio;
};

class BluezRadioUnit : public ::testing::Test {
  protected:
    void SetUp() override {
        devicePath_ = objects_.device(kDevice);
        otherPath_ = objects_.device(kOther);
        charPath_ = objects_.service(devicePath_, 0x000f, kServiceX, "0000aaa1-0000-1000-8000-00805f9b34fb");
    }

    void TearDown() override {
        for (auto& central : centrals_) {
            central->radio->close();
        }
        radio_.reset();
    }

    // The radio comes up over the scripted bus, with bluetoothd there and listing objects_.
    void boot() {
        radio_ = platform::bluez::makeRadio([bus = bus_] { return bus; });
        const auto owner = bus_->take("GetNameOwner");
        ASSERT_TRUE(owner);
        bus_->reply(owner->id, {Variant(std::string(FakeBus::kOwner))});
        list();
    }

    void list() {
        const auto listing = bus_->take("GetManagedObjects");
        ASSERT_TRUE(listing);
        bus_->reply(listing->id, {objects_.variant()});
    }

    Central& open() {
        auto central = std::make_unique<Central>();
        central->radio = radio_->openCentral(central->events);
        EXPECT_TRUE(central->events->waitState(CBManagerState::PoweredOn));
        centrals_.push_back(std::move(central));
        return *centrals_.back();
    }

    void connect(Central& central) {
        const std::size_t before = central.events->countLinks("connected " + kDevice);
        central.radio->connect(kDevice);
        const auto call = bus_->take("Connect");
        ASSERT_TRUE(call);
        bus_->propertiesChanged(devicePath_, kDeviceIface, {{"Connected", Variant(true)}});
        bus_->reply(call->id);
        ASSERT_TRUE(central.events->waitLink("connected " + kDevice, before));
    }

    std::future<Outcome> read(Central& central) {
        auto promise = std::make_shared<std::promise<Outcome>>();
        auto answer = promise->get_future();
        central.radio->readCharacteristic(kDevice, kChar, [promise](const NSError* error, const std::string& value) {
            promise->set_value(Outcome{true, error ? std::optional<NSError>(*error) : std::nullopt, value});
        });
        return answer;
    }

    // Sets notifications on or off and waits for the answer; `start` scripts bluetoothd meanwhile.
    std::future<Outcome> notify(Central& central, bool on) {
        auto promise = std::make_shared<std::promise<Outcome>>();
        auto answer = promise->get_future();
        central.radio->setNotify(kDevice, kChar, on, [promise](const NSError* error) {
            promise->set_value(Outcome{true, error ? std::optional<NSError>(*error) : std::nullopt, {}});
        });
        return answer;
    }

    // Booted, connected and subscribed to the characteristic.
    Central& subscribed() {
        boot();
        Central& central = open();
        connect(central);
        auto on = notify(central, true);
        bus_->reply(bus_->take("StartNotify")->id);
        EXPECT_EQ(on.wait_for(3s), std::future_status::ready);
        return central;
    }

    void notified(std::initializer_list<uint8_t> value) {
        bus_->propertiesChanged(charPath_, kCharIface, {{"Value", bytes(value)}});
    }

    static std::vector<std::string> values(Recorder& events) {
        std::lock_guard<std::mutex> lock(events.mutex);
        std::vector<std::string> all;
        for (const auto& [key, value] : events.notifications) {
            all.push_back(value);
        }
        return all;
    }

    static bool waitValues(Recorder& events, std::size_t count) {
        return events.waitFor([&] { return events.notifications.size() >= count; });
    }

    std::shared_ptr<FakeBus> bus_ = std::make_shared<FakeBus>();
    FakeObjects objects_;
    std::string devicePath_, otherPath_, charPath_;
    std::unique_ptr<platform::radio::Radio> radio_;
    std::vector<std::unique_ptr<Central>> centrals_;
};

}  // namespace bluez_unit
