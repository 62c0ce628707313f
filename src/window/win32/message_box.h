// The tool's own box (centred, wrapped at half the screen, one "OK" that
// Enter and Esc answer): without an icon for messages, with the stop icon
// for settings errors.
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
    void show(const std::string& text, HICON icon);

    std::wstring title_;
    HWND owner_ = nullptr;
};

}  // namespace tavrelle::window
