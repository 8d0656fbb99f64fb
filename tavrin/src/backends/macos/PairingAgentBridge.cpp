#include "backends/macos/PairingAgentBridge.h"

#include <thread>
#include <utility>
#include <vector>

#include <platform/Foundation.h>

namespace Tavrin {

using platform::radio::AgentVerdict;

PairingAgentBridge::PairingAgentBridge(Tavrin::PairingAgent agent) : agent_(std::move(agent)) {}

platform::radio::IoCapability PairingAgentBridge::capability() const {
    switch (agent_.capability) {
        case IoCapability::DisplayOnly:
            return platform::radio::IoCapability::DisplayOnly;
        case IoCapability::DisplayYesNo:
            return platform::radio::IoCapability::DisplayYesNo;
        case IoCapability::KeyboardOnly:
            return platform::radio::IoCapability::KeyboardOnly;
        case IoCapability::NoInputNoOutput:
            return platform::radio::IoCapability::NoInputNoOutput;
        case IoCapability::KeyboardDisplay:
            break;
    }
    return platform::radio::IoCapability::KeyboardDisplay;
}

uint64_t PairingAgentBridge::open(platform::radio::DeviceKey device,
                                  std::function<void(AgentVerdict, uint32_t)> answer) {
    bool retired = false;
    uint64_t id = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        retired = retired_;
        if (!retired) {
            id = ++next_;
            questions_.emplace(id, Question{std::move(device), answer});
        }
    }
    if (retired) {
        answer(AgentVerdict::Cancel, 0);
    }
    return id;
}

void PairingAgentBridge::settle(uint64_t id, AgentVerdict verdict, uint32_t passkey) {
    std::function<void(AgentVerdict, uint32_t)> answer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = questions_.find(id);
        if (it == questions_.end()) {
            return;
        }
        answer = std::move(it->second.answer);
        questions_.erase(it);
    }
    answer(verdict, passkey);
}

template <typename Body>
void PairingAgentBridge::detach(Body body) {
    // The program's callback may block for as long as it likes: it holds only this thread, and the pairing
    // that asked ends at its own limit meanwhile.
    std::thread([self = shared_from_this(), body = std::move(body)]() mutable {
        try {
            body(*self);
        } catch (const platform::ThreadEnd&) {
            throw;  // the question is refused as its Refusal goes
        } catch (const std::exception& e) {
            platform::NSLog("Exception in a pairing agent callback: %@", std::string(e.what()));
        } catch (...) {
            platform::NSLog("Exception in a pairing agent callback");
        }
    }).detach();
}

void PairingAgentBridge::requestPasskey(const platform::radio::DeviceKey& device, platform::radio::PasskeyReply reply) {
    const uint64_t id = open(device, [reply](AgentVerdict verdict, uint32_t passkey) { reply(verdict, passkey); });
    if (id == 0) {
        return;
    }
    detach([id, device](PairingAgentBridge& self) {
        const Refusal refusal{self, id};
        if (self.agent_.request_passkey) {
            const uint32_t passkey = self.agent_.request_passkey(device);
            self.settle(id, passkey <= 999999 ? AgentVerdict::Accept : AgentVerdict::Reject, passkey);
        }
    });
}

void PairingAgentBridge::displayPasskey(const platform::radio::DeviceKey& device, uint32_t passkey,
                                        uint16_t /*entered*/) {
    if (!agent_.display_passkey) {
        return;
    }
    detach([device, passkey](PairingAgentBridge& self) { self.agent_.display_passkey(device, passkey); });
}

void PairingAgentBridge::requestConfirmation(const platform::radio::DeviceKey& device, uint32_t passkey,
                                             platform::radio::ConfirmReply reply) {
    const uint64_t id = open(device, [reply](AgentVerdict verdict, uint32_t) { reply(verdict); });
    if (id == 0) {
        return;
    }
    detach([id, device, passkey](PairingAgentBridge& self) {
        const Refusal refusal{self, id};
        if (self.agent_.confirm) {
            self.settle(id, self.agent_.confirm(device, passkey) ? AgentVerdict::Accept : AgentVerdict::Reject, 0);
        }
    });
}

void PairingAgentBridge::requestAuthorization(const platform::radio::DeviceKey& device,
                                              platform::radio::ConfirmReply reply) {
    const uint64_t id = open(device, [reply](AgentVerdict verdict, uint32_t) { reply(verdict); });
    if (id == 0) {
        return;
    }
    detach([id, device](PairingAgentBridge& self) {
        const Refusal refusal{self, id};
        if (self.agent_.authorize) {
            self.settle(id, self.agent_.authorize(device) ? AgentVerdict::Accept : AgentVerdict::Reject, 0);
        }
    });
}

void PairingAgentBridge::cancel(const platform::radio::DeviceKey& device) {
    {
        // The radio wants no answer any more: a late one is dropped.
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = questions_.begin(); it != questions_.end();) {
            it = it->second.device == device ? questions_.erase(it) : std::next(it);
        }
    }
    if (agent_.cancel) {
        detach([device](PairingAgentBridge& self) { self.agent_.cancel(device); });
    }
}

void PairingAgentBridge::retire() {
    std::map<uint64_t, Question> open_questions;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        retired_ = true;
        open_questions.swap(questions_);
    }
    for (auto& [id, question] : open_questions) {
        question.answer(AgentVerdict::Cancel, 0);
    }
}

}  // namespace Tavrin
