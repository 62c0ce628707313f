// Touched only on the MIDI thread.
#pragma once

#include "jack_session.h"
#include "notifier.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavrelle::midi::backend {

struct JackOutput {
    explicit JackOutput(const std::shared_ptr<Notifier>& notify) : jack([notify] { (*notify)(); }) {}

    JackSession jack;
    bool open = false;
    // A listing's client is activated this long after it answered, unless
    // an open has done it: the ports that came meanwhile are told then.
    std::optional<std::chrono::steady_clock::time_point> activateAt;
    std::vector<std::string> listedBeforeActivation;

    // Lets go of the open port once what was sent through it is delivered;
    // `answer` hears the result before the connection is undone. A stalled
    // server gets what was sent when it runs again: the caller hears at
    // once, and the thread stays stuck until then.
    void closePort(const std::function<void(int)>& answer = [](int) {});
};

}  // namespace tavrelle::midi::backend
