// Pairing as bluetoothd does it: Pair() connects first when needed, then pairs through the caller's agent (or
// the default one); CancelPairing() ends it; the outcome is answered in bluetoothd's words, and the bond shows
// as Paired and Bonded. Devices bonded before the daemon started are there from the start, not temporary.

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "SimulatorInternal.h"

namespace bluezsim {

using Impl = BluezSimulator::Impl;
using platform::radio::PairingError;

namespace {

// What Pair() answers for the radio's outcome, as bluetoothd words the kernel's status.
sdbus::Error pairingFailure(const NSError& error) {
    if (error.domain == platform::radio::kPairingErrorDomain) {
        switch (static_cast<PairingError>(error.code)) {
            case PairingError::Canceled:
            case PairingError::NotConnected:
                return bluezError("AuthenticationCanceled", "Authentication Canceled");
            case PairingError::Rejected:
                return bluezError("AuthenticationRejected", "Authentication Rejected");
            case PairingError::TimedOut:
                return bluezError("AuthenticationTimeout", "Authentication Timeout");
            case PairingError::AlreadyPaired:
                return bluezError("AlreadyExists", "Already Paired");
            case PairingError::InProgress:
                return bluezError("InProgress", "In Progress");
            case PairingError::AuthenticationFailed:
            case PairingError::NotSupported:
                break;
        }
    }
    return bluezError("AuthenticationFailed", "Authentication Failed");
}

}  // namespace

void Impl::pairDevice(Device& d, sdbus::MethodCall& call) {
    if (d.bonding) {
        return replyError(call, bluezError("InProgress", "In Progress"));
    }
    if (d.paired) {
        return replyError(call, bluezError("AlreadyExists", "Already Exists"));
    }
    if (!powered) {
        return replyError(call, failed("Input/output error"));
    }
    d.temporary = false;
    d.bonding = Bonding{++next_id, call, agentOwnerFor(call.getSender())};
    if (d.link == Link::Connected) {
        return startBonding(d);
    }
    // The link first; pairing starts once it is up (see onConnected).
    connect(d, call, true);
}

void Impl::startBonding(Device& d) {
    if (!d.bonding) {
        return;
    }
    auto agent = d.bonding->agent.empty() ? nullptr : agentFor(d.bonding->agent);
    central->pair(d.key, std::move(agent),
                  [weak = weak_from_this(), key = d.key, id = d.bonding->id, &loop = loop](const NSError* error) {
                      loop.post([weak, key, id, error = copyError(error)] {
                          if (auto self = weak.lock()) {
                              self->bondingDone(key, id, error);
                          }
                      });
                  });
}

void Impl::bondingDone(const std::string& key, uint64_t id, const std::optional<NSError>& error) {
    Device* d = find(key);
    if (d == nullptr || !d->bonding || d->bonding->id != id) {
        return;  // cancelled, and answered then
    }
    const sdbus::MethodCall call = d->bonding->call;
    d->bonding.reset();
    if (!error) {
        if (!d->paired) {
            markPaired(*d);
        }
        return replyOk(call);
    }
    if (!d->paired) {
        // Back to temporary, as a device newly discovered.
        d->temporary = true;
        seen(*d);
    }
    replyError(call, pairingFailure(*error));
}

void Impl::cancelPairing(Device& d, sdbus::MethodCall& call) {
    if (!d.bonding) {
        return replyError(call, bluezError("DoesNotExist", "Does Not Exist"));
    }
    const sdbus::MethodCall pair_call = d.bonding->call;
    d.bonding.reset();
    takeBackQuestion(d);
    // A Pair() still waiting for its link no longer wants it.
    const auto waiting =
        std::find_if(d.connect_calls.begin(), d.connect_calls.end(), [](const ConnectCall& c) { return c.pair; });
    if (waiting != d.connect_calls.end()) {
        d.connect_calls.erase(waiting);
        if (d.connect_calls.empty() && d.link == Link::Connecting) {
            cancelAttempt(d);
        }
    } else {
        central->cancelPairing(d.key);
    }
    replyError(pair_call, bluezError("AuthenticationCanceled", "Authentication Canceled"));
    if (!d.paired) {
        d.temporary = true;
        seen(d);
    }
    replyOk(call);
}

// The link under a pairing went down (asked for, lost, or the adapter powered off): bluetoothd ends the bonding
// with the kernel's "disconnected", the agent's question taken back first.
void Impl::bondingLinkDown(Device& d) {
    if (!d.bonding) {
        return;
    }
    const sdbus::MethodCall call = d.bonding->call;
    d.bonding.reset();
    takeBackQuestion(d);
    central->cancelPairing(d.key);
    if (!d.paired) {
        d.temporary = true;
    }
    replyError(call, bluezError("AuthenticationCanceled", "Authentication Canceled"));
}

// Cancel for the question an agent has open about this adapter's device, if any.
void Impl::takeBackQuestion(const Device& d) {
    const auto host = agentHost();
    for (auto& [owner, agent] : host->agents) {
        host->cancelQuestion(agent, d.key, adapterPath());
    }
}

void Impl::markPaired(Device& d) {
    d.paired = true;
    d.temporary = false;
    d.node->set(kDevice, "Paired", true);
    d.node->set(kDevice, "Bonded", true);
}

// A pairing the radio made for a request that needed the link's security.
void Impl::onPaired(const std::string& key) {
    Device* d = find(key);
    if (d != nullptr && !d->paired) {
        markPaired(*d);
    }
}

// The devices bluetoothd has bonds with are loaded with the adapter, before any scan: no RSSI, not temporary.
void Impl::exportBondedDevices(const std::vector<platform::radio::BondedDevice>& bonded) {
    if (!adapter) {
        return;
    }
    for (const auto& b : bonded) {
        if (find(b.device) != nullptr) {
            continue;
        }
        AdvertisementReport report;
        report.device = b.device;
        report.name = b.name;
        Device* d = createDevice(report);
        if (d == nullptr) {
            continue;
        }
        d->temporary = false;
        d->paired = true;
        d->node->setQuietly(kDevice, "Paired", true);
        d->node->setQuietly(kDevice, "Bonded", true);
        if (b.name) {
            d->name = b.name;
            d->node->setQuietly(kDevice, "Name", *b.name);
            d->node->setQuietly(kDevice, "Alias", aliasOf(*d));
        }
        tree.add(*d->node);
    }
}

}  // namespace bluezsim
