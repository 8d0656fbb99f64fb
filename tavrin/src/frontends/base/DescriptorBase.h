#pragma once

#include <string>

namespace Tavrin {

/// The value behind a `Descriptor` handle: set once at construction, shared by every copy.
class DescriptorBase {
  public:
    explicit DescriptorBase(const std::string& uuid);
    virtual ~DescriptorBase() = default;

    std::string uuid() const;

  private:
    std::string uuid_;
};

}  // namespace Tavrin
