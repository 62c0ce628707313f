// The device list as plain strings, for benchmarks that run the port without
// a window.
#pragma once

#include "midi/midi_out_port.h"

#include <algorithm>
#include <string>
#include <vector>

namespace tavrelle::bench {

class PlainList final : public midi::DeviceListView {
public:
    void clear() override { names_.clear(), selected_ = -1; }
    void append(const std::string& name) override { names_.push_back(name); }
    int count() const override { return static_cast<int>(names_.size()); }
    int selectedIndex() const override { return selected_; }
    void selectIndex(int index) override { selected_ = index >= 0 && index < count() ? index : -1; }
    std::string selectedText() const override { return selected_ >= 0 ? names_[static_cast<std::size_t>(selected_)] : ""; }
    // The position of an entry, -1 when it is not listed.
    int find(const std::string& name) const
    {
        const auto found = std::find(names_.begin(), names_.end(), name);
        return found == names_.end() ? -1 : static_cast<int>(found - names_.begin());
    }

private:
    std::vector<std::string> names_;
    int selected_ = -1;
};

}  // namespace tavrelle::bench
