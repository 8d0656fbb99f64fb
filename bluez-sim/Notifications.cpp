// Notifications: a notify session per client and characteristic, each registered on the link as bluetoothd
// registers it (at StartNotify, and again at every connection), the device subscribed while any registration
// lasts, and each notification sent as one Value signal per registered session.

#include <string>
#include <vector>

#include "SimulatorInternal.h"

namespace bluezsim {

using Impl = BluezSimulator::Impl;

size_t Impl::Characteristic::registered() const {
    size_t n = 0;
    for (const auto& [client, on_link] : sessions) {
        n += on_link ? 1 : 0;
    }
    return n;
}

void Impl::startNotify(Device& d, Characteristic& c, sdbus::MethodCall& call) {
    if (d.disconnect_timer != 0) {
        return replyError(call, bluezError("NotConnected", "Not Connected"));
    }
    if (c.notify_acquired) {
        return replyError(call, bluezError("NotPermitted", "Notify acquired"));
    }
    if (!c.subscribable()) {
        return replyError(call, notSupported());
    }
    const std::string client = call.getSender();
    auto it = c.sessions.find(client);
    if (it != c.sessions.end()) {
        // Registered: done already, or on its way; unregistered (made while disconnected): waiting for a link.
        return it->second ? replyOk(call) : replyError(call, inProgress());
    }
    const bool linked = d.linked();
    c.sessions[client] = linked;
    if (!linked) {
        return replyOk(call);  // registered once a link comes
    }
    if (c.subscribed) {
        // The device notifies already: this registration is complete at once.
        if (!c.notifying) {
            c.notifying = true;
            c.node->set(kCharacteristic, "Notifying", true);
        }
        return replyOk(call);
    }
    c.start_calls.push_back(call);
    if (!c.subscribing) {
        subscribe(d, c);
    }
}

// Writes the client configuration through the link's queue.
void Impl::subscribe(Device& d, Characteristic& c) {
    c.subscribing = true;
    const uint64_t id = ++next_id;
    c.notify_op = id;
    attEnqueue(d, [this, key = d.key, epoch = d.epoch, handle = c.handle, id](uint64_t token) {
        Device* dev = nullptr;
        Characteristic* ch = attributeOf<Characteristic>(key, epoch, handle, dev);
        if (ch == nullptr || ch->notify_op != id) {
            return false;
        }
        central->setNotify(key, handle, true, [this, key, epoch, handle, id, token](const NSError* error) {
            loop.post([this, key, epoch, handle, id, token, error = copyError(error)] {
                onAttAnswer(key, epoch, token, [&](Device&) {
                    Device* owner = nullptr;
                    Characteristic* target = attributeOf<Characteristic>(key, epoch, handle, owner);
                    if (target != nullptr && target->notify_op == id) {
                        onSubscribed(*owner, *target, error);
                    }
                });
            });
        });
        return true;
    });
}

void Impl::onSubscribed(Device& d, Characteristic& c, const std::optional<NSError>& error) {
    c.subscribing = false;
    auto calls = std::move(c.start_calls);
    c.start_calls.clear();
    if (error) {
        // Every registration waiting for this write fails and its session ends.
        const sdbus::Error e = requestError(*error);
        for (auto it = c.sessions.begin(); it != c.sessions.end();) {
            it = it->second ? c.sessions.erase(it) : std::next(it);
        }
        for (const sdbus::MethodCall& call : calls) {
            replyError(call, e);
        }
        // bluetoothd drops AcquireNotify's registration and never answers its call; the characteristic stays
        // acquired until a StopNotify.
        if (c.notify_acquired && c.notify_acquired->call) {
            c.notify_acquired->call.reset();
            c.notify_acquired->registered = false;
        }
        return;
    }
    c.subscribed = true;
    if (c.registered() == 0 && !c.acquiredRegistration()) {
        // Every session ended while the subscription was on its way.
        return unsubscribe(d, c);
    }
    // An acquired socket's registration leaves Notifying as it is.
    if (c.registered() != 0 && !c.notifying) {
        c.notifying = true;
        c.node->set(kCharacteristic, "Notifying", true);
    }
    for (const sdbus::MethodCall& call : calls) {
        replyOk(call);
    }
    if (c.acquiredRegistration() && c.notify_acquired->call && !c.notify_acquired->confirmed) {
        c.notify_acquired->confirmed = true;
        if (d.services_resolved) {
            makeSocket(d, c, false);
        }
    }
}

void Impl::stopNotify(Device& d, Characteristic& c, sdbus::MethodCall& call) {
    // Anyone's StopNotify ends an acquired socket (and drops an AcquireNotify still waiting, unanswered).
    if (c.notify_acquired) {
        releaseNotify(d, c);
        return replyOk(call);
    }
    const std::string client = call.getSender();
    if (c.sessions.count(client) == 0) {
        return replyError(call, failed("No notify session started"));
    }
    endNotifySession(d, c, client);
    replyOk(call);
}

// A session ends (StopNotify, or its client left the bus). Notifying turns false once no session is registered on
// a link, so also at once while disconnected, whatever sessions remain; the device is unsubscribed once no
// registration is left. A StartNotify of the session still waiting is never answered, as bluetoothd drops it.
void Impl::endNotifySession(Device& d, Characteristic& c, const std::string& client) {
    c.sessions.erase(client);
    for (auto it = c.start_calls.begin(); it != c.start_calls.end();) {
        it = it->getSender() == client ? c.start_calls.erase(it) : std::next(it);
    }
    if (c.registered() != 0) {
        return;
    }
    if (c.notifying) {
        c.notifying = false;
        c.node->set(kCharacteristic, "Notifying", false);
    }
    if ((c.subscribed || c.subscribing) && !c.acquiredRegistration()) {
        unsubscribe(d, c);
    }
}

void Impl::unsubscribe(Device& d, Characteristic& c) {
    c.subscribed = false;
    c.subscribing = false;
    c.notify_op = ++next_id;  // a subscription still on its way no longer counts
    if (!d.linked()) {
        return;
    }
    attEnqueue(d, [this, key = d.key, epoch = d.epoch, handle = c.handle](uint64_t token) {
        central->setNotify(key, handle, false, [this, key, epoch, token](const NSError*) {
            loop.post([this, key, epoch, token] { onAttAnswer(key, epoch, token, [](Device&) {}); });
        });
        return true;
    });
}

// A new link: every session registers again, and the device is subscribed once more.
void Impl::reregister(Device& d) {
    for (auto& [handle, c] : d.characteristics) {
        if (c->sessions.empty()) {
            continue;
        }
        for (auto& [client, registered] : c->sessions) {
            registered = true;
        }
        subscribe(d, *c);
    }
}

void Impl::onNotified(const std::string& key, AttributeHandle handle, const std::string& value) {
    Device* d = find(key);
    if (d == nullptr) {
        return;
    }
    auto it = d->characteristics.find(handle);
    if (it == d->characteristics.end()) {
        return;
    }
    // Each registered session writes the value to the cache itself, and each write is a signal of its own, even
    // for repeated bytes.
    const size_t registrations = it->second->registered();
    for (size_t i = 0; i < registrations; ++i) {
        it->second->node->set(kCharacteristic, "Value", bytesOf(value));
        tree.flush();
    }
    sendNotification(*it->second, value);
}

}  // namespace bluezsim
