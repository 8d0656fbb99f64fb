#pragma once
// The peripheral delegate's bookkeeping: per characteristic (and per descriptor) which requests are
// outstanding and which value callback a subscription stored. Plain values; the delegate's recursive
// lock guards every access.

#include <functional>
#include <map>
#include <string>

namespace Tavrin {

struct descriptor_extras_t {
    bool read_pending = false;   // a descriptor read waits for its answer
    bool write_pending = false;  // a descriptor write waits for its confirmation
};

struct characteristic_extras_t {
    bool read_pending = false;   // a characteristic read waits for its answer
    bool write_pending = false;  // a write with response waits for its confirmation
    // Descriptor UUID text (lower-case 128-bit form) -> its record.
    std::map<std::string, descriptor_extras_t> descriptor_extras;
    // Receives each value update that is not the answer to a read; empty unless subscribed.
    std::function<void(std::string)> value_changed_callback;
};

}  // namespace Tavrin
