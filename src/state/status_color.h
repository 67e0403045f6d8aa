#pragma once

#include <cstdint>

// Colour of a status text, as plain RGB so that the core needs no toolkit.
struct StatusColor {
    uint8_t r = 0, g = 0, b = 0;
    friend bool operator==(const StatusColor&, const StatusColor&) = default;
};

namespace StatusColors {
inline constexpr StatusColor green{0, 128, 0};
inline constexpr StatusColor red{255, 0, 0};
inline constexpr StatusColor blue{0, 0, 255};
inline constexpr StatusColor yellow{255, 255, 0};
inline constexpr StatusColor purple{128, 0, 128};
inline constexpr StatusColor teal{0, 128, 128};
inline constexpr StatusColor lime{0, 255, 0};
}  // namespace StatusColors
