#pragma once

#include <string>
#include <vector>

#include <tavrin/Characteristic.h>

namespace Tavrin {

/// The values behind a `Service` handle: set once at construction, never changed, shared by every copy.
class ServiceBase {
  public:
    explicit ServiceBase(const std::string& uuid);
    /// A service known from advertisement service data.
    ServiceBase(const std::string& uuid, const std::string& data);
    /// A discovered service.
    ServiceBase(const std::string& uuid, const std::vector<Characteristic>& characteristics);
    virtual ~ServiceBase() = default;

    std::string uuid() const;
    std::string data() const;
    std::vector<Characteristic> characteristics() const;

  private:
    std::string uuid_;
    std::string data_;
    std::vector<Characteristic> characteristics_;
};

}  // namespace Tavrin
