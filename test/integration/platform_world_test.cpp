// The process-wide world: what it loads on first use, and its controls' validation.

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "support/PlatformHarness.h"

namespace platform_test {
namespace {

std::string upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

// The world loads once per process: each case runs in a freshly started child.
class PlatformWorldLoad : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

CBManagerState stateOfANewManager() {
    struct Quiet : CBCentralManagerDelegate {
        void centralManagerDidUpdateState(CBCentralManager&) override {}
    };
    auto delegate = std::make_shared<Quiet>();
    auto m =
        CBCentralManager::initWithDelegate(delegate, dispatch_queue_create("q", DISPATCH_QUEUE_SERIAL), std::nullopt);
    eventually([&] { return m->state() != CBManagerState::Unknown; });
    return m->state();
}

TEST_F(PlatformWorldLoad, DefaultWorldWhenNoFileIsNamed) {
    EXPECT_EXIT(
        {
            setenv("TAVRIN_SIM_WORLD", "default", 1);
            const bool ok =
                stateOfANewManager() == CBManagerState::PoweredOn &&
                World::get().value("C3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13", "fb1e4001-54ae-4a28-9f74-dfccb248601d",
                                   "fb1e4003-54ae-4a28-9f74-dfccb248601d") == std::string(3, '\0') &&
                World::get().value("0F3E9B7A-52C4-4D1E-8A6B-7C9D0E1F2A3B", "180D", "2A38") == std::string("\x01");
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(PlatformWorldLoad, UnsetMeansTheSystemsRadio) {
    // No world named (or an empty name): the system's radio, which reports the state unsupported without a
    // system bus (none is given, so a host's own bluetoothd cannot change this), however the world itself
    // could be loaded.
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        EXPECT_EXIT(
            {
                setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent", 1);
                if (value) {
                    setenv("TAVRIN_SIM_WORLD", value, 1);
                } else {
                    unsetenv("TAVRIN_SIM_WORLD");
                }
                const bool ok = stateOfANewManager() == CBManagerState::Unsupported &&
                                &radio::processRadio() != &World::get().radio();
                std::exit(ok ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "");
    }
}

TEST_F(PlatformWorldLoad, BrokenFileGivesOneLineAndAnUnsupportedRadio) {
    const std::string path = ::testing::TempDir() + "platform_world_broken.json";
    {
        std::ofstream out(path);
        out << R"({"adapter": {"state": "powered_on", "colour": "blue"}, "peripherals": []})";
    }
    EXPECT_EXIT(
        {
            setenv("TAVRIN_SIM_WORLD", path.c_str(), 1);
            std::exit(stateOfANewManager() == CBManagerState::Unsupported ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "platform_world_broken\\.json.*colour");
    EXPECT_EXIT(
        {
            setenv("TAVRIN_SIM_WORLD", "/nonexistent/world.json", 1);
            std::exit(stateOfANewManager() == CBManagerState::Unsupported ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "/nonexistent/world\\.json");
    std::remove(path.c_str());
}

TEST_F(PlatformWorldLoad, NamedFileIsLoaded) {
    EXPECT_EXIT(
        {
            setenv("TAVRIN_SIM_WORLD", TAVRIN_TEST_WORLDS_DIR "/bluetooth_off.json", 1);
            std::exit(stateOfANewManager() == CBManagerState::PoweredOff &&
                              &radio::processRadio() == &World::get().radio()
                          ? 0
                          : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(PlatformWorld, ControlsRejectWhatTheWorldDoesNotHave) {
    World::get().reset(world_of({testDevice()}));
    auto dup = world_of({testDevice(), testDevice(upper(kDeviceId))});
    EXPECT_THROW(World::get().reset(dup), std::invalid_argument);
    EXPECT_EQ(World::get().value(kDeviceId, kService, kReadChar), std::string("\x01\x00\x02", 3));  // unchanged

    auto bad_uuid = testDevice();
    bad_uuid.services[0].uuid = "not-a-uuid";
    EXPECT_THROW(World::get().addPeripheral(bad_uuid), std::invalid_argument);
    auto bad_model = testDevice("22222222-2222-2222-2222-222222222222");
    bad_model.model = "kettle";
    EXPECT_THROW(World::get().addPeripheral(bad_model), std::invalid_argument);

    EXPECT_THROW(World::get().value("00000000-0000-0000-0000-000000000000", kService, kReadChar), std::out_of_range);
    EXPECT_THROW(World::get().notify(kDeviceId, kService, "2A00", "x"), std::out_of_range);
    EXPECT_THROW(World::get().dropLink("00000000-0000-0000-0000-000000000000"), std::out_of_range);
    EXPECT_NO_THROW(World::get().removePeripheral("00000000-0000-0000-0000-000000000000"));

    // Identifiers and UUIDs are matched without regard to case or form.
    World::get().setValue("7e1d0c4b-3a29-4f18-8e07-6d5c4b3a2918", upper(kService), upper(kReadChar), "v");
    EXPECT_EQ(World::get().value(kDeviceId, kService, kReadChar), "v");
    World::get().clearReceivedWrites(kDeviceId);
    EXPECT_TRUE(World::get().receivedWrites(kDeviceId).empty());
    World::get().setAdapterState(CBManagerState::Resetting);
    EXPECT_EQ(World::get().adapterState(), CBManagerState::Resetting);
}

}  // namespace
}  // namespace platform_test
