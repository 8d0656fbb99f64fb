#pragma once
// The platform stand-in's tests: the stand-in's console lines, a device with one service of every kind
// of characteristic, and a fixture that reaches it connected and discovered.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Recorder.h"
#include "Watch.h"
#include "WorldBuilder.h"
#include "platform/CoreBluetooth.h"
#include "platform/sim/World.h"

namespace platform_test {

using namespace platform;
using namespace test_support;
using platform::sim::World;

inline const char* const kNotConnectedLine = "API MISUSE: can only accept commands while in the connected state";
inline const char* const kNotPoweredOnLine = "API MISUSE: can only accept this command while in the powered on state";

inline const std::string kDeviceId = "7E1D0C4B-3A29-4F18-8E07-6D5C4B3A2918";
inline const std::string kService = "7e1d0001-3a29-4f18-8e07-6d5c4b3a2918";
inline const std::string kReadChar = "7e1d0002-3a29-4f18-8e07-6d5c4b3a2918";      // read, notify, write
inline const std::string kWriteChar = "7e1d0003-3a29-4f18-8e07-6d5c4b3a2918";     // write, write without response
inline const std::string kPlainChar = "7e1d0004-3a29-4f18-8e07-6d5c4b3a2918";     // no properties
inline const std::string kIndicateChar = "7e1d0005-3a29-4f18-8e07-6d5c4b3a2918";  // indicate only

/// The quick device with a 103-byte MTU, a link of 4 packets every 5 ms, and one advertised service of
/// the characteristics above; the read characteristic carries descriptors 2901 ("Level"), 2902,
/// 2904 (bytes) and 2900 (number 0x0102).
inline sim::PeripheralConfig testDevice(const std::string& identifier = kDeviceId) {
    auto p = device(identifier);
    p.mtu = 103;
    p.advertising.service_uuids = std::vector<std::string>{kService};
    p.connection.interval_ms = 5;
    p.connection.packets_per_interval = 4;
    sim::ServiceConfig s;
    s.uuid = kService;
    s.characteristics = {
        characteristic(
            kReadChar, CBCharacteristicPropertyRead | CBCharacteristicPropertyNotify | CBCharacteristicPropertyWrite,
            std::string("\x01\x00\x02", 3),
            {descriptor("2901", std::string("Level")), descriptor("2902"),
             descriptor("2904", std::string("\x04\x00", 2)), descriptor("2900", std::string("\x02\x01", 2))}),
        characteristic(kWriteChar, CBCharacteristicPropertyWrite | CBCharacteristicPropertyWriteWithoutResponse),
        characteristic(kPlainChar, 0), characteristic(kIndicateChar, CBCharacteristicPropertyIndicate)};
    p.services = {s};
    return p;
}

/// A world, a manager on its own queue with a recording delegate, and helpers to reach a connected,
/// discovered peripheral.
class PlatformTest : public ::testing::Test {
  public:
    void start(sim::WorldConfig config) {
        World::get().reset(std::move(config));
        queue = dispatch_queue_create("platform.test", DISPATCH_QUEUE_SERIAL);
        recorder = std::make_shared<Recorder>();
        central = CBCentralManager::initWithDelegate(recorder, queue, std::nullopt);
        ASSERT_TRUE(recorder->waitFor("DidUpdateState"));
    }

    CBPeripheralPtr find(const std::string& identifier = kDeviceId) {
        central->scanForPeripherals(std::nullopt, {});
        auto p = recorder->waitForAdvert(identifier);
        central->stopScan();
        if (p) {
            p->setDelegate(recorder);
        }
        return p;
    }

    void connect(const CBPeripheralPtr& p) {
        const size_t before = recorder->count("DidConnect");
        central->connectPeripheral(p, {});
        ASSERT_TRUE(recorder->waitFor("DidConnect", before + 1));
        ASSERT_EQ(p->state(), CBPeripheralState::Connected);
    }

    /// Discovers the whole tree; returns the service.
    CBServicePtr discoverAll(const CBPeripheralPtr& p) {
        const size_t s0 = recorder->count("DidDiscoverServices");
        p->discoverServices(std::nullopt);
        EXPECT_TRUE(recorder->waitFor("DidDiscoverServices", s0 + 1));
        auto services = p->services();
        if (!services || services->empty()) {
            ADD_FAILURE() << "no services";
            return nullptr;
        }
        auto service = services->front();
        const size_t c0 = recorder->count("DidDiscoverCharacteristics");
        p->discoverCharacteristics(std::nullopt, service);
        EXPECT_TRUE(recorder->waitFor("DidDiscoverCharacteristics", c0 + 1));
        for (const auto& c : service->characteristics().value_or(std::vector<CBCharacteristicPtr>{})) {
            const size_t d0 = recorder->count("DidDiscoverDescriptors");
            p->discoverDescriptors(c);
            EXPECT_TRUE(recorder->waitFor("DidDiscoverDescriptors", d0 + 1));
        }
        return service;
    }

    static CBCharacteristicPtr characteristic(const CBServicePtr& service, const std::string& uuid) {
        return withUUID(service->characteristics(), uuid);
    }
    static CBDescriptorPtr descriptor(const CBCharacteristicPtr& c, const std::string& uuid) {
        return withUUID(c->descriptors(), uuid);
    }
    /// The attribute of `attributes` (none when not discovered) with this UUID text, or null.
    template <typename Attribute>
    static Attribute withUUID(const std::optional<std::vector<Attribute>>& attributes, const std::string& uuid) {
        const auto wanted = CBUUID::UUIDWithString(uuid);
        for (const auto& a : attributes.value_or(std::vector<Attribute>{})) {
            if (a->UUID() == wanted) {
                return a;
            }
        }
        return nullptr;
    }

    /// Found, connected and discovered.
    CBServicePtr ready(CBPeripheralPtr& p) {
        p = find();
        EXPECT_TRUE(p);
        if (!p) {
            return nullptr;
        }
        connect(p);
        return discoverAll(p);
    }

    ConsoleCapture console;
    dispatch_queue_t queue;
    std::shared_ptr<Recorder> recorder;
    CBCentralManagerPtr central;
};

}  // namespace platform_test
