// Choosing the process's radio, once, on first use. The one place that knows every radio there is.

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Dispatch.h"
#include "platform/Radio.h"
#include "platform/sim/World.h"

#ifdef TAVRIN_WITH_BLUEZ
#include "bluez/BluezRadio.h"
#endif

namespace platform::radio {

namespace {

/// A radio where the system has none: every session reports the state unsupported and does nothing else.
class NoRadio : public Radio {
    class Session : public RadioCentral, public std::enable_shared_from_this<Session> {
      public:
        explicit Session(std::weak_ptr<RadioCentralEvents> events)
            : events_(std::move(events)),
              thread_(dispatch_queue_create("platform.radio.none", DISPATCH_QUEUE_SERIAL)) {}

        void start() {
            // The state is told from the session's own thread, never from inside openCentral.
            thread_->async([weak = weak_from_this()] {
                auto self = weak.lock();
                if (!self) {
                    return;
                }
                std::lock_guard<std::mutex> lock(self->mutex_);
                auto listener = self->events_.lock();
                if (!self->closed_ && listener) {
                    self->known_ = true;
                    listener->radioStateChanged(CBManagerState::Unsupported);
                }
            });
        }

        CBManagerState state() const override {
            std::lock_guard<std::mutex> lock(mutex_);
            return known_ ? CBManagerState::Unsupported : CBManagerState::Unknown;
        }
        void startScan(const std::optional<std::vector<CBUUID>>&, bool) override {}
        void stopScan() override {}
        void connect(const DeviceKey&) override {}
        void cancelConnection(const DeviceKey&) override {}
        void discoverServices(const DeviceKey&, ServicesDone) override {}
        void discoverCharacteristics(const DeviceKey&, AttributeHandle, CharacteristicsDone) override {}
        void discoverDescriptors(const DeviceKey&, AttributeHandle, DescriptorsDone) override {}
        void readCharacteristic(const DeviceKey&, AttributeHandle, ValueDone) override {}
        void writeCharacteristic(const DeviceKey&, AttributeHandle, const std::string&, Done) override {}
        void writeWithoutResponse(const DeviceKey&, AttributeHandle, const std::string&, Done) override {}
        void setNotify(const DeviceKey&, AttributeHandle, bool, NotifyDelivery, Done) override {}
        void readDescriptor(const DeviceKey&, AttributeHandle, ValueDone) override {}
        void writeDescriptor(const DeviceKey&, AttributeHandle, const std::string&, Done) override {}
        unsigned mtu(const DeviceKey&) const override { return 23; }
        unsigned transmitQueueDepth() const override { return 20; }
        void close() override {
            std::lock_guard<std::mutex> lock(mutex_);  // waits for the state event if it runs
            closed_ = true;
        }

      private:
        const std::weak_ptr<RadioCentralEvents> events_;
        mutable std::mutex mutex_;  // guards the two fields below; held while the state event runs
        bool known_ = false;
        bool closed_ = false;
        dispatch_queue_t thread_;  // the session's thread
    };

  public:
    std::shared_ptr<RadioCentral> openCentral(std::weak_ptr<RadioCentralEvents> events) override {
        auto session = std::make_shared<Session>(std::move(events));
        session->start();
        return session;
    }
    CBManagerAuthorization authorization() const override { return CBManagerAuthorization::AllowedAlways; }
};

Radio& systemRadio() {
    // Never destroyed: managers held by static objects may outlive any destruction order.
#ifdef TAVRIN_WITH_BLUEZ
    static Radio* radio = bluez::makeRadio().release();
#else
    static Radio* radio = new NoRadio();
#endif
    return *radio;
}

// Whether the process's radio is the system's: set once, by choose().
std::atomic<bool> systemChosen{false};

Radio& choose() {
    // Set to a world file's path or to `default`: the simulated world (a file it cannot load gives one line
    // and a world whose radio is unsupported). Unset or empty: the system's radio.
    const char* world = std::getenv("TAVRIN_SIM_WORLD");
    if (world && *world) {
        return sim::World::get().radio();
    }
    systemChosen = true;
    return systemRadio();
}

}  // namespace

Radio& processRadio() {
    static Radio& chosen = choose();
    return chosen;
}

std::vector<RadioAdapter> processAdapters() {
    Radio& chosen = processRadio();
#ifdef TAVRIN_WITH_BLUEZ
    // Only once the system's radio is the chosen one: asking for it makes it.
    if (systemChosen) {
        auto listed = bluez::listAdapters();
        if (const char* wanted = std::getenv("TAVRIN_BLUEZ_ADAPTER"); wanted && *wanted) {
            std::string name = wanted;
            name = name.substr(name.rfind('/') + 1);
            listed.erase(std::remove_if(listed.begin(), listed.end(), [&](const auto& a) { return a.name != name; }),
                         listed.end());
        }
        if (listed.size() > 1) {
            // One radio per adapter, made on first use and kept, like the process's radio, for good.
            static std::mutex mutex;
            static auto* radios = new std::map<std::string, Radio*>;  // guarded by mutex
            std::lock_guard<std::mutex> lock(mutex);
            std::vector<RadioAdapter> adapters;
            for (const auto& a : listed) {
                Radio*& radio = (*radios)[a.name];
                if (!radio) {
                    radio = bluez::makeRadioFor(a.name).release();
                }
                adapters.push_back(RadioAdapter{a.name, a.address, radio});
            }
            return adapters;
        }
    }
#endif
    return {RadioAdapter{std::string(), std::string(), &chosen}};
}

}  // namespace platform::radio
