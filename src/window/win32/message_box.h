// The two kinds of boxes the tool shows: its own message box (centred, no
// icon, its text wrapped at half the screen's width, one "OK" that Enter and
// Esc answer) and the error box for settings failures, the system's box with
// a stop icon.
#pragma once

#include "midi/midi_out_port.h"

#include <windows.h>

#include <string>

namespace tavrelle::window {

class MessageBoxPresenter final : public midi::MessagePresenter {
public:
    explicit MessageBoxPresenter(std::wstring title) : title_(std::move(title)) {}
    // The window the boxes keep disabled while they are open; until it is
    // shown, the boxes stand alone.
    void setOwner(HWND owner) { owner_ = owner; }

    void showMessage(const std::string& text) override;
    void showError(const std::string& text) override;

private:
    std::wstring title_;
    HWND owner_ = nullptr;
};

}  // namespace tavrelle::window
