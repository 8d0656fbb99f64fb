#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <tavrin/Service.h>

#include "frontends/base/ServiceBase.h"

namespace Tavrin {

/// Makes a `Service` handle bound to a new `ServiceBase`; copy it out as a plain `Service`.
class ServiceBuilder : public Service {
  public:
    explicit ServiceBuilder(const std::string& uuid) { internal_ = std::make_shared<ServiceBase>(uuid); }
    /// A service taken from advertisement service data.
    ServiceBuilder(const std::string& uuid, const std::string& data) {
        internal_ = std::make_shared<ServiceBase>(uuid, data);
    }
    /// A discovered service.
    ServiceBuilder(const std::string& uuid, std::vector<Characteristic> characteristics) {
        internal_ = std::make_shared<ServiceBase>(uuid, characteristics);
    }
    ~ServiceBuilder() override = default;
};

}  // namespace Tavrin
