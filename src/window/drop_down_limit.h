// A drop-down list that shows a fixed number of entries at a time.
#pragma once

class QComboBox;

namespace tavrelle::window {

// Makes `box` show at most `entries` entries at a time and scroll through the
// rest. Styles whose drop-down is a menu (Fusion among them) ignore a combo
// box's maximum and fill the screen's height; the box is given a style of
// its own that keeps the plain list.
void limitVisibleEntries(QComboBox& box, int entries);

}  // namespace tavrelle::window
