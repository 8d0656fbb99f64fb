// GATT operations of the peripheral stack over simulated devices: success, missing capability,
// error answers and silent time-outs, and the ordering rules of the pending flags.

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <tavrin/Exceptions.h>

#include "support/PeripheralHarness.h"
#include "support/RepeatedServiceScenario.h"

namespace peripheral_test {
namespace {

using platform::sim::Fault;
using Tavrin::Exception::CharacteristicNotFound;
using Tavrin::Exception::DescriptorNotFound;
using Tavrin::Exception::OperationFailed;
using Tavrin::Exception::OperationNotSupported;
using Tavrin::Exception::ServiceNotFound;

constexpr const char* kValueCharUpper = "7E1A0002-3B2D-4C6E-9F80-1A2B3C4D5E6F";
constexpr const char* kEmptyChar = "7e1a0007-3b2d-4c6e-9f80-1a2b3c4d5e6f";  // readable, no value yet

bool about_one_second(Clock::duration elapsed) {
    return elapsed >= 950ms && elapsed <= 1800ms;
}

platform::sim::PeripheralConfig device_with_fault(const std::string& characteristic_uuid, const std::string& request,
                                                  Fault fault) {
    auto device = test_device();
    find_characteristic(device, characteristic_uuid).faults[request] = fault;
    return device;
}

platform::sim::PeripheralConfig device_with_descriptor_fault(const std::string& request, Fault fault) {
    auto device = test_device();
    for (auto& config : find_characteristic(device, kValueChar).descriptors) {
        if (config.uuid == kVendorDescriptor) {
            config.faults[request] = fault;
        }
    }
    return device;
}

struct Connected : PeripheralHarness {
    explicit Connected(platform::sim::PeripheralConfig device = test_device(), Build build = Build::Backend)
        : PeripheralHarness(world_of({std::move(device)}), build) {
        if (build == Build::Backend) {
            base().connect();
        } else {
            delegate().connect();
        }
    }
};

std::vector<platform::sim::ReceivedWrite> writes_to(PeripheralHarness& harness, const std::string& characteristic) {
    std::vector<platform::sim::ReceivedWrite> result;
    for (auto& write : harness.world().receivedWrites(kDevice)) {
        if (write.characteristic_uuid == characteristic) {
            result.push_back(write);
        }
    }
    return result;
}

// ---------------------------------------------------------------------------------------------
// Lookups

TEST(PeripheralGatt, LookupsMatchPlatformUuidsAndReportTheCallersText) {
    auto device = test_device();
    device.services[0].characteristics.push_back(
        characteristic("2a19", platform::CBCharacteristicPropertyRead, "\x64"));
    Connected harness(device);
    auto& base = harness.base();

    // Any form the platform parses reaches the same attribute.
    EXPECT_EQ(base.read("7E1A0001-3B2D-4C6E-9F80-1A2B3C4D5E6F", kValueCharUpper), std::string("\x01\x00\x02", 3));
    EXPECT_EQ(base.read(kService, "2A19"), "\x64");
    EXPECT_EQ(base.read(kService, "0x2a19"), "\x64");
    EXPECT_EQ(base.read(kService, "00002a19-0000-1000-8000-00805F9B34FB"), "\x64");

    EXPECT_EQ(thrown_text<ServiceNotFound>([&] { base.read("7E1A9999-3B2D-4C6E-9F80-1A2B3C4D5E6F", kValueChar); }),
              "Service with UUID 7E1A9999-3B2D-4C6E-9F80-1A2B3C4D5E6F not found.");
    EXPECT_EQ(thrown_text<CharacteristicNotFound>([&] { base.read(kService, "2a20"); }),
              "Characteristic with UUID 2a20 not found");
    EXPECT_EQ(thrown_text<DescriptorNotFound>([&] { base.read(kService, kValueChar, "2903"); }),
              "Descriptor with UUID 2903 not found");

    // Text the platform cannot parse is simply not found, for the argument it was given for.
    EXPECT_EQ(thrown_text<ServiceNotFound>([&] { base.read("not-a-uuid", "also bad"); }),
              "Service with UUID not-a-uuid not found.");
    EXPECT_EQ(thrown_text<CharacteristicNotFound>([&] { base.write_request(kService, "12345", "x"); }),
              "Characteristic with UUID 12345 not found");
    EXPECT_EQ(thrown_text<DescriptorNotFound>([&] { base.write(kService, kValueChar, "", "x"); }),
              "Descriptor with UUID  not found");
    EXPECT_EQ(thrown_text<ServiceNotFound>([&] { base.notify("", kValueChar, [](std::string) {}); }),
              "Service with UUID  not found.");
}

TEST(PeripheralGatt, CharacteristicIsFoundInEachServiceOfItsUuid) {
    platform::sim::World::get().reset(
        platform::sim::parseWorld(adapter_test::kRepeatedServiceWorld, "repeated service world"));
    auto adapter = adapter_test::the_adapter();
    adapter_test::check_repeated_service(adapter, "00000000-0000-4000-8000-000000005D01");
}

TEST(PeripheralGatt, CharacteristicLookupRefusesANullService) {
    Connected harness(test_device(), Build::DelegateOnly);
    EXPECT_EQ(thrown_text<Tavrin::Exception::BaseException>(
                  [&] { harness.delegate().findCharacteristic(kValueChar, nullptr); }),
              "Invalid service parameter.");
}

// ---------------------------------------------------------------------------------------------
// Characteristic read

TEST(PeripheralGatt, ReadReturnsTheValueBytesZerosIncluded) {
    auto device = test_device();
    device.services[0].characteristics.push_back(characteristic(kEmptyChar, platform::CBCharacteristicPropertyRead));
    Connected harness(device);
    auto& base = harness.base();

    EXPECT_EQ(base.read(kService, kValueChar), std::string("\x01\x00\x02", 3));
    harness.world().setValue(kDevice, kService, kValueChar, std::string(4, '\0'));
    EXPECT_EQ(base.read(kService, kValueChar), std::string(4, '\0'));
    EXPECT_EQ(base.read(kService, kEmptyChar), "");
    EXPECT_EQ(base.read(kService, kReadOnlyChar), "RO");
}

TEST(PeripheralGatt, ReadNeedsTheReadProperty) {
    Connected harness;
    ConsoleCapture console;
    const auto elapsed = timed([&] {
        EXPECT_EQ(thrown_text<OperationNotSupported>([&] { harness.base().read(kService, kCommandChar); }),
                  "The requested operation is not supported.");
    });
    EXPECT_LT(elapsed, 100ms);  // no request, no wait
    EXPECT_TRUE(console.has_exact("Characteristic does not support read."));
}

TEST(PeripheralGatt, ReadAnsweredWithAnErrorFailsAtOnce) {
    Connected harness(device_with_fault(kValueChar, "read", Fault::Error));
    ConsoleCapture console;
    const auto elapsed = timed([&] {
        EXPECT_EQ(thrown_text<OperationFailed>([&] { harness.base().read(kService, kValueChar); }),
                  "Operation Failed: Characteristic Read");
    });
    EXPECT_LT(elapsed, 500ms);
    const auto lines = console.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("Characteristic value update error: ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], std::string("Characteristic ") + kValueCharUpper + " could not be read");
}

TEST(PeripheralGatt, UnansweredReadGivesUpAndLeavesLaterValuesToTheSubscriber) {
    Connected harness(device_with_fault(kValueChar, "read", Fault::Silent), Build::DelegateOnly);
    auto& delegate = harness.delegate();
    ConsoleCapture console;
    std::vector<std::string> values;
    std::mutex values_mutex;
    delegate.notify(kService, kValueChar, [&](std::string value) {
        std::lock_guard<std::mutex> lock(values_mutex);
        values.push_back(std::move(value));
    });

    const auto elapsed = timed([&] {
        EXPECT_EQ(thrown_text<OperationFailed>([&] { delegate.read(kService, kValueChar); }),
                  "Operation Failed: Characteristic Read");
    });
    EXPECT_TRUE(about_one_second(elapsed));
    EXPECT_TRUE(console.has_exact(std::string("Characteristic ") + kValueCharUpper + " could not be read"));
    EXPECT_FALSE(delegate.characteristic_extras().at(kValueChar).read_pending);

    // The read that gave up takes nothing meant for the subscriber.
    harness.world().notify(kDevice, kService, kValueChar, "4");
    harness.world().notify(kDevice, kService, kValueChar, "5");
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(values_mutex);
        return values.size() >= 2;
    }));
    std::lock_guard<std::mutex> lock(values_mutex);
    EXPECT_EQ(values, (std::vector<std::string>{"4", "5"}));
}

TEST(PeripheralGatt, NotificationWhileAReadIsPendingCompletesTheRead) {
    Connected harness(device_with_fault(kValueChar, "read", Fault::Silent), Build::DelegateOnly);
    auto& delegate = harness.delegate();
    std::atomic<int> callback_calls{0};
    delegate.notify(kService, kValueChar, [&](std::string) { ++callback_calls; });

    std::string result;
    std::thread reader([&] { result = delegate.read(kService, kValueChar); });
    ASSERT_TRUE(eventually([&] { return delegate.characteristic_extras().at(kValueChar).read_pending; }));
    harness.world().notify(kDevice, kService, kValueChar, std::string("\x05\x00", 2));
    reader.join();

    EXPECT_EQ(result, std::string("\x05\x00", 2));
    EXPECT_EQ(callback_calls, 0);
}

// ---------------------------------------------------------------------------------------------
// Writes

TEST(PeripheralGatt, WriteRequestHandsOverThePayloadWhole) {
    Connected harness;
    const std::string payload("\x09\x00{\"switch\":1}\x00", 15);
    harness.base().write_request(kService, kRequestChar, payload);
    harness.base().write_request(kService, kValueChar, "");

    const auto writes = harness.world().receivedWrites(kDevice);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].characteristic_uuid, kRequestChar);
    EXPECT_EQ(writes[0].data, payload);
    EXPECT_TRUE(writes[0].with_response);
    EXPECT_EQ(writes[1].data, "");
}

TEST(PeripheralGatt, EachWriteNeedsItsOwnProperty) {
    Connected harness;
    ConsoleCapture console;
    EXPECT_THROW(harness.base().write_request(kService, kCommandChar, "x"), OperationNotSupported);
    EXPECT_THROW(harness.base().write_command(kService, kRequestChar, "x"), OperationNotSupported);
    EXPECT_TRUE(console.has_exact("Characteristic does not support write with response."));
    EXPECT_TRUE(console.has_exact("Characteristic does not support write without response."));
    EXPECT_TRUE(harness.world().receivedWrites(kDevice).empty());
}

TEST(PeripheralGatt, WriteRequestAnsweredWithAnErrorOrNotAtAllFails) {
    for (Fault fault : {Fault::Error, Fault::Silent}) {
        Connected harness(device_with_fault(kRequestChar, "write", fault));
        ConsoleCapture console;
        const auto elapsed = timed([&] {
            EXPECT_EQ(thrown_text<OperationFailed>([&] { harness.base().write_request(kService, kRequestChar, "x"); }),
                      "Operation Failed: Characteristic Write Request");
        });
        // An error answer ends the wait; silence runs out its second.
        EXPECT_TRUE(fault == Fault::Error ? elapsed < 500ms : about_one_second(elapsed));
        EXPECT_EQ(console.count("Error: "), fault == Fault::Error ? 1u : 0u);
        EXPECT_TRUE(console.has_exact("Characteristic 7E1A0005-3B2D-4C6E-9F80-1A2B3C4D5E6F could not be written"));
    }
}

// Two writes in flight on one characteristic: the refused one fails, the accepted one returns.
TEST(PeripheralGatt, EachRequestGetsItsOwnAnswer) {
    auto device = test_device();
    device.latency_ms = 50;  // both requests are out before the first answer
    Connected harness(device);
    ConsoleCapture console;
    auto& base = harness.base();

    std::string refused;  // longer than any attribute value: the device answers with an error
    Clock::duration refused_after{};
    std::thread second([&] {
        refused_after = timed([&] {
            refused = thrown_text<OperationFailed>(
                [&] { base.write_request(kService, kRequestChar, std::string(600, 'x')); });
        });
    });
    EXPECT_NO_THROW(base.write_request(kService, kRequestChar, "ok"));
    second.join();

    EXPECT_EQ(refused, "Operation Failed: Characteristic Write Request");
    EXPECT_LT(refused_after, 500ms);
    EXPECT_EQ(console.count("Error: "), 1u);
    EXPECT_EQ(console.count("could not be written"), 1u);
    ASSERT_EQ(writes_to(harness, kRequestChar).size(), 1u);
    EXPECT_EQ(writes_to(harness, kRequestChar)[0].data, "ok");
}

TEST(PeripheralGatt, WritesWithoutResponseThatCannotBeCarriedThrow) {
    auto device = test_device();
    device.connection.interval_ms = 10000;  // the link carries nothing while the test runs
    Connected harness(device);
    ConsoleCapture console;
    auto& base = harness.base();

    // Longer than the link takes without response (MTU 185 less the header): refused at once.
    const auto too_long = timed([&] {
        EXPECT_EQ(
            thrown_text<OperationFailed>([&] { base.write_command(kService, kCommandChar, std::string(183, 'x')); }),
            "Operation Failed: Characteristic Write Command");
    });
    EXPECT_LT(too_long, 100ms);
    EXPECT_TRUE(
        console.has_exact("Characteristic 7E1A0004-3B2D-4C6E-9F80-1A2B3C4D5E6F could not be written without "
                          "response: 183 bytes exceed the maximum of 182 bytes"));

    // The transmit buffer holds 20: the 21st finds no room within its second.
    for (int i = 0; i < 20; ++i) {
        base.write_command(kService, kCommandChar, "x");
    }
    const auto full = timed([&] {
        EXPECT_EQ(thrown_text<OperationFailed>([&] { base.write_command(kService, kCommandChar, "x"); }),
                  "Operation Failed: Characteristic Write Command");
    });
    EXPECT_TRUE(about_one_second(full));
    EXPECT_TRUE(
        console.has_exact("Characteristic 7E1A0004-3B2D-4C6E-9F80-1A2B3C4D5E6F could not be written without "
                          "response: the link's transmit buffer stayed full"));
    EXPECT_FALSE(console.has("is dropped"));  // the platform never had to drop one
}

TEST(PeripheralGatt, WritesWithoutResponseWaitForRoomAndArriveInOrder) {
    Connected harness;
    ConsoleCapture console;
    const size_t length = harness.base().mtu();
    ASSERT_EQ(length, 182u);

    // Far more than the link's transmit buffer holds: none may be dropped.
    constexpr int kWrites = 60;
    for (int i = 0; i < kWrites; ++i) {
        std::string payload(length, static_cast<char>(i));
        payload[1] = '\0';
        harness.base().write_command(kService, kCommandChar, payload);
    }
    ASSERT_TRUE(eventually([&] { return writes_to(harness, kCommandChar).size() == kWrites; }));
    const auto writes = writes_to(harness, kCommandChar);
    for (int i = 0; i < kWrites; ++i) {
        EXPECT_EQ(writes[static_cast<size_t>(i)].data.size(), length);
        EXPECT_EQ(writes[static_cast<size_t>(i)].data[0], static_cast<char>(i));
        EXPECT_FALSE(writes[static_cast<size_t>(i)].with_response);
    }
    EXPECT_FALSE(console.has("Peripheral ready to send"));
}

TEST(PeripheralGatt, ReadyToSendIsWrittenToTheConsole) {
    Connected harness;
    ConsoleCapture console;
    // Overfill the transmit buffer behind the delegate's back: the platform drops writes and then
    // tells the delegate when there is room again.
    const auto& peripheral = harness.peripheral();
    const auto services = peripheral->services();
    ASSERT_TRUE(services);
    platform::CBCharacteristicPtr command;
    const auto characteristics = (*services)[0]->characteristics();
    ASSERT_TRUE(characteristics);
    for (const auto& candidate : *characteristics) {
        if (candidate->UUID() == platform::CBUUID::UUIDWithString(kCommandChar)) {
            command = candidate;
        }
    }
    ASSERT_TRUE(command);
    for (int i = 0; i < 40; ++i) {
        peripheral->writeValue("x", command, platform::CBCharacteristicWriteType::WithoutResponse);
    }
    EXPECT_TRUE(eventually(
        [&] { return console.has_exact("Peripheral ready to send: 7E1A0C55-3B2D-4C6E-9F80-1A2B3C4D5E6F"); }));
}

// On the event queue the platform's events wait behind the caller, so a write waiting for room and a
// disconnection waiting for the link to go must see the radio's change without them, and promptly.
TEST(PeripheralGatt, WaitsOnTheEventQueueEndWithTheRadiosChange) {
    auto device = test_device();
    device.connection.disconnect_delay_ms = 50;
    Connected harness(device, Build::DelegateOnly);
    auto& delegate = harness.delegate();
    const auto& peripheral = harness.peripheral();
    const auto command = delegate.findServiceAndCharacteristic(kService, kCommandChar).second;

    std::mutex mutex;
    std::optional<bool> full;            // guarded by mutex
    std::vector<std::string> outcomes;   // guarded by mutex
    std::vector<Clock::duration> spent;  // guarded by mutex
    delegate.notify(kService, kValueChar, [&](std::string) {
        // The buffer filled behind the delegate's back: only the radio's sending frees it.
        for (int i = 0; i < 40 && peripheral->canSendWriteWithoutResponse(); ++i) {
            peripheral->writeValue("x", command, platform::CBCharacteristicWriteType::WithoutResponse);
        }
        const bool was_full = !peripheral->canSendWriteWithoutResponse();
        std::vector<std::string> seen;
        std::vector<Clock::duration> took;
        for (const auto& call : std::vector<std::function<void()>>{
                 [&] { delegate.writeCommand(kService, kCommandChar, "after"); }, [&] { delegate.disconnect(); }}) {
            took.push_back(timed([&] {
                try {
                    call();
                    seen.emplace_back("returned");
                } catch (const std::exception& e) {
                    seen.emplace_back(e.what());
                }
            }));
        }
        std::lock_guard<std::mutex> lock(mutex);
        full = was_full;
        outcomes = seen;
        spent = took;
    });
    harness.world().notify(kDevice, kService, kValueChar, "go");
    ASSERT_TRUE(eventually(
        [&] {
            std::lock_guard<std::mutex> lock(mutex);
            return !outcomes.empty();
        },
        8s));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(full, std::optional<bool>(true));
    EXPECT_EQ(outcomes, (std::vector<std::string>{"returned", "returned"}));
    EXPECT_LT(spent.at(0), 300ms) << ms(spent.at(0));
    EXPECT_LT(spent.at(1), 500ms) << ms(spent.at(1));
    EXPECT_FALSE(delegate.isConnected());
}

// ---------------------------------------------------------------------------------------------
// Subscriptions

TEST(PeripheralGatt, NotifyDeliversEachValueUntilUnsubscribed) {
    Connected harness(test_device(), Build::DelegateOnly);
    auto& delegate = harness.delegate();
    std::mutex mutex;
    std::vector<std::string> first;
    std::vector<std::string> second;

    delegate.notify(kService, kValueChar, [&](std::string value) {
        std::lock_guard<std::mutex> lock(mutex);
        first.push_back(std::move(value));
    });
    harness.world().notify(kDevice, kService, kValueChar, std::string("\x00\x01", 2));
    harness.world().notify(kDevice, kService, kValueChar, "");
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return first.size() == 2;
    }));

    // Subscribing again replaces the callback, without a new wait.
    const auto elapsed = timed([&] {
        delegate.indicate(kService, kValueChar, [&](std::string value) {
            std::lock_guard<std::mutex> lock(mutex);
            second.push_back(std::move(value));
        });
    });
    EXPECT_LT(elapsed, 100ms);
    harness.world().notify(kDevice, kService, kValueChar, "z");
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return second.size() == 1;
    }));

    delegate.unsubscribe(kService, kValueChar);
    EXPECT_FALSE(delegate.characteristic_extras().at(kValueChar).value_changed_callback);
    // Unsubscribing again still works and returns without a wait.
    EXPECT_LT(timed([&] { delegate.unsubscribe(kService, kValueChar); }), 100ms);

    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(first, (std::vector<std::string>{std::string("\x00\x01", 2), ""}));
    EXPECT_EQ(second, std::vector<std::string>{"z"});
}

TEST(PeripheralGatt, ThrowingValueCallbackIsLoggedAndTheSubscriptionGoesOn) {
    Connected harness(test_device(), Build::DelegateOnly);
    LogCapture log;
    std::atomic<int> calls{0};
    harness.delegate().notify(kService, kValueChar, [&](std::string value) {
        ++calls;
        if (value == "std") {
            throw std::runtime_error("bad value");
        }
        if (value == "int") {
            throw 7;
        }
    });
    harness.world().notify(kDevice, kService, kValueChar, "std");
    harness.world().notify(kDevice, kService, kValueChar, "int");
    harness.world().notify(kDevice, kService, kValueChar, "fine");
    ASSERT_TRUE(eventually([&] { return calls == 3; }));

    const auto records = log.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].level, Tavrin::Logging::Level::Error);
    EXPECT_EQ(records[0].message, "Exception during callback: bad value");
    EXPECT_EQ(records[1].message, "Unknown exception during callback");
    EXPECT_TRUE(harness.delegate().isConnected());
}

TEST(PeripheralGatt, SubscriptionThatNeverBecomesActiveFailsAndKeepsTheCallback) {
    for (Fault fault : {Fault::Error, Fault::Silent}) {
        Connected harness(device_with_fault(kValueChar, "subscribe", fault), Build::DelegateOnly);
        ConsoleCapture console;
        const auto elapsed = timed([&] {
            EXPECT_EQ(thrown_text<OperationFailed>(
                          [&] { harness.delegate().indicate(kService, kValueChar, [](std::string) {}); }),
                      "Operation Failed: Characteristic Notify/Indicate");
        });
        EXPECT_TRUE(fault == Fault::Error ? elapsed < 500ms : about_one_second(elapsed));
        EXPECT_EQ(console.count("Notification state update error: "), fault == Fault::Error ? 1u : 0u);
        EXPECT_TRUE(
            console.has_exact(std::string("Could not enable notifications for characteristic ") + kValueCharUpper));
        EXPECT_TRUE(harness.delegate().characteristic_extras().at(kValueChar).value_changed_callback);
    }
}

TEST(PeripheralGatt, UnsubscriptionThatNeverEndsFailsAndKeepsTheCallback) {
    for (Fault fault : {Fault::Error, Fault::Silent}) {
        Connected harness(device_with_fault(kValueChar, "unsubscribe", fault), Build::DelegateOnly);
        harness.delegate().notify(kService, kValueChar, [](std::string) {});
        ConsoleCapture console;
        const auto elapsed = timed([&] {
            EXPECT_EQ(thrown_text<OperationFailed>([&] { harness.delegate().unsubscribe(kService, kValueChar); }),
                      "Operation Failed: Characteristic Unsubscribe");
        });
        EXPECT_TRUE(fault == Fault::Error ? elapsed < 500ms : about_one_second(elapsed));
        EXPECT_EQ(console.count("Notification state update error: "), fault == Fault::Error ? 1u : 0u);
        EXPECT_TRUE(
            console.has_exact(std::string("Could not disable notifications for characteristic ") + kValueCharUpper));
        EXPECT_TRUE(harness.delegate().characteristic_extras().at(kValueChar).value_changed_callback);
    }
}

// ---------------------------------------------------------------------------------------------
// Calls from inside callbacks

// What needs the event queue to answer fails at once there, with its own exception; what does not works.
TEST(PeripheralGatt, BlockingCallsInsideCallbacksFailAtOnceWithTheirOwnException) {
    Connected harness;
    ConsoleCapture console;
    auto& base = harness.base();
    std::mutex mutex;
    std::vector<std::string> outcomes;  // guarded by mutex
    Clock::duration inside{};           // guarded by mutex
    const auto outcome = [&](auto call) {
        try {
            call();
            return std::string("returned");
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
    };

    base.notify(kService, kValueChar, [&](std::string) {
        std::vector<std::string> seen;
        const auto elapsed = timed([&] {
            seen.push_back(outcome([&] { base.read(kService, kReadOnlyChar); }));
            seen.push_back(outcome([&] { base.write_request(kService, kRequestChar, "x"); }));
            seen.push_back(outcome([&] { base.read(kService, kValueChar, kVendorDescriptor); }));
            seen.push_back(outcome([&] { base.unsubscribe(kService, kValueChar); }));
            seen.push_back(outcome([&] { base.notify(kService, kValueChar, [](std::string) {}); }));  // in place
        });
        std::lock_guard<std::mutex> lock(mutex);
        outcomes = seen;
        inside = elapsed;
    });
    harness.world().notify(kDevice, kService, kValueChar, "go");
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return !outcomes.empty();
    }));
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(outcomes, (std::vector<std::string>{"Operation Failed: Characteristic Read",
                                                      "Operation Failed: Characteristic Write Request",
                                                      "Operation Failed: Descriptor Read",
                                                      "Operation Failed: Characteristic Unsubscribe", "returned"}));
        EXPECT_LT(inside, 200ms);
    }
    EXPECT_TRUE(
        console.has_exact("Characteristic Read cannot wait on its own queue: it was called from a callback on "
                          "the event queue that would deliver its answer"));
    EXPECT_EQ(console.count("cannot wait on its own queue"), 4u);

    // A connection asked for from an unrequested disconnection's callback.
    std::string reconnect;  // guarded by mutex
    base.set_callback_on_disconnected([&] {
        const auto text = outcome([&] { base.connect(); });
        std::lock_guard<std::mutex> lock(mutex);
        reconnect = text;
    });
    harness.world().dropLink(kDevice);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return !reconnect.empty();
    }));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(reconnect, "Operation Failed: Peripheral Connection");
    EXPECT_TRUE(console.has("Peripheral Connection cannot wait on its own queue"));
}

// No library lock is held while a value callback runs: a caller's own lock shared with its callback
// costs at most the call's limit, unsubscribe() returns only once a running call has ended, and a
// callback may disconnect.
TEST(PeripheralGatt, CallbacksRunWithoutLibraryLocks) {
    Connected harness(test_device(), Build::DelegateOnly);
    auto& delegate = harness.delegate();

    // The caller holds its lock around a read while its callback waits for that lock.
    std::mutex own;
    std::atomic<int> took_own{0};
    std::atomic<bool> entered{false};
    std::atomic<bool> running{false};
    delegate.notify(kService, kValueChar, [&](std::string value) {
        if (value == "own") {
            std::lock_guard<std::mutex> lock(own);
            ++took_own;
        } else if (value == "slow") {
            running = true;
            entered = true;
            std::this_thread::sleep_for(100ms);
            running = false;
        }
    });
    must_finish_within(5s, "a read while the caller holds the lock its callback needs", [&] {
        std::unique_lock<std::mutex> lock(own);
        harness.world().notify(kDevice, kService, kValueChar, "own");
        try {
            delegate.read(kService, kReadOnlyChar);  // its answer queues behind the waiting callback
        } catch (const OperationFailed&) {
        }
    });
    EXPECT_TRUE(eventually([&] { return took_own == 1; }));

    // unsubscribe() while a call of the callback runs: it returns after that call has ended.
    harness.world().notify(kDevice, kService, kValueChar, "slow");
    ASSERT_TRUE(eventually([&] { return entered.load(); }));
    delegate.unsubscribe(kService, kValueChar);
    EXPECT_FALSE(running);

    // A callback that disconnects.
    std::atomic<bool> disconnected{false};
    delegate.notify(kService, kValueChar, [&](std::string) {
        delegate.disconnect();
        disconnected = !delegate.isConnected();
    });
    harness.world().notify(kDevice, kService, kValueChar, "bye");
    EXPECT_TRUE(eventually([&] { return disconnected.load(); }, 2s));
}

// ---------------------------------------------------------------------------------------------
// Descriptors

TEST(PeripheralGatt, DescriptorValuesComeBackAsBytes) {
    Connected harness;
    auto& base = harness.base();
    EXPECT_EQ(base.read(kService, kValueChar, "2901"), "Level");                      // text
    EXPECT_EQ(base.read(kService, kValueChar, kClientConfig), std::string(2, '\0'));  // number, little-endian
    base.notify(kService, kValueChar, [](std::string) {});
    EXPECT_EQ(base.read(kService, kValueChar, kClientConfig), std::string("\x01\x00", 2));
    EXPECT_EQ(base.read(kService, kValueChar, kVendorDescriptor), std::string("\x00\x07", 2));

    base.write(kService, kValueChar, kVendorDescriptor, std::string("\x00\x00\x09", 3));
    EXPECT_EQ(base.read(kService, kValueChar, kVendorDescriptor), std::string("\x00\x00\x09", 3));
}

TEST(PeripheralGatt, ClientConfigurationIsChangedBySubscriptionsOnly) {
    Connected harness(test_device(), Build::DelegateOnly);
    ConsoleCapture console;
    const auto elapsed = timed([&] {
        EXPECT_EQ(thrown_text<OperationNotSupported>(
                      [&] { harness.delegate().write(kService, kValueChar, "2902", std::string("\x01\x00", 2)); }),
                  "The requested operation is not supported.");
    });
    EXPECT_LT(elapsed, 100ms);
    // Nothing was sent, so nothing is left waiting.
    EXPECT_FALSE(
        harness.delegate().characteristic_extras().at(kValueChar).descriptor_extras.at(kClientConfig).write_pending);
    EXPECT_TRUE(console.has("Descriptor 2902 does not support write."));
}

TEST(PeripheralGatt, DescriptorReadAnsweredWithAnErrorOrNotAtAllFails) {
    for (Fault fault : {Fault::Error, Fault::Silent}) {
        Connected harness(device_with_descriptor_fault("read", fault));
        ConsoleCapture console;
        const auto elapsed = timed([&] {
            EXPECT_EQ(
                thrown_text<OperationFailed>([&] { harness.base().read(kService, kValueChar, kVendorDescriptor); }),
                "Operation Failed: Descriptor Read");
        });
        EXPECT_TRUE(fault == Fault::Error ? elapsed < 500ms : about_one_second(elapsed));
        EXPECT_EQ(console.count("Descriptor value update error: "), fault == Fault::Error ? 1u : 0u);
        EXPECT_TRUE(console.has_exact("Descriptor 7E1A00D1-3B2D-4C6E-9F80-1A2B3C4D5E6F could not be read"));
    }
}

TEST(PeripheralGatt, DescriptorWriteAnsweredWithAnErrorOrNotAtAllFails) {
    for (Fault fault : {Fault::Error, Fault::Silent}) {
        Connected harness(device_with_descriptor_fault("write", fault));
        ConsoleCapture console;
        const auto elapsed = timed([&] {
            EXPECT_EQ(thrown_text<OperationFailed>(
                          [&] { harness.base().write(kService, kValueChar, kVendorDescriptor, "x"); }),
                      "Operation Failed: Descriptor Write");
        });
        EXPECT_TRUE(fault == Fault::Error ? elapsed < 500ms : about_one_second(elapsed));
        EXPECT_EQ(console.count("Descriptor value write error: "), fault == Fault::Error ? 1u : 0u);
        EXPECT_TRUE(console.has_exact("Descriptor 7E1A00D1-3B2D-4C6E-9F80-1A2B3C4D5E6F could not be written"));
    }
}

}  // namespace
}  // namespace peripheral_test
