#pragma once

class QComboBox;

namespace tavrelle::window {

// Styles whose drop-down is a menu (Fusion among them) ignore a combo box's
// maximum and fill the screen's height; `box` gets a style that keeps a list.
void limitVisibleEntries(QComboBox& box, int entries);

}  // namespace tavrelle::window
