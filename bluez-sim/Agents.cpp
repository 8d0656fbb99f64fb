// Agents: AgentManager1 as bluetoothd serves it (one agent per client; the first registered, or the last to ask,
// is the default), and the registered agents asked over the bus, with bluetoothd's 60 s limit per question.
// The agents are the first adapter's simulator's, which serves /org/bluez, and answer for every adapter's
// pairings. The radio's questions come on its own thread and are asked from the loop's.

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>

#include "SimulatorInternal.h"

namespace bluezsim {

using Impl = BluezSimulator::Impl;
using platform::radio::AgentVerdict;
using platform::radio::IoCapability;

namespace {

// bluetoothd waits this long for an agent's answer, then sends Cancel and takes it as a refusal; here it is taken
// as a refusal without the Cancel.
constexpr auto kAgentTimeout = std::chrono::seconds(60);

std::optional<IoCapability> capabilityOf(const std::string& text) {
    // An empty capability means KeyboardDisplay to bluetoothd.
    static const std::pair<const char*, IoCapability> names[] = {
        {"", IoCapability::KeyboardDisplay},
        {"DisplayOnly", IoCapability::DisplayOnly},
        {"DisplayYesNo", IoCapability::DisplayYesNo},
        {"KeyboardOnly", IoCapability::KeyboardOnly},
        {"NoInputNoOutput", IoCapability::NoInputNoOutput},
        {"KeyboardDisplay", IoCapability::KeyboardDisplay},
    };
    for (const auto& [name, capability] : names) {
        if (text == name) {
            return capability;
        }
    }
    return std::nullopt;
}

}  // namespace

// A registered agent as the radio sees it: each question is handed to the loop and asked over the bus. Like
// bluetoothd, it has one question open at a time: another one meanwhile is refused without asking, and a
// Cancel goes only for the question it takes back.
class Impl::BusAgent : public platform::radio::PairingAgent {
  public:
    // `host` keeps the agents; `adapter`'s devices are the ones asked about, or, if null, those of whichever
    // adapter has the device's link.
    BusAgent(std::weak_ptr<Impl> host, std::weak_ptr<Impl> adapter, EventLoop& loop, std::string owner,
             IoCapability capability)
        : host_(std::move(host)),
          adapter_(std::move(adapter)),
          loop_(loop),
          owner_(std::move(owner)),
          capability_(capability) {}

    IoCapability capability() const override { return capability_; }

    void requestPasskey(const std::string& device, platform::radio::PasskeyReply reply) override {
        ask(
            device,
            [reply](Impl&, sdbus::IProxy& proxy, const sdbus::ObjectPath& path, Answered answered) {
                proxy.callMethodAsync("RequestPasskey")
                    .onInterface(kAgent)
                    .withTimeout(kAgentTimeout)
                    .withArguments(path)
                    .uponReplyInvoke([reply, answered](const sdbus::Error* error, uint32_t passkey) {
                        if (answered()) {
                            reply(error ? AgentVerdict::Reject : AgentVerdict::Accept, passkey);
                        }
                    });
            },
            [reply] { reply(AgentVerdict::Reject, 0); });
    }

    void displayPasskey(const std::string& device, uint32_t passkey, uint16_t entered) override {
        // Shown, not asked: bluetoothd sends it whatever the agent has open, and wants no reply.
        ask(
            device,
            [passkey, entered](Impl&, sdbus::IProxy& proxy, const sdbus::ObjectPath& path, Answered) {
                proxy.callMethod("DisplayPasskey")
                    .onInterface(kAgent)
                    .withArguments(path, passkey, entered)
                    .dontExpectReply();
            },
            [] {}, nullptr, false);
    }

    void requestConfirmation(const std::string& device, uint32_t passkey,
                             platform::radio::ConfirmReply reply) override {
        ask(
            device,
            [reply, passkey](Impl&, sdbus::IProxy& proxy, const sdbus::ObjectPath& path, Answered answered) {
                proxy.callMethodAsync("RequestConfirmation")
                    .onInterface(kAgent)
                    .withTimeout(kAgentTimeout)
                    .withArguments(path, passkey)
                    .uponReplyInvoke([reply, answered](const sdbus::Error* error) {
                        if (answered()) {
                            reply(error ? AgentVerdict::Reject : AgentVerdict::Accept);
                        }
                    });
            },
            [reply] { reply(AgentVerdict::Reject); });
    }

    // Asked for a just-works pairing the device started (the kernel's confirmation with its hint set).
    void requestAuthorization(const std::string& device, platform::radio::ConfirmReply reply) override {
        ask(
            device,
            [reply](Impl&, sdbus::IProxy& proxy, const sdbus::ObjectPath& path, Answered answered) {
                proxy.callMethodAsync("RequestAuthorization")
                    .onInterface(kAgent)
                    .withTimeout(kAgentTimeout)
                    .withArguments(path)
                    .uponReplyInvoke([reply, answered](const sdbus::Error* error) {
                        if (answered()) {
                            reply(error ? AgentVerdict::Reject : AgentVerdict::Accept);
                        }
                    });
            },
            [reply] { reply(AgentVerdict::Reject); },
            // A Pair() is under way: its caller meant to pair, and bluetoothd accepts without asking.
            [reply](const Device& d) {
                if (d.bonding) {
                    reply(AgentVerdict::Accept);
                    return true;
                }
                return false;
            });
    }

    void cancel(const std::string& device) override {
        loop_.post([host = host_, adapter = adapter_, owner = owner_, device] {
            auto self = host.lock();
            if (!self) {
                return;
            }
            auto it = self->agents.find(owner);
            if (it != self->agents.end()) {
                const auto where = adapter.lock();
                self->cancelQuestion(it->second, device, where ? where->adapterPath() : std::string());
            }
        });
    }

  private:
    // On the loop, when the agent's reply comes: whether it still counts (the question was not taken back);
    // the agent is free again.
    using Answered = std::function<bool()>;
    using Call = std::function<void(Impl&, sdbus::IProxy&, const sdbus::ObjectPath&, Answered)>;
    // On the loop: the question goes to the agent's object, or, with no agent or device any more, or the agent
    // busy with another `question`, `unanswered` answers it as a refusal. `settled` may answer it unasked.
    void ask(const std::string& device, Call call, std::function<void()> unanswered,
             std::function<bool(const Device&)> settled = nullptr, bool question = true) {
        loop_.post([impl = host_, adapter = adapter_, owner = owner_, device, call = std::move(call),
                    unanswered = std::move(unanswered), settled = std::move(settled), question] {
            auto self = impl.lock();
            if (!self) {
                return;
            }
            auto it = self->agents.find(owner);
            const auto where = adapter.expired() ? self->adapterOf(device) : adapter.lock();
            Device* d = where ? where->find(device) : nullptr;
            if (it == self->agents.end() || d == nullptr) {
                return unanswered();
            }
            if (settled && settled(*d)) {
                return;
            }
            Agent& agent = it->second;
            if (question && agent.question != 0) {
                // bluetoothd's -EBUSY: the kernel is told no, and this pairing fails.
                return unanswered();
            }
            const uint64_t id = question ? ++self->next_id : 0;
            if (question) {
                agent.question = id;
                agent.question_device = device;
                agent.question_adapter = where->adapterPath();
            }
            const Answered answered = [impl, owner, id, registration = agent.registration] {
                auto s = impl.lock();
                if (!s) {
                    return false;
                }
                auto a = s->agents.find(owner);
                if (a == s->agents.end() || a->second.registration != registration) {
                    return true;  // unregistered since (and maybe registered anew): the answer is the agent's all the
                                  // same
                }
                if (a->second.question != id) {
                    return false;  // cancelled: bluetoothd dropped the call
                }
                a->second.question = 0;
                return true;
            };
            self->tree.flush();
            try {
                call(*where, *agent.proxy, sdbus::ObjectPath(d->path), answered);
            } catch (const sdbus::Error&) {
                if (question) {
                    agent.question = 0;
                }
                unanswered();
            }
        });
    }

    const std::weak_ptr<Impl> host_;
    const std::weak_ptr<Impl> adapter_;
    EventLoop& loop_;
    const std::string owner_;
    const IoCapability capability_;
};

// bluetoothd's agent_cancel: the question open about `device` (of adapter `under`, or any), if that is the one,
// is taken back.
void Impl::cancelQuestion(Agent& agent, const std::string& device, const std::string& under) {
    if (agent.question == 0 || agent.question_device != device || (!under.empty() && agent.question_adapter != under)) {
        return;
    }
    agent.question = 0;
    tree.flush();
    try {
        agent.proxy->callMethod("Cancel").onInterface(kAgent).dontExpectReply();
    } catch (const sdbus::Error&) {
    }
}

void Impl::registerAgent(sdbus::MethodCall& call) {
    const std::string owner = call.getSender();
    if (agents.count(owner) != 0) {
        return replyError(call, bluezError("AlreadyExists", "Already Exists"));
    }
    sdbus::ObjectPath path;
    std::string capability_text;
    call >> path >> capability_text;
    const auto capability = capabilityOf(capability_text);
    if (!capability) {
        return replyError(call, invalidArguments());
    }
    Agent agent;
    agent.owner = owner;
    agent.path = path;
    agent.capability = *capability;
    agent.proxy = sdbus::createProxy(tree.connection(), owner, path);
    agent.registration = ++next_id;
    agents.emplace(owner, std::move(agent));
    // The first agent becomes the default one; later ones wait behind it.
    default_agents.push_back(owner);
    if (default_agents.size() == 1) {
        defaultAgentChanged();
    }
    replyOk(call);
}

// The caller's agent at the path the call names; else the call is answered as bluetoothd does and false.
bool Impl::callersAgent(sdbus::MethodCall& call) {
    auto it = agents.find(call.getSender());
    sdbus::ObjectPath path;
    if (it != agents.end()) {
        call >> path;
    }
    if (it == agents.end() || path != it->second.path) {
        replyError(call, bluezError("DoesNotExist", "Does Not Exist"));
        return false;
    }
    return true;
}

void Impl::unregisterAgent(sdbus::MethodCall& call) {
    if (callersAgent(call)) {
        removeAgent(call.getSender());
        replyOk(call);
    }
}

void Impl::requestDefaultAgent(sdbus::MethodCall& call) {
    if (!callersAgent(call)) {
        return;
    }
    const std::string owner = call.getSender();
    if (default_agents.front() != owner) {
        default_agents.erase(std::remove(default_agents.begin(), default_agents.end(), owner), default_agents.end());
        default_agents.push_front(owner);
        defaultAgentChanged();
    }
    replyOk(call);
}

// The agent's client unregistered it or left the bus.
void Impl::removeAgent(const std::string& owner) {
    auto it = agents.find(owner);
    if (it == agents.end()) {
        return;
    }
    agent_graveyard.push_back(std::move(it->second.proxy));
    agents.erase(it);
    const bool was_default = !default_agents.empty() && default_agents.front() == owner;
    default_agents.erase(std::remove(default_agents.begin(), default_agents.end(), owner), default_agents.end());
    if (was_default) {
        defaultAgentChanged();
    }
}

void Impl::defaultAgentChanged() {
    if (central) {
        // Asked also for pairings the other adapters' links start.
        central->setPairingAgent(default_agents.empty() ? nullptr : agentFor(default_agents.front(), false));
    }
}

std::string Impl::agentOwnerFor(const std::string& owner) {
    const auto host = agentHost();
    if (host->agents.count(owner) != 0) {
        return owner;
    }
    return host->default_agents.empty() ? std::string() : host->default_agents.front();
}

std::shared_ptr<platform::radio::PairingAgent> Impl::agentFor(const std::string& owner, bool this_adapter) {
    const auto host = agentHost();
    auto it = host->agents.find(agentOwnerFor(owner));
    if (it == host->agents.end()) {
        return nullptr;
    }
    return std::make_shared<BusAgent>(host, this_adapter ? weak_from_this() : std::weak_ptr<Impl>(), loop, it->first,
                                      it->second.capability);
}

std::shared_ptr<Impl> Impl::agentHost() {
    auto host = agent_host.lock();
    return host ? host : shared_from_this();
}

// The adapter whose link to `key` is up, else the first that knows the device: the host first, then the others.
std::shared_ptr<Impl> Impl::adapterOf(const std::string& key) {
    std::vector<std::shared_ptr<Impl>> all{shared_from_this()};
    for (const auto& weak : agent_guests) {
        if (auto guest = weak.lock()) {
            all.push_back(std::move(guest));
        }
    }
    std::shared_ptr<Impl> known;
    for (const auto& simulator : all) {
        if (const Device* d = simulator->find(key)) {
            if (d->linked()) {
                return simulator;
            }
            if (!known) {
                known = simulator;
            }
        }
    }
    return known;
}

}  // namespace bluezsim
