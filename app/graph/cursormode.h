#pragma once
// The graph's mouse modes. CursorMode (47) holds them as the numbers hosts know; a stored
// number that names no mode leaves the mouse doing nothing, like Normal.

#include <cstdint>
#include <optional>

namespace zrvlog {

enum class CursorMode : int32_t {
  Normal = 0,  ///< the mouse does nothing but a double-click, which fits the view to the data
  Track = 1,   ///< the cursor follows the mouse and the position is reported
  Zoom = 2,    ///< drag a rectangle to zoom into it; the right button zooms out
  Pan = 3,     ///< drag to move the visible range
};

constexpr CursorMode kCursorModes[] = {CursorMode::Normal, CursorMode::Track, CursorMode::Zoom,
                                       CursorMode::Pan};

/// The mode a stored number names, or nothing.
constexpr std::optional<CursorMode> cursorModeOf(int32_t value) {
  for (CursorMode mode : kCursorModes)
    if (static_cast<int32_t>(mode) == value) return mode;
  return std::nullopt;
}

}  // namespace zrvlog
