// What the window tests share: captured message boxes and whole-file I/O.
#pragma once

#include "window/message_box.h"

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace tavrelle::testing {

// Captures both kinds of boxes in one ordered list ("M:" message, "E:" error).
class CapturingPresenter final : public window::MessagePresenter {
public:
    std::vector<std::string> shown;
    // Runs as each box would show, e.g. to look at the window at that moment.
    std::function<void()> onShow;
    void showMessage(const std::string& text) override { record("M:" + text); }
    void showError(const std::string& text) override { record("E:" + text); }

private:
    void record(std::string entry)
    {
        shown.push_back(std::move(entry));
        if (onShow) {
            onShow();
        }
    }
};

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

inline void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace tavrelle::testing
