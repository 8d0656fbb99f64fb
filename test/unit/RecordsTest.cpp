#include <tavrin/Characteristic.h>
#include <tavrin/Descriptor.h>
#include <tavrin/Exceptions.h>
#include <tavrin/Service.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "frontends/base/CharacteristicBuilder.h"
#include "frontends/base/DescriptorBuilder.h"
#include "frontends/base/ServiceBuilder.h"

namespace {

using namespace Tavrin;

// Reads a handle's data pointer without changing what the handle shares.
struct ServicePeek : Service {
    explicit ServicePeek(const Service& s) : Service(s) {}
    std::weak_ptr<ServiceBase> data() const { return internal_; }
};
struct CharacteristicPeek : Characteristic {
    explicit CharacteristicPeek(const Characteristic& c) : Characteristic(c) {}
    const CharacteristicBase* data() const { return internal_.get(); }
};

const std::string kHeartRate = "0000180d-0000-1000-8000-00805f9b34fb";
const std::string kMeasurement = "00002a37-0000-1000-8000-00805f9b34fb";
const std::string kConfig = "00002902-0000-1000-8000-00805f9b34fb";

TEST(Records, ServiceFormsAndOwnCopies) {
    Service advertised = ServiceBuilder(kHeartRate, std::string("\x01\x00\x02", 3));
    EXPECT_EQ(advertised.uuid(), kHeartRate);
    EXPECT_EQ(advertised.data(), std::string("\x01\x00\x02", 3));
    EXPECT_TRUE(advertised.characteristics().empty());

    Service bare = ServiceBuilder(kHeartRate);
    EXPECT_TRUE(bare.data().empty());
    EXPECT_TRUE(bare.characteristics().empty());

    std::vector<Descriptor> descriptors{DescriptorBuilder(kConfig)};
    std::vector<Characteristic> characteristics{
        CharacteristicBuilder(kMeasurement, descriptors, false, false, false, true, false)};
    Service discovered = ServiceBuilder(kHeartRate, characteristics);
    // Changing what was passed in leaves the records alone.
    descriptors.push_back(DescriptorBuilder("x"));
    characteristics.clear();
    EXPECT_TRUE(discovered.data().empty());
    ASSERT_EQ(discovered.characteristics().size(), 1u);
    Characteristic c = discovered.characteristics()[0];
    EXPECT_EQ(c.uuid(), kMeasurement);
    ASSERT_EQ(c.descriptors().size(), 1u);
    EXPECT_EQ(c.descriptors()[0].uuid(), kConfig);
    EXPECT_FALSE(c.can_read());
    EXPECT_TRUE(c.can_notify());
}

TEST(Records, CopiesShareOneDataObjectThatLivesWithTheLastHolder) {
    std::weak_ptr<ServiceBase> watch;
    std::vector<Service> kept;
    {
        Service original = ServiceBuilder(kHeartRate, std::vector<Characteristic>{CharacteristicBuilder(
                                                          kMeasurement, {}, true, true, false, false, false)});
        Service copy = original;
        watch = ServicePeek(original).data();
        EXPECT_EQ(ServicePeek(copy).data().lock(), watch.lock());
        EXPECT_EQ(CharacteristicPeek(original.characteristics()[0]).data(),
                  CharacteristicPeek(copy.characteristics()[0]).data());
        kept.push_back(copy);
    }
    EXPECT_FALSE(watch.expired());
    EXPECT_EQ(kept[0].uuid(), kHeartRate);
    kept.clear();
    EXPECT_TRUE(watch.expired());
}

TEST(Records, CapabilitiesInFixedOrder) {
    const char* names[] = {"read", "write_request", "write_command", "notify", "indicate"};
    for (int mask = 0; mask < 32; ++mask) {
        auto bit = [mask](int i) { return (mask >> i & 1) != 0; };
        Characteristic c = CharacteristicBuilder(kMeasurement, {}, bit(0), bit(1), bit(2), bit(3), bit(4));
        std::vector<std::string> expected;
        for (int i = 0; i < 5; ++i) {
            if (bit(i)) {
                expected.emplace_back(names[i]);
            }
        }
        EXPECT_EQ(c.capabilities(), expected) << "mask " << mask;
        EXPECT_EQ(c.can_read(), bit(0));
        EXPECT_EQ(c.can_write_request(), bit(1));
        EXPECT_EQ(c.can_write_command(), bit(2));
        EXPECT_EQ(c.can_notify(), bit(3));
        EXPECT_EQ(c.can_indicate(), bit(4));
    }
    Characteristic wn = CharacteristicBuilder(kMeasurement, {}, false, false, true, true, false);
    EXPECT_EQ(wn.capabilities(), (std::vector<std::string>{"write_command", "notify"}));
}

TEST(Records, UnboundHandlesRefuseInsteadOfCrashing) {
    EXPECT_THROW(Service().uuid(), Exception::NotInitialized);
    EXPECT_THROW(Characteristic().capabilities(), Exception::NotInitialized);
    EXPECT_THROW(Descriptor().uuid(), Exception::NotInitialized);
}

}  // namespace
