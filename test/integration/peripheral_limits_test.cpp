// Time limits set on the adapter and on one peripheral: who follows whose, and what a slow device needs.

#include <gtest/gtest.h>

#include <stdexcept>

#include <tavrin/Exceptions.h>
#include <tavrin/TimeLimits.h>

#include "support/AdapterHarness.h"

namespace adapter_test {
namespace {

using namespace std::chrono_literals;

const std::string kSlow = device_id(61);

// Every answer of the device takes 2.5 s: more than any default limit but the connection's.
platform::sim::PeripheralConfig slow_device() {
    auto config = device(kSlow);
    config.latency_ms = 2500;
    config.services = {{"180f", {}, {characteristic("2a19", platform::CBCharacteristicPropertyRead, "\x2a")}}};
    return config;
}

Tavrin::TimeLimits patient() {
    Tavrin::TimeLimits limits;
    limits.service_discovery = 3s;
    limits.characteristic_discovery = 3s;
    limits.descriptor_discovery = 3s;
    limits.request = 3s;
    return limits;
}

TEST(PeripheralLimits, InvalidLimitsAreRefusedByNameAndChangeNothing) {
    reset_world({device(kSlow)});
    auto adapter = the_adapter();
    EXPECT_EQ(adapter.time_limits(), Tavrin::TimeLimits{});
    auto peripheral = find_one(adapter, kSlow);

    Tavrin::TimeLimits bad;
    bad.request = -1ms;
    try {
        adapter.set_time_limits(bad);
        ADD_FAILURE() << "accepted a negative limit";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("TimeLimits.request"), std::string::npos) << e.what();
    }
    bad = {};
    bad.pairing = 0ms;
    EXPECT_THROW(peripheral.set_time_limits(bad), std::invalid_argument);
    EXPECT_EQ(adapter.time_limits(), Tavrin::TimeLimits{});
    EXPECT_EQ(peripheral.time_limits(), Tavrin::TimeLimits{});

    // A peripheral follows its adapter, found before or after the change, until it has its own.
    adapter.set_time_limits(patient());
    EXPECT_EQ(peripheral.time_limits(), patient());
    Tavrin::TimeLimits own;
    own.connection = 30s;
    peripheral.set_time_limits(own);
    adapter.set_time_limits({});
    EXPECT_EQ(peripheral.time_limits(), own);
}

TEST(PeripheralLimits, SlowReadSucceedsWithinARaisedLimitAndFailsWithTheDefault) {
    reset_world({slow_device()});
    auto adapter = the_adapter();
    auto peripheral = find_one(adapter, kSlow);

    adapter.set_time_limits(patient());
    peripheral.connect();
    ASSERT_TRUE(peripheral.is_connected());
    EXPECT_EQ(peripheral.read("180f", "2a19"), "\x2a");

    // Its own limits now: the default request limit is too short for the same read.
    Tavrin::TimeLimits quick = patient();
    quick.request = Tavrin::TimeLimits{}.request;
    peripheral.set_time_limits(quick);
    const auto took = timed([&] { EXPECT_THROW(peripheral.read("180f", "2a19"), Tavrin::Exception::OperationFailed); });
    EXPECT_LT(took, 2s);

    // Raised again, as far as a limit goes: the very next read waits as long as the device takes.
    peripheral.set_time_limits(unbounded_limits());
    EXPECT_EQ(peripheral.read("180f", "2a19"), "\x2a");
    peripheral.disconnect();
}

}  // namespace
}  // namespace adapter_test
