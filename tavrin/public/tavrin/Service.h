#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Characteristic.h"

namespace Tavrin {

class ServiceBase;

/// A service of a peripheral, either discovered (with its characteristics) or advertised (with its
/// service data bytes). A read-only snapshot shared between copies.
class Service {
public:
    Service();
    virtual ~Service();

    /// The service UUID, lower-case 36-character text.
    std::string uuid();
    /// The advertised service data bytes; empty for a discovered service.
    std::string data();
    /// The characteristics in the order the peripheral lists them; empty for an advertised service.
    std::vector<Characteristic> characteristics();

protected:
    std::shared_ptr<ServiceBase> internal_;
};

}  // namespace Tavrin
