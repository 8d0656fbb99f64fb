#include <tavrin/Descriptor.h>

#include <tavrin/Exceptions.h>

#include "frontends/base/DescriptorBase.h"

namespace Tavrin {

namespace {

// A default-constructed handle is bound to nothing; refuse rather than dereference null.
const DescriptorBase& bound(const std::shared_ptr<DescriptorBase>& internal) {
    if (!internal) {
        throw Exception::NotInitialized();
    }
    return *internal;
}

}  // namespace

Descriptor::Descriptor() = default;
Descriptor::~Descriptor() = default;

std::string Descriptor::uuid() {
    return bound(internal_).uuid();
}

}  // namespace Tavrin
