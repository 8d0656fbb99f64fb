#include "frontends/base/DescriptorBase.h"

namespace Tavrin {

DescriptorBase::DescriptorBase(const std::string& uuid) : uuid_(uuid) {}

std::string DescriptorBase::uuid() const {
    return uuid_;
}

}  // namespace Tavrin
