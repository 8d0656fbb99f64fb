// The BlueZ radio as the façade sees it: a central per central manager, each a handle on the one core, and the
// process's radio stopped before the program's statics go.

#include "BluezRadio.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <mutex>

#include "Core.h"

namespace platform::bluez {

namespace {

// The RadioCentral handed to the façade: each request goes to the core's loop as a task, except a read or write
// the caller's thread may send itself (Core::readNow, Core::writeNow).
class BluezCentral final : public radio::RadioCentral {
  public:
    BluezCentral(std::shared_ptr<Core> core, uint64_t id, std::shared_ptr<CentralOutbox> outbox)
        : core_(std::move(core)), id_(id), outbox_(std::move(outbox)) {}

    ~BluezCentral() override { BluezCentral::close(); }

    CBManagerState state() const override { return core_->state(); }

    void startFilteredScan(const std::optional<std::vector<CBUUID>>& services, bool duplicates,
                           std::optional<int> rssiFloor) override {
        outbox_->setScanning(true);
        core_->post([id = id_, services, duplicates, rssiFloor](Core& c)
                        REQUIRES(c.mutex_) { c.startScan(id, services, duplicates, rssiFloor); });
    }
    void startScan(const std::optional<std::vector<CBUUID>>& services, bool duplicates) override {
        startFilteredScan(services, duplicates, std::nullopt);
    }

    void stopScan() override {
        outbox_->setScanning(false);
        core_->post([id = id_](Core& c) REQUIRES(c.mutex_) { c.stopScan(id); });
    }

    void connect(const DeviceKey& device) override {
        core_->post([id = id_, device](Core& c) REQUIRES(c.mutex_) { c.connect(id, device); });
    }

    void cancelConnection(const DeviceKey& device) override {
        core_->post([id = id_, device](Core& c) REQUIRES(c.mutex_) { c.cancelConnection(id, device); });
    }

    void discoverServices(const DeviceKey& device, ServicesDone done) override {
        core_->post([id = id_, device, done = std::move(done)](Core& c)
                        REQUIRES(c.mutex_) mutable { c.discoverServices(id, device, std::move(done)); });
    }

    void discoverCharacteristics(const DeviceKey& device, AttributeHandle service, CharacteristicsDone done) override {
        core_->post([id = id_, device, service, done = std::move(done)](Core& c) REQUIRES(c.mutex_) mutable {
            c.discoverCharacteristics(id, device, service, std::move(done));
        });
    }

    void discoverDescriptors(const DeviceKey& device, AttributeHandle characteristic, DescriptorsDone done) override {
        core_->post([id = id_, device, characteristic, done = std::move(done)](Core& c) REQUIRES(c.mutex_) mutable {
            c.discoverDescriptors(id, device, characteristic, std::move(done));
        });
    }

    void readCharacteristic(const DeviceKey& device, AttributeHandle characteristic, ValueDone done) override {
        if (core_->readNow(id_, device, characteristic, done)) {
            return;
        }
        core_->post([id = id_, device, characteristic, done = std::move(done)](Core& c)
                        REQUIRES(c.mutex_) mutable { c.read(id, device, characteristic, false, std::move(done)); });
    }

    void writeCharacteristic(const DeviceKey& device, AttributeHandle characteristic, const std::string& value,
                             Done done) override {
        if (core_->writeNow(id_, device, characteristic, "request", value, done)) {
            return;
        }
        core_->post([id = id_, device, characteristic, value, done = std::move(done)](Core& c)
                        REQUIRES(c.mutex_) mutable {
                            c.write(id, device, characteristic, false, "request", value, std::move(done));
                        });
    }

    void writeWithoutResponse(const DeviceKey& device, AttributeHandle characteristic, const std::string& value,
                              Done sent) override {
        // bluetoothd answers a command write once it is queued for the link.
        if (core_->writeNow(id_, device, characteristic, "command", value, sent)) {
            return;
        }
        core_->post([id = id_, device, characteristic, value, sent = std::move(sent)](Core& c)
                        REQUIRES(c.mutex_) mutable {
                            c.write(id, device, characteristic, false, "command", value, std::move(sent));
                        });
    }

    void setNotify(const DeviceKey& device, AttributeHandle characteristic, bool enabled,
                   radio::NotifyDelivery delivery, Done done) override {
        core_->post([id = id_, device, characteristic, enabled, delivery, done = std::move(done)](Core& c)
                        REQUIRES(c.mutex_) mutable {
                            c.setNotify(id, device, characteristic, enabled, delivery, std::move(done));
                        });
    }

    void readDescriptor(const DeviceKey& device, AttributeHandle descriptor, ValueDone done) override {
        core_->post([id = id_, device, descriptor, done = std::move(done)](Core& c)
                        REQUIRES(c.mutex_) mutable { c.read(id, device, descriptor, true, std::move(done)); });
    }

    void writeDescriptor(const DeviceKey& device, AttributeHandle descriptor, const std::string& value,
                         Done done) override {
        core_->post([id = id_, device, descriptor, value, done = std::move(done)](Core& c) REQUIRES(c.mutex_) mutable {
            c.write(id, device, descriptor, true, nullptr, value, std::move(done));
        });
    }

    void setLinkLimits(const DeviceKey& device, const radio::LinkLimits& limits) override {
        core_->post([id = id_, device, limits](Core& c) REQUIRES(c.mutex_) { c.setLinkLimits(id, device, limits); });
    }

    unsigned mtu(const DeviceKey& device) const override {
        return outbox_->isConnected(device) ? core_->mtu(device) : kDefaultMtu;
    }

    unsigned transmitQueueDepth() const override { return kTransmitQueueDepth; }

    // Pairing: requests go to the loop; the two queries wait for it briefly (they are asked from a caller's
    // thread, never from the radio's own).
    bool pairingSupported(const DeviceKey& /*device*/) const override { return true; }

    bool isPaired(const DeviceKey& device) const override {
        // ask() runs the query on the loop, under its lock.
        const auto paired = ask<std::optional<bool>>(
            [device](Core& c) NO_THREAD_SAFETY_ANALYSIS { return c.devicePaired(device); }, std::nullopt);
        if (!paired) {
            throw NSException("BluezRadioUnavailable", "bluetoothd did not tell whether the device is paired");
        }
        return *paired;
    }

    void pair(const DeviceKey& device, std::shared_ptr<radio::PairingAgent> /*agent*/, Done done) override {
        // bluetoothd asks the agent this connection registered (the session's), else its default one.
        core_->post([id = id_, device, done = std::move(done)](Core& c)
                        REQUIRES(c.mutex_) mutable { c.pair(id, device, std::move(done)); });
    }

    void cancelPairing(const DeviceKey& device) override {
        core_->post([device](Core& c) REQUIRES(c.mutex_) { c.cancelPairing(device); });
    }

    void unpair(const DeviceKey& device, Done done) override {
        core_->post([id = id_, device, done = std::move(done)](Core& c)
                        REQUIRES(c.mutex_) mutable { c.unpair(id, device, std::move(done)); });
    }

    void setPairingAgent(std::shared_ptr<radio::PairingAgent> agent) override {
        core_->post([id = id_, agent = std::move(agent)](Core& c) REQUIRES(c.mutex_) { c.setAgent(id, agent); });
    }

    void bondedDevices(radio::BondedDone done) override {
        core_->post([id = id_, done = std::move(done)](Core& c)
                        REQUIRES(c.mutex_) mutable { c.bondedDevices(id, std::move(done)); });
    }

    std::optional<radio::AddressKind> addressKind(const DeviceKey& device) const override {
        return ask<std::optional<radio::AddressKind>>(
            [device](Core& c) NO_THREAD_SAFETY_ANALYSIS { return c.addressKind(device); }, std::nullopt);
    }

    void close() override {
        if (outbox_->close()) {
            core_->post([id = id_](Core& c) REQUIRES(c.mutex_) { c.closeCentral(id); });
        }
    }

  private:
    // Runs `query` on the loop and waits up to 2 s for its answer; `fallback` when none comes.
    template <typename T, typename Query>
    T ask(Query query, T fallback) const {
        auto promise = std::make_shared<std::promise<T>>();
        auto answer = promise->get_future();
        core_->post([promise, query = std::move(query)](Core& c) REQUIRES(c.mutex_) { promise->set_value(query(c)); });
        try {
            if (answer.wait_for(std::chrono::seconds(2)) == std::future_status::ready) {
                return answer.get();
            }
        } catch (const std::future_error&) {
            // The loop stopped and dropped the task.
        }
        return fallback;
    }

    const std::shared_ptr<Core> core_;
    const uint64_t id_;
    const std::shared_ptr<CentralOutbox> outbox_;
};

class BluezRadio final : public radio::Radio {
  public:
    BluezRadio(BusConnector connector, const std::string& adapter)
        : core_(std::make_shared<Core>(std::move(connector), adapter)) {
        core_->start(core_);
    }
    ~BluezRadio() override { core_->stop(); }

    std::shared_ptr<radio::RadioCentral> openCentral(std::weak_ptr<radio::RadioCentralEvents> events) override {
        auto outbox = std::make_shared<CentralOutbox>(std::move(events));
        const uint64_t id = core_->newCentralId();
        core_->post([id, outbox](Core& c) REQUIRES(c.mutex_) { c.openCentral(id, outbox); });
        return std::make_shared<BluezCentral>(core_, id, outbox);
    }

    CBManagerAuthorization authorization() const override { return core_->authorization(); }

    const std::shared_ptr<Core>& core() const { return core_; }

  private:
    const std::shared_ptr<Core> core_;
};

// The process's radio is never destroyed, so its loop would still run while the program's statics are destroyed
// at exit. Every core is stopped first, from an exit hook; what the loop uses is constructed before the hook is
// registered, so it is destroyed only after the hook has run. Immortal, like the hook.
std::mutex& coresMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}
std::vector<std::weak_ptr<Core>>& cores() {  // guarded by coresMutex()
    static auto* all = new std::vector<std::weak_ptr<Core>>;
    return *all;
}

void stopCoresAtExit() {
    std::vector<std::shared_ptr<Core>> alive;
    {
        std::lock_guard<std::mutex> lock(coresMutex());
        for (const auto& weak : cores()) {
            if (auto core = weak.lock()) {
                alive.push_back(std::move(core));
            }
        }
    }
    for (const auto& core : alive) {
        core->stop();
    }
}

}  // namespace

std::unique_ptr<radio::Radio> makeRadio(BusConnector connector, const std::string& adapter) {
    static std::once_flag hooked;
    std::call_once(hooked, [] {
        // sdbus-c++ builds every Variant from a static of its own: make it before the hook.
        [[maybe_unused]] const sdbus::Variant warmUp;
        std::atexit(stopCoresAtExit);
    });
    auto radio = std::make_unique<BluezRadio>(std::move(connector), adapter);
    std::lock_guard<std::mutex> lock(coresMutex());
    auto& all = cores();
    all.erase(std::remove_if(all.begin(), all.end(), [](const auto& weak) { return weak.expired(); }), all.end());
    all.push_back(radio->core());
    return radio;
}

std::unique_ptr<radio::Radio> makeRadio(BusConnector connector) {
    return makeRadio(std::move(connector), std::string());
}

std::unique_ptr<radio::Radio> makeRadio() {
    return makeRadio(connectSystemBus);
}

std::unique_ptr<radio::Radio> makeRadioFor(const std::string& adapter) {
    return makeRadio(connectSystemBus, adapter);
}

}  // namespace platform::bluez
