// Notifications: the notify session each characteristic has on bluetoothd, shared by the centrals subscribed
// to it; which Value changes are notifications (not a read's own answer, not another client's subscription);
// and their way to the subscribed centrals' outboxes.

#include "Core.h"

namespace platform::bluez {

namespace {
// The values a device sends before it answers a subscription are kept up to this many.
constexpr size_t kEarlyValues = 64;
}  // namespace

// ---- Subscriptions ----

void Core::setNotify(uint64_t id, const std::string& address, AttributeHandle handle, bool enabled,
                     radio::NotifyDelivery delivery, Done done) {
    const AttributeObject* attribute = linkedAttribute(id, address, handle, AttributeKind::Characteristic);
    if (!attribute) {
        const NSError error = linkUp(id, address) ? unknownAttributeError() : notConnectedError();
        complete(id, [&] { done(&error); });
        return;
    }
    const std::string path = attribute->path;
    auto& entry = runtime_[address].notify[handle];
    if (enabled) {
        if (entry.active.count(id)) {
            complete(id, [&] { done(nullptr); });
        } else if (entry.startInFlight) {
            entry.starting.emplace_back(id, std::move(done));
        } else if (!entry.active.empty()) {
            entry.active.insert(id);  // joins the session there is, whichever way its values come
            complete(id, [&] { done(nullptr); });
        } else {
            entry.startInFlight = true;
            entry.starting.emplace_back(id, std::move(done));
            // The callers wait their own limit; the call waits for bluetoothd's answer, however late, since a
            // session it starts after they gave up must be stopped.
            entry.startTimer =
                loop_.after(limitsFor(id, address).request, [address, handle](Core& core) REQUIRES(core.mutex_) {
                    const auto rt = core.runtime_.find(address);
                    if (rt != core.runtime_.end()) {
                        if (const auto e = rt->second.notify.find(handle); e != rt->second.notify.end()) {
                            e->second.starting.clear();  // they hear nothing: their own limit has ended their wait
                            e->second.startTimer = 0;
                        }
                    }
                });
            // A socket of this process's own where asked for and bluetoothd offers one (NotifyAcquired exists).
            if (delivery == radio::NotifyDelivery::Exclusive && attribute->notifyAcquired) {
                acquireNotify(address, handle, path);
            } else {
                startNotify(address, handle, path);
            }
        }
        return;
    }
    const bool wasActive = entry.active.erase(id) != 0;
    if (!wasActive || !entry.active.empty() || entry.startInFlight) {
        complete(id, [&] { done(nullptr); });
        return;
    }
    if (entry.exclusive) {
        // Closing the socket ends the session: bluetoothd writes the client configuration off when it was the last.
        stopNotifyQuietly(address, handle);
        complete(id, [&] { done(nullptr); });
        return;
    }
    callBluez(path, kCharacteristicInterface, "StopNotify", {}, limitsFor(id, address).request,
              [id, done = std::move(done)](Core& core, BusMessage*, const NSError* error) REQUIRES(core.mutex_) {
                  if (error && isTimeout(*error)) {
                      return;  // the caller's own limit has already ended its wait
                  }
                  // No session left means it is off: what was asked.
                  const bool off = !error || error->description == "No notify session started";
                  core.complete(id, [&] { done(off ? nullptr : error); });
              });
}

void Core::notifyStarted(uint64_t generation, const std::string& address, AttributeHandle handle,
                         const NSError* error) {
    if (generation != generation_) {
        return;
    }
    const auto rt = runtime_.find(address);
    if (rt == runtime_.end()) {
        return;
    }
    const auto it = rt->second.notify.find(handle);
    if (it == rt->second.notify.end()) {
        return;
    }
    auto& entry = it->second;
    entry.startInFlight = false;
    loop_.cancel(entry.startTimer);
    entry.startTimer = 0;
    auto starting = std::move(entry.starting);
    entry.starting.clear();
    // A timeout comes after the callers' own limits ended their waits: answering it would fail whatever they
    // asked next of this characteristic, so they hear nothing.
    const bool timedOut = error && isTimeout(*error);
    for (auto& waiting : starting) {
        if (!error) {
            entry.active.insert(waiting.first);
        }
        if (!timedOut) {
            complete(waiting.first, [&] { waiting.second(error); });
        }
    }
    auto early = std::move(entry.early);
    entry.early.clear();
    if (!error && entry.active.empty()) {
        stopNotifyQuietly(address, handle);  // everyone left while it started
    } else if (!error) {
        for (const std::string& value : early) {
            deliverNotification(address, handle, value);
        }
    }
}

// bluetoothd keeps notify sessions across disconnections; the platform ends subscriptions with the link.
void Core::endSubscriptions(uint64_t id, const std::string& address) {
    const auto rt = runtime_.find(address);
    if (rt == runtime_.end()) {
        return;
    }
    const NSError abandoned = lostError("The link went down.");
    for (auto& [handle, entry] : rt->second.notify) {
        const bool wasActive = entry.active.erase(id) != 0;
        std::vector<std::pair<uint64_t, Done>> left;
        for (auto& waiting : entry.starting) {
            if (waiting.first == id) {
                complete(id, [&] { waiting.second(&abandoned); });
            } else {
                left.push_back(std::move(waiting));
            }
        }
        entry.starting = std::move(left);
        if (wasActive && entry.active.empty() && !entry.startInFlight) {
            stopNotifyQuietly(address, handle);
        }
    }
}

void Core::stopNotifyQuietly(const std::string& address, AttributeHandle handle) {
    if (const auto rt = runtime_.find(address); rt != runtime_.end()) {
        const auto entry = rt->second.notify.find(handle);
        if (entry != rt->second.notify.end() && entry->second.exclusive) {
            entry->second.socket.reset();
            entry->second.exclusive = false;
            entry->second.serial = ++nextCall_;  // a check of the socket's end is stale now
            return;
        }
    }
    if (const AttributeObject* a = attributeByHandle(address, handle, AttributeKind::Characteristic)) {
        callBluez(a->path, kCharacteristicInterface, "StopNotify", {}, kRequestTimeout,
                  [](Core&, BusMessage*, const NSError*) {});
    }
}

// ---- Which Value changes are notifications ----

void Core::valueChanged(const AttributeObject& characteristic, const std::string& value) {
    const auto device = devices_.find(characteristic.device);
    if (device == devices_.end()) {
        return;
    }
    const std::string& address = device->second.address;
    const auto rt = runtime_.find(address);
    if (rt == runtime_.end()) {
        return;
    }
    const auto entry = rt->second.notify.find(characteristic.handle);
    if (entry == rt->second.notify.end() || entry->second.exclusive) {
        return;  // a read's answer; a socket's values come on the socket
    }
    const bool subscribed = !entry->second.active.empty();
    if (!subscribed && !entry->second.startInFlight) {
        return;  // a read's answer, or another client's subscription
    }
    const auto watch = rt->second.reads.find(characteristic.handle);
    if (watch != rt->second.reads.end() && watch->second.pending > 0) {
        // A read's own Value change comes just before its reply: decide then.
        watch->second.held.push_back(value);
        return;
    }
    if (!subscribed) {
        if (entry->second.early.size() < kEarlyValues) {
            entry->second.early.push_back(value);
        }
        return;
    }
    deliverNotification(address, characteristic.handle, value);
}

// A read ended: the Value changes held while it ran are notifications, except the last one when it equals
// `value`, the read's own.
void Core::readSettled(const Request& request, const std::optional<std::string>& value) {
    const auto rt = runtime_.find(request.address);
    if (rt == runtime_.end()) {
        return;
    }
    auto& watch = rt->second.reads[request.handle];
    if (watch.pending > 0) {
        --watch.pending;
    }
    auto held = std::move(watch.held);
    watch.held.clear();
    if (value && !held.empty() && held.back() == *value) {
        held.pop_back();
    }
    const auto entry = rt->second.notify.find(request.handle);
    const bool early = entry != rt->second.notify.end() && entry->second.active.empty() && entry->second.startInFlight;
    for (auto& notified : held) {
        if (!early) {
            deliverNotification(request.address, request.handle, notified);
        } else if (entry->second.early.size() < kEarlyValues) {
            entry->second.early.push_back(std::move(notified));  // given once the subscription is answered
        }
    }
}

void Core::deliverNotification(const std::string& address, AttributeHandle handle, const std::string& value) {
    const auto rt = runtime_.find(address);
    if (rt == runtime_.end()) {
        return;
    }
    const auto entry = rt->second.notify.find(handle);
    if (entry == rt->second.notify.end()) {
        return;
    }
    // Delivering only queues for the outboxes, which the pass flushes: the set stays as it is.
    for (const uint64_t id : entry->second.active) {
        const auto c = centrals_.find(id);
        if (c == centrals_.end()) {
            continue;
        }
        const auto link = c->second.links.find(address);
        if (link != c->second.links.end() && link->second.phase == Phase::Connected) {
            c->second.outbox->notified(address, handle, value);
            passQueued_ = true;
        }
    }
}

}  // namespace platform::bluez
