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
    void showDevices(const std::vector<std::string>& names) override { names_ = names, selected_ = -1; }
    int selectedIndex() const override { return selected_; }
    void selectIndex(int index) override { selected_ = index >= 0 && index < static_cast<int>(names_.size()) ? index : -1; }
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
