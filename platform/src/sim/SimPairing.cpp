// Pairing in the simulated world: a device's method and the agent's input and output decide the questions,
// as a host's security manager decides them; the bond is the world adapter's, and a bonded device's link
// comes up with its key. Requests an attribute refuses for want of a key raise the link first, through the
// default agent, as a host stack does.

#include <chrono>

#include "SimInternal.h"
#include "SimRadio.h"

namespace platform::sim {

namespace {

using Lock = std::lock_guard<std::mutex>;
using LinkPtr = std::shared_ptr<SimLink>;
using radio::AgentVerdict;
using radio::IoCapability;
using radio::PairingError;

// A pairing whose device stops answering ends after this long, as the security manager's own timer does.
constexpr auto kPairingTimeout = std::chrono::seconds(30);

const char* const kInCompletion = "in a simulated radio completion";
const char* const kInAgent = "in a pairing agent";

bool hasKeyboard(IoCapability c) {
    return c == IoCapability::KeyboardOnly || c == IoCapability::KeyboardDisplay;
}
bool canConfirm(IoCapability c) {
    return c == IoCapability::DisplayYesNo || c == IoCapability::KeyboardDisplay;
}
bool hasDisplay(IoCapability c) {
    return c == IoCapability::DisplayOnly || canConfirm(c);
}

}  // namespace

bool SimCentral::pairingSupported(const radio::DeviceKey& key) const {
    const auto device = world_.device(key);
    return device && device->config.pairing.has_value();
}

bool SimCentral::isPaired(const radio::DeviceKey& key) const {
    const auto device = world_.device(key);
    if (!device) {
        return false;
    }
    Lock lock(device->mutex);
    return device->bond != Security::None;
}

Security SimCentral::securityOf(const Admitted& request) const {
    Lock lock(request.link->mutex);
    return request.link->security;
}

void SimCentral::pair(const radio::DeviceKey& key, std::shared_ptr<radio::PairingAgent> agent, radio::Done done) {
    const auto admitted = admit(key);
    std::optional<NSError> refusal;
    if (!admitted) {
        refusal = radio::pairingError(PairingError::NotConnected);
    } else if (isPaired(key)) {
        refusal = radio::pairingError(PairingError::AlreadyPaired);
    } else {
        Lock lock(admitted->link->mutex);
        if (admitted->link->pairing && !admitted->link->pairing->done.empty()) {
            refusal = radio::pairingError(PairingError::InProgress);
        }
    }
    if (refusal) {
        return answerLater(std::move(done), *refusal);
    }
    beginPairing(*admitted, std::move(agent), std::move(done), nullptr);
}

void SimCentral::answerLater(radio::Done done, std::optional<NSError> error) {
    world_.scheduler.after(Clock::duration::zero(), [weak = weak_from_this(), done = std::move(done), error] {
        if (auto session = weak.lock()) {
            Emission emission(*session);
            if (!session->closed_) {
                contain(kInCompletion, [&] { done(error ? &*error : nullptr); });
            }
        }
    });
}

void SimCentral::raiseSecurity(const Admitted& request, Security needed, std::function<void(bool)> then) {
    const auto& pairing = request.device->config.pairing;
    if (!pairing) {
        return then(false);
    }
    Security bond;
    {
        Lock lock(request.device->mutex);
        bond = request.device->bond;
    }
    if (bond >= needed) {
        // The bond has the key: the link is encrypted with it, and the request goes again.
        {
            Lock lock(request.link->mutex);
            if (request.link->epoch == request.epoch) {
                request.link->security = bond;
            }
        }
        return then(true);
    }
    if (bond != Security::None || (needed == Security::Authentication && pairing->method == PairingMethod::JustWorks)) {
        return then(false);  // pairing again would give no better key
    }
    beginPairing(request, nullptr, nullptr, std::move(then));
}

void SimCentral::securityRequested(const radio::DeviceKey& key) {
    const auto admitted = admit(key);
    if (!admitted || isPaired(key)) {
        return;  // a bonded device's link is encrypted already
    }
    beginPairing(*admitted, nullptr, nullptr, nullptr, true);
}

void SimCentral::beginPairing(const Admitted& request, std::shared_ptr<radio::PairingAgent> agent, radio::Done done,
                              std::function<void(bool)> raised, bool device_started) {
    const LinkPtr& link = request.link;
    uint64_t id = 0;
    {
        Lock lock(link->mutex);
        if (link->epoch != request.epoch || link->state != CBPeripheralState::Connected) {
            id = 0;
        } else if (link->pairing) {
            // One pairing per link: a request that needs it waits for the one under way.
            if (done) {
                link->pairing->done.push_back(std::move(done));
            }
            if (raised) {
                link->pairing->raised.push_back(std::move(raised));
            }
            return;
        } else {
            static std::atomic<uint64_t> next_id{0};
            auto pairing = std::make_shared<SimPairing>();
            pairing->id = id = ++next_id;
            pairing->epoch = request.epoch;
            pairing->device_started = device_started;
            if (!agent) {
                // A pair() answers to its session's agent; without one, or for a pairing an attribute started,
                // the default agent answers.
                const std::weak_ptr<SimCentral> self = weak_from_this();
                Lock world_lock(world_.mutex);
                for (const auto& entry : world_.agents) {
                    const bool mine = !entry.first.owner_before(self) && !self.owner_before(entry.first);
                    if (mine && done) {
                        agent = entry.second;
                        break;
                    }
                }
                for (const auto& entry : world_.agents) {
                    if (!agent && !entry.first.expired()) {
                        agent = entry.second;
                    }
                }
            }
            pairing->agent = std::move(agent);
            if (done) {
                pairing->done.push_back(std::move(done));
            }
            if (raised) {
                pairing->raised.push_back(std::move(raised));
            }
            link->pairing = std::move(pairing);
        }
    }
    if (id == 0) {
        // The link went meanwhile: the pairing it would have run is canceled.
        if (done) {
            answerLater(std::move(done), radio::pairingError(PairingError::Canceled));
        }
        if (raised) {
            raised(false);
        }
        return;
    }
    std::weak_ptr<SimLink> weak_link = link;
    world_.scheduler.after(std::chrono::milliseconds(request.device->config.latency_ms),
                           [weak = weak_from_this(), weak_link, id] {
                               auto session = weak.lock();
                               auto l = weak_link.lock();
                               if (session && l) {
                                   session->askAgent(l, id);
                               }
                           });
    world_.scheduler.after(kPairingTimeout, [weak = weak_from_this(), weak_link, id] {
        auto session = weak.lock();
        auto l = weak_link.lock();
        if (session && l) {
            session->endPairing(l, id, radio::pairingError(PairingError::TimedOut), Security::None);
        }
    });
}

void SimCentral::askAgent(const LinkPtr& link, uint64_t id) {
    std::shared_ptr<radio::PairingAgent> agent;
    std::shared_ptr<Device> device;
    bool unasked_just_works = true;
    {
        Lock lock(link->mutex);
        if (!link->pairing || link->pairing->id != id || !link->device) {
            return;
        }
        agent = link->pairing->agent;
        device = link->device;
        // The host confirms only a just-works pairing it did not start: one the device asked for, with no
        // pair() waiting on it (whose caller meant to pair).
        unasked_just_works = !link->pairing->device_started || !link->pairing->done.empty();
    }
    const PairingConfig config = device->config.pairing.value_or(PairingConfig{});
    // Without an agent the host pairs as one with neither input nor output.
    const IoCapability capability = agent ? agent->capability() : IoCapability::NoInputNoOutput;
    const auto failed = [&] {
        endPairing(link, id, radio::pairingError(PairingError::AuthenticationFailed), Security::None);
    };
    enum class Ask { Nothing, Passkey, Confirmation, Display, Authorization } ask = Ask::Nothing;
    switch (config.method) {
        case PairingMethod::JustWorks:
            // Nor is a host with neither input nor output (as without an agent) asked.
            if (unasked_just_works || capability == IoCapability::NoInputNoOutput) {
                return endPairing(link, id, std::nullopt, Security::Encryption);
            }
            ask = Ask::Authorization;
            break;
        case PairingMethod::DisplayPasskey:
            // The device has a keyboard: a host with a display shows the number, one with only a keyboard has
            // its user type the number the device's user types too.
            if (hasDisplay(capability)) {
                ask = Ask::Display;
            } else if (hasKeyboard(capability)) {
                ask = Ask::Passkey;
            } else {
                return failed();
            }
            break;
        case PairingMethod::Passkey:
            // The device shows its passkey: only a host with a keyboard can give it, and the device wants it.
            if (!hasKeyboard(capability)) {
                return failed();
            }
            ask = Ask::Passkey;
            break;
        case PairingMethod::NumericComparison:
            if (canConfirm(capability)) {
                ask = Ask::Confirmation;
            } else if (hasKeyboard(capability)) {
                ask = Ask::Passkey;  // a keyboard without a display types the number the device shows
            } else {
                return failed();
            }
            break;
    }
    {
        Lock lock(link->mutex);
        if (!link->pairing || link->pairing->id != id) {
            return;
        }
        link->pairing->asked = ask != Ask::Display;  // a shown number has no answer to take back
    }
    // The agent's answer may come on any thread; the pairing goes on on the scheduler's.
    std::weak_ptr<SimCentral> weak = weak_from_this();
    std::weak_ptr<SimLink> weak_link = link;
    Scheduler& scheduler = world_.scheduler;
    const uint32_t passkey = config.passkey;
    const Security level = ask == Ask::Authorization ? Security::Encryption : Security::Authentication;
    const auto conclude = [weak, weak_link, id, level, &scheduler](bool ok) {
        scheduler.after(Clock::duration::zero(), [weak, weak_link, id, ok, level] {
            auto session = weak.lock();
            auto l = weak_link.lock();
            if (!session || !l) {
                return;
            }
            {
                // Answered: nothing is left for a Cancel to take back.
                Lock lock(l->mutex);
                if (l->pairing && l->pairing->id == id) {
                    l->pairing->asked = false;
                }
            }
            if (ok) {
                session->endPairing(l, id, std::nullopt, level);
            } else {
                session->endPairing(l, id, radio::pairingError(PairingError::AuthenticationFailed), Security::None);
            }
        });
    };
    const radio::DeviceKey key = link->key;
    if (ask == Ask::Passkey) {
        contain(kInAgent, [&] {
            agent->requestPasskey(key, [conclude, passkey](AgentVerdict verdict, uint32_t given) {
                conclude(verdict == AgentVerdict::Accept && given == passkey);
            });
        });
    } else if (ask == Ask::Confirmation) {
        contain(kInAgent, [&] {
            agent->requestConfirmation(key, passkey,
                                       [conclude](AgentVerdict verdict) { conclude(verdict == AgentVerdict::Accept); });
        });
    } else if (ask == Ask::Authorization) {
        contain(kInAgent, [&] {
            agent->requestAuthorization(
                key, [conclude](AgentVerdict verdict) { conclude(verdict == AgentVerdict::Accept); });
        });
    } else {
        // Shown, not asked: no answer comes. The device's user types the number.
        contain(kInAgent, [&] { agent->displayPasskey(key, passkey, 0); });
        scheduler.after(std::chrono::milliseconds(device->config.latency_ms), [conclude] { conclude(true); });
    }
}

void SimCentral::endPairing(const LinkPtr& link, uint64_t id, std::optional<NSError> error, Security level) {
    std::shared_ptr<SimPairing> pairing;
    {
        Lock lock(link->mutex);
        if (!link->pairing || link->pairing->id != id) {
            return;
        }
        pairing = std::move(link->pairing);
        link->pairing.reset();
        if (!error && (link->epoch != pairing->epoch || link->state != CBPeripheralState::Connected)) {
            error = radio::pairingError(PairingError::Canceled);
        }
        if (!error) {
            link->security = level;
            Lock device_lock(link->device->mutex);
            link->device->bond = level;
        }
    }
    if (error && pairing->asked && pairing->agent) {
        contain(kInAgent, [&] { pairing->agent->cancel(link->key); });
    }
    {
        Emission emission(*this);
        if (!closed_) {
            for (const auto& done : pairing->done) {
                contain(kInCompletion, [&] { done(error ? &*error : nullptr); });
            }
            if (!error && emission.listener()) {
                contain(kInCompletion, [&] { emission.listener()->radioPaired(link->key); });
            }
        }
    }
    // Outside the emission: the requests that waited go again, or are answered with their refusal.
    for (const auto& raised : pairing->raised) {
        raised(!error);
    }
}

void SimCentral::endPairingLater(const LinkPtr& link, NSError error) {
    uint64_t id = 0;
    {
        Lock lock(link->mutex);
        if (!link->pairing) {
            return;
        }
        id = link->pairing->id;
    }
    std::weak_ptr<SimLink> weak_link = link;
    world_.scheduler.after(Clock::duration::zero(), [weak = weak_from_this(), weak_link, id, error] {
        auto session = weak.lock();
        auto l = weak_link.lock();
        if (session && l) {
            session->endPairing(l, id, error, Security::None);
        }
    });
}

void SimCentral::cancelPairing(const radio::DeviceKey& key) {
    if (const LinkPtr link = findLink(key)) {
        endPairingLater(link, radio::pairingError(PairingError::Canceled));
    }
}

void SimCentral::unpair(const radio::DeviceKey& key, radio::Done done) {
    if (const auto device = world_.device(key)) {
        Lock lock(device->mutex);
        device->bond = Security::None;
    }
    answerLater(std::move(done), std::nullopt);
}

void SimCentral::setPairingAgent(std::shared_ptr<radio::PairingAgent> agent) {
    const std::weak_ptr<SimCentral> self = weak_from_this();
    Lock lock(world_.mutex);
    auto& agents = world_.agents;
    for (auto it = agents.begin(); it != agents.end();) {
        // Compared without locking: a session's last reference must not go under the world's mutex.
        const bool mine = !it->first.owner_before(self) && !self.owner_before(it->first);
        it = mine || it->first.expired() ? agents.erase(it) : std::next(it);
    }
    if (agent) {
        agents.emplace_front(weak_from_this(), std::move(agent));
    }
}

void SimCentral::bondedDevices(radio::BondedDone done) {
    world_.scheduler.after(Clock::duration::zero(), [weak = weak_from_this(), done = std::move(done)] {
        auto session = weak.lock();
        if (!session) {
            return;
        }
        std::vector<radio::BondedDevice> list;
        for (const auto& device : session->world_.devicesSnapshot()) {
            Lock lock(device->mutex);
            if (device->bond != Security::None && !device->removed) {
                list.push_back(radio::BondedDevice{device->id, device->config.name});
            }
        }
        Emission emission(*session);
        if (!session->closed_) {
            contain(kInCompletion, [&] { done(nullptr, list); });
        }
    });
}

}  // namespace platform::sim
