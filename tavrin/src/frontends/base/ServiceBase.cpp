#include "frontends/base/ServiceBase.h"

namespace Tavrin {

ServiceBase::ServiceBase(const std::string& uuid) : uuid_(uuid) {}

ServiceBase::ServiceBase(const std::string& uuid, const std::string& data) : uuid_(uuid), data_(data) {}

ServiceBase::ServiceBase(const std::string& uuid, const std::vector<Characteristic>& characteristics)
    : uuid_(uuid), characteristics_(characteristics) {}

std::string ServiceBase::uuid() const {
    return uuid_;
}

std::string ServiceBase::data() const {
    return data_;
}

std::vector<Characteristic> ServiceBase::characteristics() const {
    return characteristics_;
}

}  // namespace Tavrin
