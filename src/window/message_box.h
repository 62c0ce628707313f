#pragma once

#include "midi/midi_out_port.h"

#include <QString>

#include <string>

class QWidget;

namespace tavrelle::window {

// The boxes, titled with the application title.
class DialogPresenter final : public midi::MessagePresenter {
public:
    explicit DialogPresenter(QString title) : title_(std::move(title)) {}
    void showMessage(const std::string& text) override;
    void showError(const std::string& text) override;

private:
    QString title_;
};

}  // namespace tavrelle::window
