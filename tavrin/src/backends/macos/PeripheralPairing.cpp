// A peripheral's pairing: pair, ask, forget, each through the platform peripheral where its radio pairs.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include <platform/CoreBluetooth.h>
#include <platform/Deadline.h>
#include <tavrin/Exceptions.h>

#include "backends/macos/PeripheralBase.h"
#include "backends/macos/PeripheralBaseMacOS.h"

namespace Tavrin {

namespace {

// How long a canceled pairing or an unpair() may take to be answered.
constexpr auto kSettleLimit = std::chrono::seconds(5);

// One platform answer, waited for on the caller's thread; the platform answers on its radio's thread.
struct Answer {
    std::mutex mutex;
    std::condition_variable done;
    bool answered = false;
    std::optional<platform::NSError> error;

    std::function<void(const platform::NSError*)> completion(const std::shared_ptr<Answer>& self) {
        return [self](const platform::NSError* e) {
            std::lock_guard<std::mutex> lock(self->mutex);
            if (!self->answered) {
                self->answered = true;
                if (e != nullptr) {
                    self->error = *e;
                }
                self->done.notify_all();
            }
        };
    }
    template <typename Duration>
    bool wait(Duration limit) {
        std::unique_lock<std::mutex> lock(mutex);
        return done.wait_until(lock, platform::deadlineAfter<std::chrono::steady_clock>(limit),
                               [this] { return answered; });
    }
};

}  // namespace

void PeripheralBase::pair() {
    const platform::CBPeripheralPtr& peripheral = delegate_->underlying();
    if (!peripheral->pairingSupported()) {
        throw Exception::OperationNotSupported();
    }
    // The pairing, the agent's answers included, before it is cancelled.
    const auto limit = time_limits().pairing;
    // One pairing at a time: a second caller waits for the first one's outcome. A cancel_pairing() from now on
    // ends this call too.
    uint64_t cancels = 0;
    {
        std::unique_lock<std::mutex> lock(pairing_mutex_);
        cancels = pairing_cancels_;
        using Clock = std::chrono::steady_clock;
        const auto deadline = platform::deadlineAfter<Clock>(kSettleLimit, platform::deadlineAfter<Clock>(limit));
        if (!pairing_done_.wait_until(lock, deadline, [&] { return !pairing_ || pairing_cancels_ != cancels; })) {
            platform::NSLog("Pairing with %@ did not end in time on another thread", peripheral);
            throw Exception::OperationFailed("Pair");
        }
        if (pairing_cancels_ != cancels) {
            platform::NSLog("Pairing with %@ was canceled before it started", peripheral);
            throw Exception::OperationFailed("Pair");
        }
        pairing_ = true;
    }
    struct Done {
        PeripheralBase& self;
        ~Done() {
            {
                std::lock_guard<std::mutex> lock(self.pairing_mutex_);
                self.pairing_ = false;
                self.pairing_started_ = false;
            }
            self.pairing_done_.notify_all();
        }
    } done{*this};
    bool paired = false;
    try {
        paired = peripheral->isPaired();
    } catch (const platform::NSException& e) {
        platform::NSLog("Pairing with %@ failed: %@", peripheral, e.reason());
        throw Exception::OperationFailed("Pair");
    }
    if (paired) {
        return;
    }
    if (!delegate_->isConnected()) {
        connect();
    }
    auto answer = std::make_shared<Answer>();
    {
        // Handed over under the lock: a cancel finds the pairing started, or this call not yet pairing.
        std::lock_guard<std::mutex> lock(pairing_mutex_);
        if (pairing_cancels_ != cancels) {
            platform::NSLog("Pairing with %@ was canceled before it started", peripheral);
            throw Exception::OperationFailed("Pair");
        }
        pairing_started_ = true;
        peripheral->pair(answer->completion(answer));
    }
    if (!answer->wait(limit)) {
        peripheral->cancelPairing();
        answer->wait(kSettleLimit);
        platform::NSLog("Pairing with %@ failed: no answer within %@ ms, canceled", peripheral,
                        std::to_string(limit.count()));
        throw Exception::OperationFailed("Pair");
    }
    std::lock_guard<std::mutex> lock(answer->mutex);
    if (answer->error) {
        platform::NSLog("Pairing with %@ failed: %@ (%@)", peripheral, answer->error->description,
                        answer->error->domain);
        throw Exception::OperationFailed("Pair");
    }
}

void PeripheralBase::cancel_pairing() {
    const platform::CBPeripheralPtr& peripheral = delegate_->underlying();
    if (!peripheral->pairingSupported()) {
        throw Exception::OperationNotSupported();
    }
    {
        std::lock_guard<std::mutex> lock(pairing_mutex_);
        if (!pairing_) {
            return;  // nothing under way, and so nobody waiting either
        }
        ++pairing_cancels_;
        // Under the lock, so that it cannot reach a pairing that starts after this call.
        if (pairing_started_) {
            peripheral->cancelPairing();
        }
    }
    pairing_done_.notify_all();  // the calls waiting for their turn end too
}

bool PeripheralBase::is_paired() {
    const platform::CBPeripheralPtr& peripheral = delegate_->underlying();
    if (!peripheral->pairingSupported()) {
        throw Exception::OperationNotSupported();
    }
    try {
        return peripheral->isPaired();
    } catch (const platform::NSException& e) {
        platform::NSLog("Whether %@ is paired is unknown: %@", peripheral, e.reason());
        throw Exception::OperationFailed("Is Paired");
    }
}

void PeripheralBase::unpair() {
    const platform::CBPeripheralPtr& peripheral = delegate_->underlying();
    if (!peripheral->pairingSupported()) {
        throw Exception::OperationNotSupported();
    }
    if (delegate_->isConnected()) {
        disconnect();
    }
    auto answer = std::make_shared<Answer>();
    peripheral->unpair(answer->completion(answer));
    if (!answer->wait(kSettleLimit)) {
        platform::NSLog("Unpairing %@ failed: no answer within 5 s", peripheral);
        throw Exception::OperationFailed("Unpair");
    }
    std::lock_guard<std::mutex> lock(answer->mutex);
    if (answer->error) {
        platform::NSLog("Unpairing %@ failed: %@ (%@)", peripheral, answer->error->description, answer->error->domain);
        throw Exception::OperationFailed("Unpair");
    }
}

}  // namespace Tavrin
