#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Descriptor.h"

namespace Tavrin {

class CharacteristicBase;

/// A characteristic of a discovered service and what it can do: a read-only snapshot shared between copies.
class Characteristic {
public:
    Characteristic();
    virtual ~Characteristic();

    /// The characteristic UUID, lower-case 36-character text.
    std::string uuid();
    std::vector<Descriptor> descriptors();

    bool can_read();
    bool can_write_request();
    bool can_write_command();
    bool can_notify();
    bool can_indicate();

    /// The names of the set flags, in the order "read", "write_request", "write_command", "notify", "indicate".
    std::vector<std::string> capabilities();

protected:
    std::shared_ptr<CharacteristicBase> internal_;
};

}  // namespace Tavrin
