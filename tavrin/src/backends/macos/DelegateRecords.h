#pragma once
// The peripheral delegate's bookkeeping: per attribute (a service's characteristic, a characteristic's
// descriptor), the requests still waiting for their answers and the value callback a subscription
// stored. Plain values; the delegate's mutex guards every access.

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include <platform/CoreBluetooth.h>

namespace Tavrin {

/// One request waiting for its answer. The answering event fills it in; the call that made it reads it
/// once it wakes, and takes it off its queue whatever the outcome.
struct request_t {
    bool answered = false;  // the answer came, or the link went
    bool failed = false;    // the answer carried an error, or the link went
    std::string value;      // a read's answer: the attribute's value as that answer left it
};
using request_ptr = std::shared_ptr<request_t>;

/// Outstanding requests of one kind to one attribute, oldest first. A link answers its requests in the
/// order they were made, so an answer belongs to the oldest request not yet answered. A request that
/// gave up has left the queue: a late answer then goes to the next one (or, for a read, is taken for an
/// ordinary value update).
struct request_queue_t {
    std::deque<request_ptr> requests;

    request_ptr add() {
        requests.push_back(std::make_shared<request_t>());
        return requests.back();
    }
    /// The oldest request still waiting for its answer, or nullptr.
    request_t* oldest_unanswered() const {
        for (const request_ptr& request : requests) {
            if (!request->answered) {
                return request.get();
            }
        }
        return nullptr;
    }
    /// Answers the oldest waiting request; false when none waits.
    bool answer(bool failed) {
        request_t* request = oldest_unanswered();
        if (!request) {
            return false;
        }
        request->answered = true;
        request->failed = failed;
        return true;
    }
    /// Ends every waiting request as failed (the link went); true when there was one.
    bool fail_all() {
        bool any = false;
        for (const request_ptr& request : requests) {
            if (!request->answered) {
                request->answered = true;
                request->failed = true;
                any = true;
            }
        }
        return any;
    }
    void remove(const request_ptr& request) {
        const auto it = std::find(requests.begin(), requests.end(), request);
        if (it != requests.end()) {
            requests.erase(it);
        }
    }
    bool pending() const { return oldest_unanswered() != nullptr; }
};

/// A caller's value callback as stored by a subscription. Deliveries hold it while they call it, so a
/// replaced callback finishes its running call unharmed; `running` lets an unsubscription wait for it.
struct value_callback_t {
    explicit value_callback_t(std::function<void(std::string)> f) : function(std::move(f)) {}
    const std::function<void(std::string)> function;
    unsigned running = 0;  // calls in progress; guarded by the delegate's mutex
};

struct descriptor_extras_t {
    platform::CBDescriptorPtr descriptor;  // the key's object, held so that its address stays its own
    std::string uuid;                      // lower-case 128-bit text of its UUID
    request_queue_t reads;
    request_queue_t writes;
};

struct characteristic_extras_t {
    platform::CBCharacteristicPtr characteristic;  // the key's object, held so that its address stays its own
    std::string service_uuid;                      // lower-case 128-bit text of its service's UUID
    std::string uuid;                              // lower-case 128-bit text of its UUID
    uint64_t order = 0;                            // creation order, for the diagnostic view
    request_queue_t reads;
    request_queue_t writes;         // writes with response
    request_queue_t subscriptions;  // notification-state changes
    // Keyed by the platform descriptor object: one record per descriptor of this characteristic.
    std::map<const platform::CBDescriptor*, descriptor_extras_t> descriptor_extras;
    // Receives each value update that is not the answer to a read; empty unless subscribed.
    std::shared_ptr<value_callback_t> value_changed_callback;
    uint64_t callback_serial = 0;  // bumped by every subscription, so an unsubscription clears only what it ended
};

/// Diagnostic copy of one characteristic's record (tests): what is outstanding, whether a callback is stored.
struct descriptor_state_t {
    bool read_pending = false;
    bool write_pending = false;
};

struct characteristic_state_t {
    std::string service_uuid;
    bool read_pending = false;
    bool write_pending = false;
    std::map<std::string, descriptor_state_t> descriptor_extras;  // by descriptor UUID text
    bool value_changed_callback = false;
};

}  // namespace Tavrin
