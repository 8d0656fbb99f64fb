// tavrin-bluez-sim --world FILE [--bus ADDRESS]: serves a simulated world on a D-Bus bus as bluetoothd would,
// so that any BlueZ client can be tested without a radio.

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "BluezSimulator.h"
#include "EventLoop.h"
#include "ObjectTree.h"
#include "platform/sim/World.h"
#include "platform/sim/WorldConfig.h"

namespace {

const char* const kUsage = "usage: tavrin-bluez-sim --world FILE [--bus ADDRESS]";
// How long the bus may take to accept us and give us the name.
constexpr auto kBusLimit = std::chrono::seconds(5);
// How long the radio may take past its state delay to tell its state before `ready` goes out anyway.
constexpr auto kStateGrace = std::chrono::seconds(2);

void say(const std::string& line) {
    std::fprintf(stderr, "tavrin-bluez-sim: %s\n", line.c_str());
    std::fflush(stderr);
}

// Ends the process when the bus does not answer in time: a socket that accepts and then stays silent would
// otherwise hold the connection's first call for the bus library's own, much longer, limit.
class BusWatchdog {
  public:
    explicit BusWatchdog(std::string address)
        : address_(std::move(address)), thread_([this] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!wake_.wait_for(lock, kBusLimit, [this] { return done_; })) {
                  say("the bus at " + address_ + " does not answer (no reply within 5 s)");
                  std::_Exit(1);
              }
          }) {}
    ~BusWatchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

  private:
    const std::string address_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;  // guarded by mutex_
    std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
    // The loop takes the stop signals from a signalfd: they are blocked before any thread starts, so that every
    // thread inherits the mask.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::optional<std::string> world_file;
    std::optional<std::string> bus;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--world" || arg == "--bus") && i + 1 < argc) {
            (arg == "--world" ? world_file : bus) = argv[++i];
        } else if (arg == "--help" || arg == "-h") {
            std::printf("%s\n", kUsage);
            return 0;
        } else {
            std::fprintf(stderr, "%s\n", kUsage);
            return 2;
        }
    }
    if (!world_file) {
        std::fprintf(stderr, "%s\n", kUsage);
        return 2;
    }

    platform::sim::WorldConfig config;
    try {
        config = platform::sim::loadWorldFile(*world_file);
    } catch (const platform::sim::WorldFileError& e) {
        say(e.what());
        return 2;
    }
    std::vector<bluezsim::Setup> setups = bluezsim::setupsOf(config);
    const std::optional<unsigned> state_delay = config.adapter.state_delay_ms;
    // The world starts from the built-in one, whatever the environment names, and becomes the file's.
    ::unsetenv("TAVRIN_SIM_WORLD");
    platform::sim::World& world = platform::sim::World::get();
    try {
        world.reset(std::move(config));
    } catch (const std::exception& e) {
        say(*world_file + ": " + e.what());
        return 2;
    }

    std::string address;
    if (bus) {
        address = *bus;
    } else if (const char* system = std::getenv("DBUS_SYSTEM_BUS_ADDRESS"); system != nullptr && *system != '\0') {
        address = system;
    } else {
        address = "unix:path=/run/dbus/system_bus_socket";
    }

    std::unique_ptr<sdbus::IConnection> connection;
    try {
        BusWatchdog watchdog(address);
        connection = sdbus::createSessionBusConnectionWithAddress(address);
    } catch (const sdbus::Error& e) {
        say("cannot serve org.bluez on the bus at " + address + ": " + e.getMessage());
        return 1;
    }

    try {
        bluezsim::EventLoop loop(*connection);
        bluezsim::ObjectTree tree(*connection);
        // One simulator per adapter, over the one world: they share its power.
        std::vector<std::unique_ptr<bluezsim::BluezSimulator>> simulators;
        for (auto& setup : setups) {
            simulators.push_back(std::make_unique<bluezsim::BluezSimulator>(
                loop, tree, world.radio(), std::move(setup), [&world](bool on) {
                    world.setAdapterState(on ? platform::CBManagerState::PoweredOn
                                             : platform::CBManagerState::PoweredOff);
                }));
            // The first one serves /org/bluez: its agents answer for every adapter.
            if (simulators.size() > 1) {
                simulators.back()->shareAgentsOf(*simulators.front());
            }
        }
        // A bus policy that refuses the user is there before bluetoothd's name: every call is refused from the
        // first one, the listing of objects too.
        const auto authorization = world.authorization();
        tree.refuse(world.adapterState() == platform::CBManagerState::Unauthorized ||
                    authorization == platform::CBManagerAuthorization::Denied ||
                    authorization == platform::CBManagerAuthorization::Restricted);
        try {
            BusWatchdog watchdog(address);
            connection->requestName("org.bluez");
        } catch (const sdbus::Error& e) {
            say("cannot serve org.bluez on the bus at " + address + ": " + e.getMessage());
            return 1;
        }
        loop.setIdle([&tree] {
            tree.flush();
            tree.collect();
        });
        connection->addMatch(
            "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',member='NameOwnerChanged'",
            [&simulators](sdbus::Message& message) {
                // Any client can send us this signal alone, past the match rule: only the bus's own counts.
                if (message.getSender() != "org.freedesktop.DBus") {
                    return;
                }
                std::string name, old_owner, new_owner;
                message >> name >> old_owner >> new_owner;
                if (new_owner.empty() && !name.empty() && name[0] == ':') {
                    for (const auto& simulator : simulators) {
                        simulator->clientGone(name);
                    }
                }
            },
            sdbus::floating_slot);
        for (const auto& simulator : simulators) {
            simulator->start();
        }
        const auto allKnown = [&simulators] {
            return std::all_of(simulators.begin(), simulators.end(), [](const auto& s) { return s->stateKnown(); });
        };

        // A client that starts at `ready` must find the adapter: wait for the radio to tell its state.
        if (state_delay) {
            const auto limit = std::chrono::milliseconds(*state_delay) + kStateGrace;
            const auto deadline = std::chrono::steady_clock::now() + limit;
            loop.after(limit, [] {});
            loop.run([&] { return allKnown() || std::chrono::steady_clock::now() >= deadline; });
            if (loop.stopped()) {
                return 0;
            }
        }
        std::printf("ready\n");
        std::fflush(stdout);
        loop.run();
    } catch (const std::exception& e) {
        say(std::string("stopped: ") + e.what());
        return 1;
    }
    return 0;
}
