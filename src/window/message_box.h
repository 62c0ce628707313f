// The two kinds of boxes the tool shows: its own message box and the error
// box for settings failures.
#pragma once

#include "midi/midi_out_port.h"

#include <QString>

#include <string>

class QWidget;

namespace tavrelle::window {

// The application title shown on every box: the executable's file name cut
// at its first ".", every character after the first in lower case.
QString applicationTitle(const QString& executablePath);

// An error text with "." appended unless its last character is a single byte
// of value 0x2E or less.
QString errorBoxText(const std::string& message);

// The boxes themselves, titled with the application title.
class DialogPresenter final : public midi::MessagePresenter {
public:
    explicit DialogPresenter(QString title) : title_(std::move(title)) {}
    void showMessage(const std::string& text) override;
    void showError(const std::string& text) override;

private:
    QString title_;
};

}  // namespace tavrelle::window
