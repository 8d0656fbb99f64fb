#pragma once
// The program's pairing agent as the platform's radio sees it: every question runs the program's callback on a
// thread of its own and answers the radio from there, so the radio's thread never waits for the program.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <platform/Radio.h>
#include <tavrin/PairingAgent.h>

namespace Tavrin {

class PairingAgentBridge : public platform::radio::PairingAgent,
                           public std::enable_shared_from_this<PairingAgentBridge> {
  public:
    explicit PairingAgentBridge(Tavrin::PairingAgent agent);

    platform::radio::IoCapability capability() const override;
    void requestPasskey(const platform::radio::DeviceKey& device, platform::radio::PasskeyReply reply) override;
    void displayPasskey(const platform::radio::DeviceKey& device, uint32_t passkey, uint16_t entered) override;
    void requestConfirmation(const platform::radio::DeviceKey& device, uint32_t passkey,
                             platform::radio::ConfirmReply reply) override;
    void requestAuthorization(const platform::radio::DeviceKey& device, platform::radio::ConfirmReply reply) override;
    void cancel(const platform::radio::DeviceKey& device) override;

    /// The agent is uninstalled or replaced: every open question is answered as canceled at once, and the
    /// callbacks still running answer nothing.
    void retire();

  private:
    // One open question: its answer, given once, by the callback's thread or by retire()/cancel().
    struct Question {
        platform::radio::DeviceKey device;
        std::function<void(platform::radio::AgentVerdict, uint32_t)> answer;
    };
    uint64_t open(platform::radio::DeviceKey device,
                  std::function<void(platform::radio::AgentVerdict, uint32_t)> answer);
    /// Answers question `id` if still open.
    void settle(uint64_t id, platform::radio::AgentVerdict verdict, uint32_t passkey);
    /// Refuses question `id` when it goes out of scope, unless answered before: a callback that throws, or
    /// one that is missing, refuses.
    struct Refusal {
        PairingAgentBridge& self;
        uint64_t id;
        ~Refusal() { self.settle(id, platform::radio::AgentVerdict::Reject, 0); }
    };
    /// Runs `body` on a thread of its own, keeping this object alive; what it throws counts as a refusal.
    template <typename Body>
    void detach(Body body);

    const Tavrin::PairingAgent agent_;  // fixed at construction
    std::mutex mutex_;                  // guards questions_, next_, retired_
    std::map<uint64_t, Question> questions_;
    uint64_t next_ = 0;
    bool retired_ = false;
};

}  // namespace Tavrin
