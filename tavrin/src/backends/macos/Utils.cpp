#include "backends/macos/Utils.h"

#include <cctype>

#include <fmt/format.h>

namespace Tavrin {

std::string uuidToTavrin(const platform::CBUUID& uuid) {
    std::string text = uuid.UUIDString();
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (text.size() == 4) {
        return fmt::format("0000{}-0000-1000-8000-00805f9b34fb", text);
    }
    return text;
}

}  // namespace Tavrin
