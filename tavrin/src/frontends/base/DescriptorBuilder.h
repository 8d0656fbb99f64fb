#pragma once

#include <memory>
#include <string>

#include <tavrin/Descriptor.h>

#include "frontends/base/DescriptorBase.h"

namespace Tavrin {

/// Makes a `Descriptor` handle bound to a new `DescriptorBase`; copy it out as a plain `Descriptor`.
class DescriptorBuilder : public Descriptor {
  public:
    explicit DescriptorBuilder(const std::string& uuid) { internal_ = std::make_shared<DescriptorBase>(uuid); }
    ~DescriptorBuilder() override = default;
};

}  // namespace Tavrin
