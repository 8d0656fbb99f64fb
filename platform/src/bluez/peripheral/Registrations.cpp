// Services and advertisements registered with bluetoothd: one call out at a time, services first in the order
// added (so that their attribute handles follow that order), each answered once; everything registered again when
// bluetoothd comes back after it went, or the adapter after it was removed.

#include <algorithm>
#include <utility>

#include "PeripheralBus.h"
#include "PeripheralSession.h"

namespace platform::bluez::peripheral {

namespace {
// RegisterApplication has bluetoothd list the application's objects before it answers.
constexpr auto kRegisterLimit = std::chrono::milliseconds(10000);
constexpr auto kUnregisterLimit = std::chrono::milliseconds(1000);

NSError busError(const sdbus::Error& error) {
    return NSError{error.getName(), 0, error.getMessage()};
}
}  // namespace

void PeripheralSession::pump() {
    if (registering_ || closing_ || !ready()) {
        return;
    }
    for (const auto id : serviceOrder_) {
        auto& entry = services_.at(id);
        if (entry.stage == Stage::Waiting) {
            return registerService(id, entry);
        }
    }
    for (auto& [id, entry] : advertisements_) {
        if (entry.stage == Stage::Waiting) {
            return registerAdvertisement(id, entry);
        }
    }
}

void PeripheralSession::registerService(radio::LocalAttributeId id, ServiceEntry& entry) {
    if (!entry.app) {
        try {
            entry.app =
                std::make_unique<GattApplication>(loop_->connection(), objectPath("app"), entry.description, *this);
        } catch (const sdbus::Error& e) {
            const NSError error = busError(e);
            radio::Done done = std::move(entry.done);
            services_.erase(id);
            serviceOrder_.erase(std::remove(serviceOrder_.begin(), serviceOrder_.end(), id), serviceOrder_.end());
            if (done) {
                contain("in a BlueZ peripheral completion", [&] { done(&error); });
            }
            return pump();
        }
    }
    entry.stage = Stage::Registering;
    registering_ = true;
    const uint64_t call = ++registration_;
    const sdbus::ObjectPath root(entry.app->root());
    callDaemon(
        owner_, adapterPath_, "org.bluez.GattManager1", "RegisterApplication",
        [&root](sdbus::MethodCall& m) { m << root << Variants{}; }, kRegisterLimit,
        [this, id, call](sdbus::MethodReply*, const sdbus::Error* error) {
            if (call != registration_) {
                return;  // made before the adapter went: what is out now is another call
            }
            registering_ = false;
            auto it = services_.find(id);
            if (it == services_.end() || it->second.stage != Stage::Registering) {
                return pump();  // removed meanwhile
            }
            ServiceEntry& e = it->second;
            radio::Done done = std::move(e.done);
            e.done = nullptr;
            if (error) {
                const NSError failure = busError(*error);
                if (!done) {
                    NSLog("BlueZ peripheral: %@ refused a service again: %@", adapter_, failure.description);
                }
                services_.erase(it);
                serviceOrder_.erase(std::remove(serviceOrder_.begin(), serviceOrder_.end(), id), serviceOrder_.end());
                if (done) {
                    contain("in a BlueZ peripheral completion", [&] { done(&failure); });
                }
            } else {
                e.stage = Stage::Registered;
                if (done) {
                    contain("in a BlueZ peripheral completion", [&] { done(nullptr); });
                }
            }
            pump();
        });
}

void PeripheralSession::registerAdvertisement(radio::AdvertisementId id, AdvertisementEntry& entry) {
    if (!entry.object) {
        try {
            entry.object = std::make_unique<Advertisement>(
                loop_->connection(), objectPath("advertisement"), entry.data,
                [this](const sdbus::MethodCall& call) { return fromDaemon(call); }, [this, id] { released(id); });
        } catch (const sdbus::Error& e) {
            const NSError error = busError(e);
            radio::Done done = std::move(entry.done);
            advertisements_.erase(id);
            if (done) {
                contain("in a BlueZ peripheral completion", [&] { done(&error); });
            }
            return pump();
        }
    }
    entry.stage = Stage::Registering;
    registering_ = true;
    const uint64_t call = ++registration_;
    const sdbus::ObjectPath path(entry.object->path());
    const Advertisement* object = entry.object.get();
    callDaemon(
        owner_, adapterPath_, "org.bluez.LEAdvertisingManager1", "RegisterAdvertisement",
        [&path](sdbus::MethodCall& m) { m << path << Variants{}; }, kRegisterLimit,
        [this, id, object, call](sdbus::MethodReply*, const sdbus::Error* error) {
            if (call != registration_) {
                return;  // made before the adapter went: what is out now is another call
            }
            registering_ = false;
            auto it = advertisements_.find(id);
            if (it == advertisements_.end() || it->second.object.get() != object ||
                it->second.stage != Stage::Registering) {
                return pump();  // stopped or replaced meanwhile
            }
            AdvertisementEntry& e = it->second;
            radio::Done done = std::move(e.done);
            e.done = nullptr;
            if (error) {
                const NSError failure = busError(*error);
                if (!done) {
                    NSLog("BlueZ peripheral: %@ refused an advertisement again: %@", adapter_, failure.description);
                }
                advertisements_.erase(it);
                if (done) {
                    contain("in a BlueZ peripheral completion", [&] { done(&failure); });
                }
            } else {
                e.stage = Stage::Registered;
                if (done) {
                    contain("in a BlueZ peripheral completion", [&] { done(nullptr); });
                }
            }
            pump();
        });
}

void PeripheralSession::released(radio::AdvertisementId id) {
    auto it = advertisements_.find(id);
    if (it == advertisements_.end()) {
        return;
    }
    // Given back by bluetoothd (it is shutting down, or the adapter goes): registered again when it is back.
    it->second.stage = Stage::Released;
    emit([id](radio::RadioPeripheralEvents& l) { l.peripheralAdvertisingStopped(id); });
}

// bluetoothd or the adapter went with everything registered: all of it waits for their return. Subscriptions end
// with the links.
void PeripheralSession::registrationsLost() {
    registering_ = false;
    ++registration_;
    for (auto& [id, entry] : services_) {
        entry.stage = Stage::Waiting;
        if (entry.app) {
            for (const auto characteristic : entry.app->dropSubscriptions()) {
                notifying(characteristic, false);
            }
        }
    }
    for (auto& [id, entry] : advertisements_) {
        entry.stage = Stage::Waiting;
    }
}

void PeripheralSession::unregisterAll(std::function<void()> finished) {
    auto left = std::make_shared<size_t>(1);
    auto one = [left, finished = std::move(finished)] {
        if (--*left == 0) {
            finished();
        }
    };
    if (ready()) {
        for (auto& [id, entry] : advertisements_) {
            if (entry.object && entry.stage == Stage::Registered) {
                ++*left;
                const sdbus::ObjectPath path(entry.object->path());
                callDaemon(
                    owner_, adapterPath_, "org.bluez.LEAdvertisingManager1", "UnregisterAdvertisement",
                    [&path](sdbus::MethodCall& m) { m << path; }, kUnregisterLimit,
                    [one](sdbus::MethodReply*, const sdbus::Error*) { one(); });
            }
        }
        for (auto& [id, entry] : services_) {
            if (entry.app && entry.stage == Stage::Registered) {
                ++*left;
                const sdbus::ObjectPath root(entry.app->root());
                callDaemon(
                    owner_, adapterPath_, "org.bluez.GattManager1", "UnregisterApplication",
                    [&root](sdbus::MethodCall& m) { m << root; }, kUnregisterLimit,
                    [one](sdbus::MethodReply*, const sdbus::Error*) { one(); });
            }
        }
    }
    one();
}

}  // namespace platform::bluez::peripheral
