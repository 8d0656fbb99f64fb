// tavrin-world-server --world FILE: serves each device of a world file on the real Bluetooth stack, device i of
// `peripherals` from controller hci(i+1) (hci0 is the program's), through bluetoothd's peripheral interfaces. The
// simulated world plays each device behind bluetoothd: its values, latency, faults and model.
//
// Standard output, one line each: "device IDENTIFIER WORLD-ADDRESS REAL-ADDRESS hciN" for every device, then
// "ready" once every advertisement and service is registered. SIGTERM or SIGINT: everything is unregistered and
// the server exits 0. A failure is one line on standard error and exit status 1.

#include <pthread.h>
#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "DeviceServer.h"
#include "Mgmt.h"
#include "WorldTree.h"
#include "platform/sim/World.h"
#include "platform/sim/WorldConfig.h"

namespace {

using namespace worldserver;
namespace sim = platform::sim;

const char* const kUsage = "usage: tavrin-world-server --world FILE";
// bluetoothd may take a while to see a controller powered again, and to register everything, on a busy guest.
constexpr auto kAdapterLimit = std::chrono::seconds(20);
constexpr auto kRegisterLimit = std::chrono::seconds(30);
constexpr auto kLearnLimit = std::chrono::seconds(10);
constexpr auto kCallLimit = std::chrono::seconds(5);

[[noreturn]] void fail(const std::string& line) {
    std::fprintf(stderr, "tavrin-world-server: %s\n", line.c_str());
    std::fflush(stderr);
    std::_Exit(1);
}

std::string adapterPath(const std::string& adapter) {
    return "/org/bluez/" + adapter;
}

bool adapterPowered(sdbus::IConnection& bus, const std::string& adapter) {
    try {
        auto proxy = sdbus::createProxy(bus, "org.bluez", adapterPath(adapter));
        sdbus::Variant powered;
        proxy->callMethod("Get")
            .onInterface("org.freedesktop.DBus.Properties")
            .withTimeout(kCallLimit)
            .withArguments("org.bluez.Adapter1", "Powered")
            .storeResultsTo(powered);
        return powered.get<bool>();
    } catch (const sdbus::Error&) {
        return false;
    }
}

// The adapter's alias is the GAP name bluetoothd serves, which a central reads once connected.
void nameAdapter(const std::string& adapter, const std::string& name) {
    auto bus = sdbus::createSystemBusConnection();
    auto proxy = sdbus::createProxy(*bus, "org.bluez", adapterPath(adapter));
    proxy->callMethod("Set")
        .onInterface("org.freedesktop.DBus.Properties")
        .withTimeout(kCallLimit)
        .withArguments("org.bluez.Adapter1", "Alias", sdbus::Variant(name));
}

// bluetoothd's Pair() on the peripheral's side sends the central a security request; the central's host pairs.
void askToPair(const std::string& adapter, const std::string& central) {
    try {
        std::string path = adapterPath(adapter) + "/dev_" + central;
        std::replace(path.begin(), path.end(), ':', '_');
        auto bus = sdbus::createSystemBusConnection();
        auto proxy = sdbus::createProxy(*bus, "org.bluez", path);
        proxy->callMethod("Pair").onInterface("org.bluez.Device1").withTimeout(std::chrono::seconds(30));
    } catch (const sdbus::Error& e) {
        std::fprintf(stderr, "tavrin-world-server: %s: asking %s to pair: %s: %s\n", adapter.c_str(), central.c_str(),
                     e.getName().c_str(), e.getMessage().c_str());
    }
}

void dropLinksOf(uint16_t index) {
    try {
        Mgmt mgmt;
        for (const auto& link : mgmt.connections(index)) {
            mgmt.disconnect(index, link);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tavrin-world-server: hci%u: %s\n", index, e.what());
    }
}

struct Served {
    std::string identifier;
    std::string worldAddress;
    std::string realAddress;
    std::string adapter;
    std::shared_ptr<DeviceServer> server;
};

}  // namespace

int main(int argc, char** argv) {
    // The stop signals are taken by sigwait below: blocked before any thread starts, so that every thread inherits
    // the mask.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::optional<std::string> file;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--world" && i + 1 < argc) {
            file = argv[++i];
        } else if (arg == "--help" || arg == "-h") {
            std::printf("%s\n", kUsage);
            return 0;
        } else {
            fail(kUsage);
        }
    }
    if (!file) {
        fail(kUsage);
    }

    sim::WorldConfig config;
    try {
        config = sim::loadWorldFile(*file);
    } catch (const sim::WorldFileError& e) {
        fail(e.what());
    }
    // The world starts from the built-in one, whatever the environment names, and becomes the file's.
    ::unsetenv("TAVRIN_SIM_WORLD");

    std::vector<Served> served;
    try {
        Mgmt mgmt;
        for (size_t i = 0; i < config.peripherals.size(); ++i) {
            const auto& device = config.peripherals[i];
            const auto index = static_cast<uint16_t>(i + 1);
            Served s;
            s.identifier = device.identifier;
            for (char& c : s.identifier) {
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
            s.worldAddress = sim::deviceAddress(device);
            s.adapter = "hci" + std::to_string(index);
            // The controller's own address: btvirt's links to a controller with a static random address drop
            // as soon as they are up.
            try {
                s.realAddress = mgmt.info(index).address;
            } catch (const std::exception&) {
                fail("no controller " + s.adapter + " for device " + std::to_string(i) + " (" + s.identifier +
                     "): the world has " + std::to_string(config.peripherals.size()) + " devices");
            }
            served.push_back(std::move(s));
        }
    } catch (const std::exception& e) {
        fail(e.what());
    }

    try {
        auto bus = sdbus::createSystemBusConnection();
        for (size_t i = 0; i < served.size(); ++i) {
            const auto deadline = std::chrono::steady_clock::now() + kAdapterLimit;
            while (!adapterPowered(*bus, served[i].adapter)) {
                if (std::chrono::steady_clock::now() > deadline) {
                    fail("bluetoothd does not show " + served[i].adapter + " powered");
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            if (const auto& name = config.peripherals[i].name) {
                nameAdapter(served[i].adapter, *name);
            }
        }
    } catch (const sdbus::Error& e) {
        fail("bluetoothd: " + e.getName() + ": " + e.getMessage());
    }

    std::map<std::string, DeviceTree> trees;
    try {
        trees = learnTrees(config, kLearnLimit);
        sim::World::get().reset(servedWorld(config));
    } catch (const std::exception& e) {
        fail(*file + ": " + e.what());
    }

    std::mutex mutex;
    std::condition_variable registered;
    size_t left = served.size();
    std::optional<std::string> failure;
    for (size_t i = 0; i < served.size(); ++i) {
        DeviceServer::Setup setup;
        setup.device = config.peripherals[i];
        setup.tree = trees[served[i].identifier];
        setup.adapter = served[i].adapter;
        setup.index = static_cast<uint16_t>(i + 1);
        setup.dropLinks = [index = setup.index] { dropLinksOf(index); };
        setup.askToPair = [adapter = setup.adapter](const std::string& central) { askToPair(adapter, central); };
        if (const auto& name = config.peripherals[i].name) {
            setup.nameAdapter = [adapter = setup.adapter, name = *name] {
                try {
                    nameAdapter(adapter, name);
                } catch (const sdbus::Error&) {
                }
            };
        }
        served[i].server = std::make_shared<DeviceServer>(std::move(setup));
        const std::string who = served[i].adapter + " (" + served[i].identifier + ")";
        try {
            served[i].server->start([&, who](const std::string* error) {
                std::lock_guard<std::mutex> lock(mutex);
                if (error && !failure) {
                    failure = who + ": " + *error;
                }
                --left;
                registered.notify_all();
            });
        } catch (const std::exception& e) {
            fail(who + ": " + e.what());
        }
    }
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!registered.wait_for(lock, kRegisterLimit, [&] { return left == 0 || failure; })) {
            fail("bluetoothd did not register every advertisement and service within 30 s");
        }
        if (failure) {
            fail(*failure);
        }
    }

    for (const auto& s : served) {
        std::printf("device %s %s %s %s\n", s.identifier.c_str(), s.worldAddress.c_str(), s.realAddress.c_str(),
                    s.adapter.c_str());
    }
    std::printf("ready\n");
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stops, &signal);
    for (auto& s : served) {
        s.server->stop();
    }
    return 0;
}
