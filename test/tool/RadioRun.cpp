#include "RadioRun.h"

#include <optional>

#ifdef TAVRIN_BLUEZ_TOOL_TESTS
#include "BluezFixture.h"
#endif

namespace tooltest {

std::string viaName(const testing::TestParamInfo<Via>& info) {
    return info.param == Via::Sim ? "Sim" : "Bluez";
}

bool onRealStack(Via via) {
#ifdef TAVRIN_BLUEZ_TOOL_TESTS
    return via == Via::Bluez && bluez_test::onRealStack();
#else
    (void)via;
    return false;
#endif
}

std::string addressOf(Via via, const std::string& identifier, const std::string& world_file) {
    if (via == Via::Sim) {
        return identifier;
    }
#ifdef TAVRIN_BLUEZ_TOOL_TESTS
    if (bluez_test::onRealStack()) {
        return bluez_test::realStackAddress(world_file.empty() ? TAVRIN_DEFAULT_WORLD_FILE : world_file, identifier);
    }
#else
    (void)world_file;
#endif
    const std::string hex = identifier.substr(identifier.size() - 12);
    std::string text;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        text += (i ? ":" : "") + hex.substr(i, 2);
    }
    return text;
}

ProcessResult runOver(Via via, const std::string& path, const std::vector<std::string>& args,
                      const std::string& world_file) {
    ProcessResult result;
    if (via == Via::Sim) {
        result = runProcess(path, args, world_file);
    } else {
#ifdef TAVRIN_BLUEZ_TOOL_TESTS
        const std::string file = world_file == "default" ? TAVRIN_DEFAULT_WORLD_FILE : world_file;
        if (bluez_test::onRealStack()) {
            // The real bluetoothd, afresh for each run, with the world served from controllers of its own.
            bluez_test::restartRealStack();
            bluez_test::SimulatorProcess server(file, bluez_test::realStackBus());
            result = runProcess(path, args, std::nullopt, {}, std::chrono::seconds(120),
                                {"DBUS_SYSTEM_BUS_ADDRESS=" + bluez_test::realStackBus()});
        } else {
            // A bus and a simulator of its own for each run: runs may go in parallel.
            bluez_test::PrivateBus bus;
            bluez_test::SimulatorProcess simulator(file, bus.address());
            result = runProcess(path, args, std::nullopt, {}, std::chrono::seconds(60),
                                {"DBUS_SYSTEM_BUS_ADDRESS=" + bus.address()});
        }
#else
        ADD_FAILURE() << "the BlueZ radio is not built";
#endif
    }
    EXPECT_FALSE(result.timed_out);
    return result;
}

}  // namespace tooltest
