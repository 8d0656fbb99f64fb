#include <tavrin/Exceptions.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace Tavrin::Exception;

struct ExceptionCase {
    const char* name;
    std::function<void()> raise;
    std::string text;
};

TEST(Exceptions, EveryTextCaughtThroughBothBases) {
    const std::vector<ExceptionCase> cases = {
        {"BaseException", [] { throw BaseException("Invalid service parameter."); }, "Invalid service parameter."},
        {"NotInitialized", [] { throw NotInitialized(); }, "Object has not been initialized."},
        {"NotConnected", [] { throw NotConnected(); }, "Peripheral is not connected."},
        {"InvalidReference", [] { throw InvalidReference(); }, "Underlying reference to object is invalid."},
        {"ServiceNotFound", [] { throw ServiceNotFound("180d"); }, "Service with UUID 180d not found."},
        {"ServiceNotFound empty", [] { throw ServiceNotFound(""); }, "Service with UUID  not found."},
        {"CharacteristicNotFound", [] { throw CharacteristicNotFound("2a37"); },
         "Characteristic with UUID 2a37 not found"},
        {"DescriptorNotFound", [] { throw DescriptorNotFound("2902"); }, "Descriptor with UUID 2902 not found"},
        {"OperationNotSupported", [] { throw OperationNotSupported(); }, "The requested operation is not supported."},
        {"OperationFailed", [] { throw OperationFailed(); }, "The requested operation has failed."},
        {"OperationFailed message", [] { throw OperationFailed("Characteristic Write Request"); },
         "Operation Failed: Characteristic Write Request"},
        {"OperationFailed empty", [] { throw OperationFailed(""); }, "Operation Failed: "},
        {"WinRTException", [] { throw WinRTException(-5, "x"); }, "WinRT Exception. Error code -5: x"},
        {"WinRTException positive", [] { throw WinRTException(42, "busy"); }, "WinRT Exception. Error code 42: busy"},
        {"CoreBluetoothException", [] { throw CoreBluetoothException("powered off"); },
         "CoreBluetooth Exception: powered off"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bool caught = false;
        try {
            c.raise();
        } catch (const BaseException& e) {
            caught = true;
            EXPECT_EQ(e.what(), c.text);
        }
        EXPECT_TRUE(caught);

        caught = false;
        try {
            c.raise();
        } catch (const std::runtime_error& e) {
            caught = true;
            EXPECT_EQ(e.what(), c.text);
        }
        EXPECT_TRUE(caught);
    }
}

}  // namespace
