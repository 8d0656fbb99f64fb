#pragma once

#include <memory>
#include <utility>

#include <tavrin/Adapter.h>

#include "backends/macos/AdapterBase.h"

namespace Tavrin {

/// Makes an `Adapter` handle bound to a backend object; copy it out as a plain `Adapter`.
class AdapterBuilder : public Adapter {
  public:
    explicit AdapterBuilder(std::shared_ptr<AdapterBase> backend) { backend_ = std::move(backend); }
    ~AdapterBuilder() override = default;
};

}  // namespace Tavrin
