#include "jack_output.h"

#include "midi_thread.h"

#include "midi/midi_out_service.h"

#include <utility>

namespace tavrelle::midi::backend {

void JackOutput::closePort(const std::function<void(int)>& answer)
{
    if (!std::exchange(open, false)) {
        return answer(result::kInvalidHandle);
    }
    bool answered = false;
    const int drained = jack.drain([&] {
        answered = true;
        answer(result::kNoDriver);
        MidiThread::giveUpOnCurrent();
    });
    if (!answered) {
        answer(drained);
    }
    jack.disconnect();
}

}  // namespace tavrelle::midi::backend
