// A BlueZ central's outbox: what its listener hears, in the order the loop made it, and nothing once closed.

#include "CentralOutbox.h"

namespace platform::bluez {

void CentralOutbox::notified(const std::string& device, radio::AttributeHandle handle, const std::string& value) {
    Pending& pending = queued_.emplace_back();
    pending.device = device;
    pending.handle = handle;
    pending.value = value;
}

void CentralOutbox::flush() {
    if (queued_.empty()) {
        return;
    }
    RecursiveLock lock(deliveryMutex_);
    deliverQueuedLocked();
}

bool CentralOutbox::close() {
    RecursiveLock lock(deliveryMutex_);
    const bool wasOpen = !closed_;
    closed_ = true;
    scanning_ = false;
    return wasOpen;
}

void CentralOutbox::setScanning(bool on) {
    RecursiveLock lock(deliveryMutex_);
    scanning_ = on;
}

void CentralOutbox::setConnected(const std::string& device, bool on) {
    MutexLock lock(connectedMutex_);
    if (on) {
        connected_.insert(device);
    } else {
        connected_.erase(device);
    }
}

bool CentralOutbox::isConnected(const std::string& device) const {
    MutexLock lock(connectedMutex_);
    return connected_.count(device) != 0;
}

// On the loop thread. The scanning and closed flags are those of the moment of delivery, as they would be for a
// report delivered alone. Runs of reports, and runs of notifications, go as one call each, in their turn.
void CentralOutbox::deliverQueuedLocked() {
    if (queued_.empty()) {
        return;
    }
    // The items being delivered are apart from the queue, which stays usable meanwhile.
    delivering_.swap(queued_);
    const auto listener = closed_ ? nullptr : listener_.lock();
    if (listener) {
        const auto sendRuns = [&]() REQUIRES(deliveryMutex_) {
            if (!sightings_.empty()) {
                if (scanning_) {
                    contain("in a BlueZ radio event", [&] { listener->radioDiscovered(sightings_); });
                }
                sightings_.clear();
            }
            if (!notices_.empty()) {
                contain("in a BlueZ radio event", [&] { listener->radioNotifiedTogether(notices_); });
                notices_.clear();
            }
        };
        // Lent as plain pointers; delivering_ keeps the items alive for the calls.
        for (const Pending& item : delivering_) {
            if (item.report) {
                if (!notices_.empty()) {
                    sendRuns();
                }
                sightings_.push_back(radio::Sighting{item.report.get(), nullptr});
            } else {
                if (!sightings_.empty()) {
                    sendRuns();
                }
                notices_.push_back(radio::Notification{&item.device, item.handle, &item.value});
            }
        }
        sendRuns();
    }
    delivering_.clear();  // keeps its capacity for the next pass
}

}  // namespace platform::bluez
