#include <tavrin/TimeLimits.h>

#include <stdexcept>
#include <string>
#include <utility>

namespace Tavrin {

void TimeLimits::validate() const {
    const std::pair<const char*, std::chrono::milliseconds> limits[] = {
        {"connection", connection},
        {"service_discovery", service_discovery},
        {"characteristic_discovery", characteristic_discovery},
        {"descriptor_discovery", descriptor_discovery},
        {"request", request},
        {"disconnection", disconnection},
        {"pairing", pairing},
    };
    for (const auto& [name, limit] : limits) {
        if (limit.count() <= 0) {
            throw std::invalid_argument(std::string("TimeLimits.") + name + " must be positive, not " +
                                        std::to_string(limit.count()) + " ms");
        }
    }
}

bool TimeLimits::operator==(const TimeLimits& other) const {
    return connection == other.connection && service_discovery == other.service_discovery &&
           characteristic_discovery == other.characteristic_discovery &&
           descriptor_discovery == other.descriptor_discovery && request == other.request &&
           disconnection == other.disconnection && pairing == other.pairing;
}

}  // namespace Tavrin
