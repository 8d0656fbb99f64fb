#pragma once

#include <memory>
#include <string>

namespace Tavrin {

class DescriptorBase;

/// A descriptor of a discovered characteristic: a read-only snapshot shared between copies.
class Descriptor {
public:
    Descriptor();
    virtual ~Descriptor();

    /// The descriptor UUID, lower-case 36-character text.
    std::string uuid();

protected:
    std::shared_ptr<DescriptorBase> internal_;
};

}  // namespace Tavrin
