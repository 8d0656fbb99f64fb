// Notifications: a notification session per client and characteristic, the device subscribed while any
// session lasts (re-armed on each connection), and each notification sent as a Value signal.

#include <string>
#include <vector>

#include "SimulatorInternal.h"

namespace bluezsim {

using Impl = BluezSimulator::Impl;

void Impl::startNotify(Device& d, Characteristic& c, sdbus::MethodCall& call) {
    if (!c.subscribable()) {
        return replyError(call, notSupported());
    }
    if (d.link == Link::Disconnecting) {
        return replyError(call, bluezError("NotConnected", "Not Connected"));
    }
    const std::string client = call.getSender();
    if (c.sessions.count(client) != 0) {
        return c.subscribing ? replyError(call, inProgress()) : replyOk(call);
    }
    c.sessions.insert(client);
    // Without a link (or before its table is known) the session waits for the next connection.
    if (!d.linked() || !d.services_resolved || c.subscribed) {
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
        const sdbus::Error e = requestError(*error);
        for (const sdbus::MethodCall& call : calls) {
            c.sessions.erase(call.getSender());
            replyError(call, e);
        }
        return;
    }
    c.subscribed = true;
    if (c.sessions.empty()) {
        // Every client stopped while the subscription was on its way.
        return endNotify(d, c);
    }
    if (!c.notifying) {
        c.notifying = true;
        c.node->set(kCharacteristic, "Notifying", true);
    }
    for (const sdbus::MethodCall& call : calls) {
        replyOk(call);
    }
}

void Impl::stopNotify(Device& d, Characteristic& c, sdbus::MethodCall& call) {
    if (c.sessions.erase(call.getSender()) == 0) {
        return replyError(call, failed("No notify session started"));
    }
    if (c.sessions.empty()) {
        endNotify(d, c);
    }
    replyOk(call);
}

void Impl::endNotify(Device& d, Characteristic& c) {
    if (c.notifying) {
        c.notifying = false;
        c.node->set(kCharacteristic, "Notifying", false);
    }
    auto calls = std::move(c.start_calls);
    c.start_calls.clear();
    for (const sdbus::MethodCall& call : calls) {
        replyError(call, failed("No notify session started"));
    }
    if (c.subscribed || c.subscribing) {
        c.subscribed = false;
        c.subscribing = false;
        c.notify_op = ++next_id;  // a subscription still on its way no longer counts
        if (d.linked()) {
            attEnqueue(d, [this, key = d.key, epoch = d.epoch, handle = c.handle](uint64_t token) {
                central->setNotify(key, handle, false, [this, key, epoch, token](const NSError*) {
                    loop.post([this, key, epoch, token] { onAttAnswer(key, epoch, token, [](Device&) {}); });
                });
                return true;
            });
        }
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
    // Each notification is a signal of its own, even for repeated bytes.
    it->second->node->set(kCharacteristic, "Value", bytesOf(value));
    tree.flush();
}

}  // namespace bluezsim
