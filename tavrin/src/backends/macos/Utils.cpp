#include "backends/macos/Utils.h"

#include <string>

namespace Tavrin {

std::string uuidToTavrin(const platform::CBUUID& uuid) {
    // Written digit by digit: the scan path converts every advertised service of every advertisement.
    static constexpr char kDigits[] = "0123456789abcdef";
    const auto& b = uuid.data();
    const auto hex = [&](std::string& out, size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) {
            out.push_back(kDigits[b[i] >> 4]);
            out.push_back(kDigits[b[i] & 0x0F]);
        }
    };
    std::string text;
    if (uuid.bits() == 32) {
        text.reserve(8);
        hex(text, 0, 4);
        return text;
    }
    text.reserve(36);
    if (uuid.bits() == 16) {
        text = "0000";
        hex(text, 2, 4);
        text += "-0000-1000-8000-00805f9b34fb";
        return text;
    }
    hex(text, 0, 4);
    text.push_back('-');
    hex(text, 4, 6);
    text.push_back('-');
    hex(text, 6, 8);
    text.push_back('-');
    hex(text, 8, 10);
    text.push_back('-');
    hex(text, 10, 16);
    return text;
}

}  // namespace Tavrin
