#pragma once

#include <memory>
#include <utility>

#include <tavrin/Peripheral.h>

#include "backends/macos/PeripheralBase.h"

namespace Tavrin {

/// Makes a `Peripheral` handle bound to a backend object; copy it out as a plain `Peripheral`.
class PeripheralBuilder : public Peripheral {
  public:
    explicit PeripheralBuilder(std::shared_ptr<PeripheralBase> internal) { internal_ = std::move(internal); }
    ~PeripheralBuilder() override = default;
};

}  // namespace Tavrin
