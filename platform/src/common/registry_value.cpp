#include "platform/registry.h"

namespace platform::reg {

Value Value::String(std::string_view text, Type type) {
    return Value{type, std::vector<uint8_t>(text.begin(), text.end())};
}

Value Value::Dword(uint32_t number) {
    return Value{Type::Dword,
                 {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
                  static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)}};
}

Value Value::Binary(std::vector<uint8_t> bytes) {
    return Value{Type::Binary, std::move(bytes)};
}

std::string Value::AsString() const {
    if (type != Type::Sz && type != Type::ExpandSz) return {};
    return std::string(data.begin(), data.end());
}

uint32_t Value::AsDword() const {
    if (type != Type::Dword || data.size() < 4) return 0;
    return static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
           static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
}

}  // namespace platform::reg
