#pragma once
// The part of a BlueZ central that other threads touch: its listener, the flags that decide whether an event may
// still reach it, the reports and notifications of the loop's pass waiting to go out together, and the devices
// it is connected to (read by mtu() on any thread).

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "../ThreadSafety.h"
#include "platform/Radio.h"

namespace platform::bluez {

class CentralOutbox {
  public:
    explicit CentralOutbox(std::weak_ptr<radio::RadioCentralEvents> listener) : listener_(std::move(listener)) {}

    // Events and completions come after the reports and notifications queued before them.
    template <typename F>
    void event(F&& deliver) EXCLUDES(deliveryMutex_) {
        RecursiveLock lock(deliveryMutex_);
        deliverQueuedLocked();
        if (closed_) {
            return;
        }
        if (const auto listener = listener_.lock()) {
            contain("in a BlueZ radio event", [&] { deliver(*listener); });
        }
    }

    template <typename F>
    void completion(F&& complete) EXCLUDES(deliveryMutex_) {
        RecursiveLock lock(deliveryMutex_);
        deliverQueuedLocked();
        if (!closed_) {
            contain("in a BlueZ radio completion", complete);
        }
    }

    // Loop thread: queue a report or a notification for the next flush(), which delivers those of one loop pass
    // together, so that the listener's queue is woken once for them, not once each.
    void discovered(const radio::AdvertisementReportPtr& report) { queued_.push_back(Pending{report, {}, 0, {}}); }
    void notified(const std::string& device, radio::AttributeHandle handle, const std::string& value);
    void flush() EXCLUDES(deliveryMutex_);

    // Returns whether this call closed it. Waits for an event running on another thread.
    bool close() EXCLUDES(deliveryMutex_);
    void setScanning(bool on) EXCLUDES(deliveryMutex_);
    void setConnected(const std::string& device, bool on) EXCLUDES(connectedMutex_);
    bool isConnected(const std::string& device) const EXCLUDES(connectedMutex_);

  private:
    void deliverQueuedLocked() REQUIRES(deliveryMutex_);

    // A report, or else a notification.
    struct Pending {
        radio::AdvertisementReportPtr report;
        std::string device;
        radio::AttributeHandle handle = 0;
        std::string value;
    };

    const std::weak_ptr<radio::RadioCentralEvents> listener_;
    // Held while an event or completion of this central runs, so that close() and stopScan() wait for a delivery
    // under way and nothing is delivered after they return.
    RecursiveMutex deliveryMutex_;
    bool closed_ GUARDED_BY(deliveryMutex_) = false;
    bool scanning_ GUARDED_BY(deliveryMutex_) = false;
    // The loop thread's alone: the reports and notifications of the current pass, the items being delivered,
    // and the run of reports or notifications being lent.
    std::vector<Pending> queued_;
    std::vector<Pending> delivering_;
    std::vector<radio::Sighting> sightings_;
    std::vector<radio::Notification> notices_;
    mutable Mutex connectedMutex_;
    std::set<std::string> connected_ GUARDED_BY(connectedMutex_);
};

}  // namespace platform::bluez
