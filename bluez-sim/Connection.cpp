// Connections: Connect, Pair and Disconnect against the link's state, the radio's answers, and the link going
// down (asked for, lost, timed out or powered off), which fails what was in flight.

#include <chrono>
#include <string>
#include <vector>

#include "SimulatorInternal.h"

namespace bluezsim {

using Impl = BluezSimulator::Impl;

void Impl::connect(Device& d, sdbus::MethodCall& call, bool pair) {
    if (!powered) {
        return replyError(call, failed("Input/output error"));
    }
    switch (d.link) {
        case Link::Connected:
        case Link::Disconnecting:
            // Connected still, also while Disconnect()'s timer runs: that timer takes the link down all the same.
            if (pair) {
                return startBonding(d);
            }
            return replyOk(call);
        case Link::Connecting:
            return replyError(call, failed("Operation already in progress"));
        case Link::Cancelling:
            d.temporary = d.private_address;
            d.reconnect = true;
            d.connect_calls.push_back({call, pair});
            return;
        case Link::Idle:
            // A device with a private address stays temporary.
            d.temporary = d.private_address;
            d.connect_calls.push_back({call, pair});
            d.link = Link::Connecting;
            central->connect(d.key);
            return;
    }
}

void Impl::onConnected(const std::string& key) {
    Device* d = find(key);
    if (d == nullptr || d->link != Link::Connecting) {
        return;  // a repeated answer, or an attempt already given up (its cancellation follows)
    }
    d->link = Link::Connected;
    ++d->epoch;
    d->connected = true;
    const auto known = setup.devices.find(key);
    if (known != setup.devices.end() && known->second.silent_connected) {
        // bluetoothd marks an LE link connected when its ATT socket connects; the kernel's connection event, handled
        // later, then finds the device connected already and signals nothing. The link's end is signalled as usual.
        d->node->setQuietly(kDevice, "Connected", true);
    } else {
        d->node->set(kDevice, "Connected", true);
    }
    auto calls = std::move(d->connect_calls);
    d->connect_calls.clear();
    bool bond = false;
    for (ConnectCall& c : calls) {
        if (c.pair) {
            bond = true;  // a Pair() answers once pairing is over
        } else {
            replyOk(c.call);
        }
    }
    // Objects kept from an earlier link have an MTU again, without a signal: bluetoothd tells MTU exchanges only
    // to the link the objects were made on.
    const auto mtu = static_cast<uint16_t>(central->mtu(d->key));
    for (auto& [handle, c] : d->characteristics) {
        c->node->setQuietly(kCharacteristic, "MTU", mtu);
    }
    resolveServices(*d);
    reregister(*d);
    if (bond) {
        startBonding(*d);
    }
}

void Impl::onConnectFailed(const std::string& key) {
    Device* d = find(key);
    if (d == nullptr) {
        return;
    }
    if (d->link == Link::Connecting) {
        d->link = Link::Idle;
        failConnects(*d, "le-connection-abort-by-local");
    } else if (d->link == Link::Cancelling) {
        settleCancel(*d);
    }
}

void Impl::failConnects(Device& d, const std::string& reason) {
    auto calls = std::move(d.connect_calls);
    d.connect_calls.clear();
    for (ConnectCall& c : calls) {
        if (c.pair) {
            // A Pair() whose link never came up, in bluetoothd's words for the failed connection.
            d.bonding.reset();
            replyError(c.call, bluezError("ConnectionAttemptFailed", "Page Timeout"));
        } else {
            replyError(c.call, failed(reason));
        }
    }
}

void Impl::onDisconnected(const std::string& key, bool lost) {
    Device* d = find(key);
    if (d == nullptr) {
        return;
    }
    switch (d->link) {
        case Link::Connecting:
            d->link = Link::Idle;
            failConnects(*d, lost ? "le-connection-abort-by-local" : "br-connection-canceled");
            break;
        case Link::Cancelling:
            settleCancel(*d);
            break;
        case Link::Connected:
        case Link::Disconnecting:
            dropLink(*d, false);
            finishRemoval(*d);
            break;
        case Link::Idle:
            break;
    }
}

// A cancelled attempt is over; a Connect() that came meanwhile starts now.
void Impl::settleCancel(Device& d) {
    d.link = Link::Idle;
    if (d.reconnect && !d.connect_calls.empty()) {
        d.link = Link::Connecting;
        central->connect(d.key);
    }
    d.reconnect = false;
}

void Impl::cancelAttempt(Device& d) {
    failConnects(d, "br-connection-canceled");
    if (d.link == Link::Connecting) {
        central->cancelConnection(d.key);
        d.link = Link::Cancelling;
    }
    d.reconnect = false;
}

void Impl::disconnect(Device& d, sdbus::MethodCall& call) {
    switch (d.link) {
        case Link::Idle:
            return replyOk(call);
        case Link::Connecting:
        case Link::Cancelling:
            cancelAttempt(d);
            return replyOk(call);
        case Link::Connected:
            d.disconnect_calls.push_back(call);
            beginDisconnect(d);
            return;
        case Link::Disconnecting:
            d.disconnect_calls.push_back(call);
            return;
    }
}

// bluetoothd keeps the link for its disconnect timer, so that whatever uses it can finish, then takes it down;
// the calls waiting are answered when it is down.
void Impl::beginDisconnect(Device& d) {
    d.link = Link::Disconnecting;
    d.discovery.reset();
    const uint64_t timer = ++next_id;
    d.disconnect_timer = timer;
    after(std::chrono::milliseconds(setup.timers.disconnect_timer_ms),
          [key = d.key, epoch = d.epoch, timer](Impl& self) {
              Device* dev = self.find(key);
              if (dev == nullptr || dev->epoch != epoch || dev->disconnect_timer != timer) {
                  return;
              }
              dev->disconnect_timer = 0;
              self.central->cancelConnection(key);
          });
}

// The link is down (asked for, lost, or the radio switched off, `silent`): what was in flight fails, then
// ServicesResolved goes false, the Disconnect() and RemoveDevice() calls are answered, then Connected goes false,
// then a Pair() on the link is answered.
void Impl::dropLink(Device& d, bool silent) {
    if (d.link == Link::Connecting || d.link == Link::Cancelling) {
        failConnects(d, silent ? "le-connection-abort-by-local" : "br-connection-canceled");
    }
    if (!d.connected && d.link != Link::Connected && d.link != Link::Disconnecting) {
        d.link = Link::Idle;
        return;
    }
    d.link = Link::Idle;
    ++d.epoch;
    // The clients read the end of their sockets before anything else of the link's loss.
    shutDownSockets(d);
    d.discovery.reset();
    d.disconnect_timer = 0;
    d.commands.clear();
    d.commands_in_flight = 0;
    const sdbus::Error lost = linkLost();
    failRequests(d, &lost);
    d.att_queue.clear();
    d.att_pending = 0;
    for (auto& [handle, c] : d.characteristics) {
        // Sessions stay and register again on the next connection; Notifying stays; the MTU goes silently.
        for (auto& [client, registered] : c->sessions) {
            registered = false;
        }
        c->subscribed = false;
        c->subscribing = false;
        c->node->unset(kCharacteristic, "MTU", true);
    }
    if (d.services_resolved) {
        d.services_resolved = false;
        d.node->set(kDevice, "ServicesResolved", false);
    }
    auto calls = std::move(d.disconnect_calls);
    d.disconnect_calls.clear();
    for (const sdbus::MethodCall& call : calls) {
        replyOk(call);
    }
    d.connected = false;
    d.node->set(kDevice, "Connected", false);
    bondingLinkDown(d);
    seen(d);
}

// A RemoveDevice() that waited for the link: the device goes once the link is down.
bool Impl::finishRemoval(Device& d) {
    if (!d.remove_when_down || d.link != Link::Idle) {
        return false;
    }
    removeDevice(d, true);
    return true;
}

void Impl::failRequests(Device& d, const sdbus::Error* error) {
    const auto fail = [&](const sdbus::MethodCall& call) {
        if (error != nullptr) {
            replyError(call, *error);
        }
    };
    const auto failOps = [&](Attribute& a) {
        if (a.read) {
            auto op = std::move(*a.read);
            a.read.reset();
            for (const sdbus::MethodCall& call : op.calls) {
                fail(call);
            }
        }
        if (a.write) {
            auto op = std::move(*a.write);
            a.write.reset();
            fail(op.call);
        }
    };
    for (auto& [handle, c] : d.characteristics) {
        failOps(*c);
        // An Acquire call still waiting ends its hold.
        if (c->write_acquired && c->write_acquired->call) {
            const sdbus::MethodCall call = std::move(*c->write_acquired->call);
            c->write_acquired.reset();
            c->node->setQuietly(kCharacteristic, "WriteAcquired", false);
            fail(call);
        }
        if (c->notify_acquired && c->notify_acquired->call) {
            const sdbus::MethodCall call = std::move(*c->notify_acquired->call);
            c->notify_acquired.reset();
            c->node->setQuietly(kCharacteristic, "NotifyAcquired", false);
            fail(call);
        }
        auto calls = std::move(c->start_calls);
        c->start_calls.clear();
        for (const sdbus::MethodCall& call : calls) {
            c->sessions.erase(call.getSender());
            fail(call);
        }
    }
    for (auto& [handle, desc] : d.descriptors) {
        failOps(*desc);
    }
}

}  // namespace bluezsim
