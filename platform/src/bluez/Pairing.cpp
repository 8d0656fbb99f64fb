// Pairing through bluetoothd: Device1.Pair/CancelPairing, Adapter1.RemoveDevice, the bonded devices of the
// mirror, and the program's agent served as org.bluez.Agent1 on the radio's connection, registered with
// AgentManager1 and made the default agent (so pairing an encrypted attribute starts asks it too). bluetoothd
// asks the agent of the connection that called Pair(), which is this one.

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Core.h"

namespace platform::bluez {

namespace {

constexpr const char* kAgentPath = "/org/tavrin/agent";
constexpr const char* kAgentInterface = "org.bluez.Agent1";
constexpr const char* kAgentManagerInterface = "org.bluez.AgentManager1";
// Pair() answers once the device and the agent have: bluetoothd gives an agent 60 s. The caller's own limit is
// shorter and cancels the pairing.
constexpr auto kPairTimeout = std::chrono::seconds(90);

const char* capabilityName(radio::IoCapability capability) {
    switch (capability) {
        case radio::IoCapability::DisplayOnly:
            return "DisplayOnly";
        case radio::IoCapability::DisplayYesNo:
            return "DisplayYesNo";
        case radio::IoCapability::KeyboardOnly:
            return "KeyboardOnly";
        case radio::IoCapability::NoInputNoOutput:
            return "NoInputNoOutput";
        case radio::IoCapability::KeyboardDisplay:
            break;
    }
    return "KeyboardDisplay";
}

std::string addressOfPath(const std::string& path) {
    // .../dev_AA_BB_CC_DD_EE_FF
    const auto at = path.rfind("/dev_");
    std::string address = at == std::string::npos ? std::string() : path.substr(at + 5);
    for (char& c : address) {
        if (c == '_') {
            c = ':';
        }
    }
    return address;
}

}  // namespace

// Each central may install an agent; the connection has one agent object, which answers as the last one
// installed that is still there (a central's agent removed gives the earlier one back its place).
void Core::setAgent(uint64_t id, std::shared_ptr<radio::PairingAgent> agent) {
    agents_.erase(std::remove_if(agents_.begin(), agents_.end(), [&](const auto& entry) { return entry.first == id; }),
                  agents_.end());
    const bool installed = agent != nullptr;
    if (installed) {
        agents_.emplace_back(id, std::move(agent));
    }
    if (agents_.empty()) {
        unregisterAgent();
        agent_.reset();
        agentCentral_ = 0;
        return;
    }
    const auto& [central, current] = agents_.back();
    if (agentRegistered_ && capabilityName(current->capability()) != agentCapability_) {
        unregisterAgent();  // bluetoothd keeps a registered agent's capability: another one registers anew
    }
    const bool changed = current != agent_;
    agent_ = current;
    agentCentral_ = central;
    if (installed || changed || !agentRegistered_) {
        registerAgent();
    }
}

void Core::registerAgent() {
    if (!agent_ || !bus_ || !hasOwner_) {
        return;
    }
    if (agentServedOn_ != busAttempt_) {
        // The bus serves the object for as long as it lives; a new bus serves it anew.
        try {
            const std::weak_ptr<Core> weak = self_;
            bus_->serve(kAgentPath, kAgentInterface,
                        {{"Release", "", ""},
                         {"RequestPinCode", "o", "s"},
                         {"DisplayPinCode", "os", ""},
                         {"RequestPasskey", "o", "u"},
                         {"DisplayPasskey", "ouq", ""},
                         {"RequestConfirmation", "ou", ""},
                         {"RequestAuthorization", "o", ""},
                         {"AuthorizeService", "os", ""},
                         {"Cancel", "", ""}},
                        [weak](std::shared_ptr<BusIncoming> call)
                            NO_THREAD_SAFETY_ANALYSIS {  // runs inside the loop's dispatch, under mutex_
                                if (auto core = weak.lock()) {
                                    core->agentAsked(call);
                                }
                            });
            agentServedOn_ = busAttempt_;
        } catch (const BusError& e) {
            platform::NSLog("The pairing agent could not be served: %@", std::string(e.what()));
            return;
        }
    }
    const std::string capability = capabilityName(agent_->capability());
    // Counted as registered from the call on: the bus delivers a later UnregisterAgent after it.
    agentRegistered_ = true;
    agentCapability_ = capability;
    callBluez("/org/bluez", kAgentManagerInterface, "RegisterAgent",
              {ObjectPathArg{kAgentPath}, std::string(capability)}, kSetupTimeout,
              [](Core& core, BusMessage*, const NSError* error) REQUIRES(core.mutex_) {
                  // AlreadyExists: registered before with this capability (a new agent of this program with the
                  // same capability replaces the old one's answers).
                  if (error && error->domain != "org.bluez.Error.AlreadyExists") {
                      platform::NSLog("The pairing agent could not be registered: %@ (%@)", error->description,
                                      error->domain);
                      core.agentRegistered_ = false;
                      return;
                  }
                  core.callBluez("/org/bluez", kAgentManagerInterface, "RequestDefaultAgent",
                                 {ObjectPathArg{kAgentPath}}, kSetupTimeout, [](Core&, BusMessage*, const NSError* e) {
                                     if (e) {
                                         platform::NSLog("The pairing agent could not be made the default one: %@ (%@)",
                                                         e->description, e->domain);
                                     }
                                 });
              });
}

void Core::unregisterAgent() {
    if (agentRegistered_ && bus_ && hasOwner_) {
        callBluez("/org/bluez", kAgentManagerInterface, "UnregisterAgent", {ObjectPathArg{kAgentPath}}, kSetupTimeout,
                  [](Core&, BusMessage*, const NSError*) {});
    }
    agentRegistered_ = false;
}

// bluetoothd left: it forgot the registration (registerAgent gives it again once its objects are listed), and
// the question it had open will never be answered or canceled by it.
void Core::agentLost() {
    agentRegistered_ = false;
    if (agent_ && !agentAsking_.empty()) {
        agent_->cancel(agentAsking_);
    }
    agentAsking_.clear();
}

// A question of bluetoothd's: the program's agent gets it, and its reply, from whatever thread, is sent from the
// loop.
void Core::agentAsked(const std::shared_ptr<BusIncoming>& call) {
    // Only bluetoothd may ask, show or take back: any other client of a permissive bus could otherwise read the
    // passkey the user typed, or cancel a pairing under way.
    if (!hasOwner_ || call->sender() != owner_) {
        return call->replyError("org.bluez.Error.NotAuthorized", "Not Authorized");
    }
    const std::string member = call->member();
    const auto refuse = [](const std::shared_ptr<BusIncoming>& c) {
        c->replyError("org.bluez.Error.Rejected", "Rejected");
    };
    if (member == "Release") {
        return call->reply();
    }
    if (member == "Cancel") {
        call->reply();
        if (agent_ && !agentAsking_.empty()) {
            agent_->cancel(agentAsking_);
        }
        agentAsking_.clear();
        return;
    }
    std::string address;
    try {
        address = addressOfPath(call->readPath());
    } catch (...) {
        return call->replyError("org.bluez.Error.InvalidArguments", "Invalid arguments in method call");
    }
    const auto agent = agent_;
    if (!agent || member == "RequestPinCode" || member == "DisplayPinCode") {
        return refuse(call);  // no agent any more; legacy PIN pairing is not LE's
    }
    if (member == "DisplayPasskey") {
        // Shown, not asked: bluetoothd wants no reply (the bus drops it) and sends no Cancel for it.
        try {
            const uint32_t passkey = call->readUint32();
            const uint16_t entered = call->readUint16();
            call->reply();
            agent->displayPasskey(address, passkey, entered);
        } catch (...) {
            refuse(call);
        }
        return;
    }
    // Open until answered: what a Cancel, or bluetoothd leaving, takes back.
    agentAsking_ = address;
    for (auto& [number, request] : requests_) {
        if (request.address == address) {
            request.pairingAsked = true;  // bluetoothd pairs for it: a read or write of an encrypted attribute
        }
    }
    const uint64_t question = ++agentQuestion_;
    const std::weak_ptr<Core> weak = self_;
    // The reply goes through the loop: it may come from any thread, late, or twice (the first counts). A late
    // answer to a question taken back leaves the next one open.
    const auto answer = [weak, call, question](radio::AgentVerdict verdict, std::optional<uint32_t> passkey) {
        auto core = weak.lock();
        if (!core) {
            return;
        }
        core->post([call, verdict, passkey, question](Core& c) REQUIRES(c.mutex_) {
            if (c.agentQuestion_ == question) {
                c.agentAsking_.clear();
            }
            if (verdict == radio::AgentVerdict::Accept) {
                passkey ? call->replyUint32(*passkey) : call->reply();
            } else if (verdict == radio::AgentVerdict::Cancel) {
                call->replyError("org.bluez.Error.Canceled", "Canceled");
            } else {
                call->replyError("org.bluez.Error.Rejected", "Rejected");
            }
        });
    };
    try {
        if (member == "RequestPasskey") {
            agent->requestPasskey(address, [answer](radio::AgentVerdict v, uint32_t passkey) { answer(v, passkey); });
        } else if (member == "RequestConfirmation") {
            const uint32_t passkey = call->readUint32();
            agent->requestConfirmation(address, passkey, [answer](radio::AgentVerdict v) { answer(v, std::nullopt); });
        } else {
            // RequestAuthorization, AuthorizeService
            agent->requestAuthorization(address, [answer](radio::AgentVerdict v) { answer(v, std::nullopt); });
        }
    } catch (...) {
        refuse(call);
    }
}

void Core::callForBond(const std::string& path, const char* interface, const char* method, std::vector<BusArg> args,
                       Clock::duration timeout, uint64_t id, Done done) {
    const uint64_t number = ++bondCall_;
    bondCalls_.emplace(number, std::make_pair(id, std::move(done)));
    callBluez(path, interface, method, std::move(args), timeout,
              [number](Core& core, BusMessage*, const NSError* error) REQUIRES(core.mutex_) {
                  const auto it = core.bondCalls_.find(number);
                  if (it == core.bondCalls_.end()) {
                      return;  // answered already, when bluetoothd left
                  }
                  const uint64_t central = it->second.first;
                  const Done answer = std::move(it->second.second);
                  core.bondCalls_.erase(it);
                  core.complete(central, [&] { answer(error); });
              });
}

void Core::bondCallsLost(const NSError& why) {
    auto lost = std::move(bondCalls_);
    bondCalls_.clear();
    for (auto& entry : lost) {
        const Done& answer = entry.second.second;
        complete(entry.second.first, [&] { answer(&why); });
    }
}

void Core::sayIfPairingOutlasted(const Request& request) const {
    if (request.pairingAsked) {
        platform::NSLog(
            "A request to %@ ran out of its time limit while bluetoothd paired the device, asking the pairing agent: "
            "pair() a device whose pairing asks a person before its encrypted attributes are used",
            request.address);
    }
}

void Core::pair(uint64_t id, const std::string& address, Done done) {
    const auto it = byAddress_.find(address);
    if (it == byAddress_.end()) {
        const NSError error = unknownDeviceError();
        return complete(id, [&] { done(&error); });
    }
    callForBond(it->second, kDeviceInterface, "Pair", {}, kPairTimeout, id, std::move(done));
}

void Core::cancelPairing(const std::string& address) {
    const auto it = byAddress_.find(address);
    if (it == byAddress_.end()) {
        return;
    }
    callBluez(it->second, kDeviceInterface, "CancelPairing", {}, kSetupTimeout,
              [](Core&, BusMessage*, const NSError*) {});
}

void Core::unpair(uint64_t id, const std::string& address, Done done) {
    if (!objectsLoaded_) {
        // Whatever bond there is stays with bluetoothd, which is not here to forget it.
        const NSError error = lostError("bluetoothd is not on the bus.");
        return complete(id, [&] { done(&error); });
    }
    const auto it = byAddress_.find(address);
    if (it == byAddress_.end() || adapter_.empty()) {
        // Nothing bluetoothd knows: nothing to forget.
        return complete(id, [&] { done(nullptr); });
    }
    callForBond(adapter_, kAdapterInterface, "RemoveDevice", {ObjectPathArg{it->second}}, kDisconnectTimeout, id,
                std::move(done));
}

void Core::bondedDevices(uint64_t id, radio::BondedDone done) {
    std::vector<radio::BondedDevice> bonded;
    if (!objectsLoaded_) {
        const NSError error = lostError("bluetoothd is not on the bus.");
        return complete(id, [&] { done(&error, bonded); });
    }
    for (const auto& [address, path] : byAddress_) {
        const auto d = devices_.find(path);
        if (d != devices_.end() && (d->second.paired || d->second.bonded)) {
            bonded.push_back(radio::BondedDevice{address, d->second.name});
        }
    }
    complete(id, [&] { done(nullptr, bonded); });
}

std::optional<bool> Core::devicePaired(const std::string& address) const {
    if (!objectsLoaded_) {
        return std::nullopt;
    }
    const DeviceObject* device = deviceByAddress(address);
    return device != nullptr && (device->paired || device->bonded);
}

std::optional<radio::AddressKind> Core::addressKind(const std::string& address) const {
    const DeviceObject* device = deviceByAddress(address);
    if (device == nullptr || device->addressType.empty()) {
        return std::nullopt;
    }
    return device->addressType == "public" ? radio::AddressKind::Public : radio::AddressKind::Random;
}

}  // namespace platform::bluez
