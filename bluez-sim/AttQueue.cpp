// The link's ATT queue: bluetoothd sends one request at a time on a link and the next only once the device has
// answered, so requests to one device are served in order, each taking its own time. A request left unanswered
// for the ATT timeout costs the link, and with it every request behind it.

#include <chrono>
#include <functional>
#include <string>
#include <utility>

#include "SimulatorInternal.h"

namespace bluezsim {

using Impl = BluezSimulator::Impl;

void Impl::attEnqueue(Device& d, std::function<bool(uint64_t token)> send) {
    d.att_queue.push_back(AttRequest{std::move(send)});
    if (d.att_pending == 0) {
        attNext(d);
    }
}

void Impl::attNext(Device& d) {
    while (d.att_pending == 0 && !d.att_queue.empty() && d.linked()) {
        AttRequest request = std::move(d.att_queue.front());
        d.att_queue.pop_front();
        const uint64_t token = ++next_id;
        d.att_pending = token;
        if (!request.send(token)) {
            d.att_pending = 0;  // no longer wanted: the next one goes instead
            continue;
        }
        after(std::chrono::milliseconds(setup.timers.att_timeout_ms),
              [key = d.key, epoch = d.epoch, token](Impl& self) { self.attTimedOut(key, epoch, token); });
    }
}

void Impl::onAttAnswer(const std::string& key, uint64_t epoch, uint64_t token,
                       const std::function<void(Device&)>& handle) {
    Device* d = find(key);
    if (d == nullptr || d->epoch != epoch || d->att_pending != token) {
        return;
    }
    d->att_pending = 0;
    handle(*d);
    d = find(key);
    if (d != nullptr && d->epoch == epoch && d->att_pending == 0) {
        attNext(*d);
    }
}

// bluetoothd's ATT timeout: the request fails, the link is shut down, and everything queued behind fails with it.
void Impl::attTimedOut(const std::string& key, uint64_t epoch, uint64_t token) {
    Device* d = find(key);
    if (d == nullptr || d->epoch != epoch || d->att_pending != token || !d->linked()) {
        return;
    }
    central->cancelConnection(key);
    dropLink(*d, false);
    if (!finishRemoval(*d)) {
        // The radio's confirmation is still to come; a Connect() meanwhile waits for it.
        d->link = Link::Cancelling;
    }
}

}  // namespace bluezsim
