// Small value types shared by the records.
#pragma once

#include <cstdint>
#include <string>

namespace tilu {

struct Color {
    std::uint8_t r, g, b;

    // "Color r: R, b: B, g: G" (that order).
    std::string text() const;
};

}  // namespace tilu
