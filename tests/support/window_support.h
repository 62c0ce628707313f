// What the start-up and window tests share: the window's views as plain
// values, and whole-file I/O (scratch_files.h).
#pragma once

#include "support/scratch_files.h"
#include "window/startup_shutdown.h"

#include <ostream>

namespace tavrelle::window {
inline std::ostream& operator<<(std::ostream& out, const OuterBounds& b)
{
    return out << "left " << b.left << " top " << b.top << " width " << b.width << " height " << b.height;
}
}  // namespace tavrelle::window

namespace tavrelle::testing {

// A window's bounds as plain numbers, on a desktop of 1920 x 1080.
class FakeWindowBounds final : public window::WindowBoundsView {
public:
    window::OuterBounds bounds = window::kDesignedBounds;
    window::OuterBounds desktop{0, 0, 1920, 1080};
    window::OuterBounds outerBounds() const override { return bounds; }
    void setOuterBounds(const window::OuterBounds& b) override { bounds = b; }
    window::OuterBounds availableDesktop() const override { return desktop; }
    bool positionKnown() const override { return knowsPosition; }
    bool knowsPosition = true;
};

}  // namespace tavrelle::testing
