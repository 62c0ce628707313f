// The steps of the tool's start-up that touch the MIDI system and the disk,
// run with the real service against whatever server JACK_DEFAULT_SERVER
// names, each timed from the program's point of view. The tool itself stays
// silent; this program runs the same calls in the same order, one after the
// other: first what the start-up thread does while Qt starts, then what the
// window's thread does with its results. The rows marked "alone" time each
// backend's listing by itself, for reference. startup_timeline shows how the
// two threads overlap in the tool.
//
//   startup_steps [ROUNDS]
#include "support/jack_capture.h"
#include "plain_device_list.h"
#include "alsa_output.h"
#include "jack_output.h"
#include "midi/midi_out_port.h"
#include "midi/voice_selection.h"
#include "settings/settings_file.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

using namespace tavrelle;

using bench::PlainList;

class CountingNotifier final : public midi::MessagePresenter {
public:
    int shown = 0;
    void showMessage(const std::string&) override { ++shown; }
    void showError(const std::string&) override { ++shown; }
};

class RealPump final : public midi::EventPump {
public:
    void sleepMilliseconds(int milliseconds) override
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
    void processPendingEvents() override {}
};

struct Step {
    const char* name;
    std::vector<double> milliseconds;
};

class Stopwatch {
public:
    double lap()
    {
        const std::int64_t now = testing::monotonicNanoseconds();
        const double elapsed = static_cast<double>(now - last_) / 1e6;
        last_ = now;
        return elapsed;
    }

private:
    std::int64_t last_ = testing::monotonicNanoseconds();
};

}  // namespace

int main(int argc, char* argv[])
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / ("startup_steps." + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    // A first run: no settings file exists.
    const std::string settingsPath = (folder / "tavrelle.ini").string();

    std::vector<Step> steps = {
        {"alone: ALSA sequencer ports (none here)", {}},
        {"alone: JACK MIDI inputs (client opened, closed)", {}},
        {"early: settings file read (no file)", {}},
        {"early: device count (lists both, keeps the JACK client)", {}},
        {"early: list, restored entry and identifier", {}},
        {"early: first open (port, activation, connection)", {}},
        {"early: all of it", {}},
        {"window: list and restore from the kept listing", {}},
        {"window: open with retries, taking the first open", {}},
        {"window: SendVoiceSelection", {}},
        {"window: all of it", {}},
        {"CloseMidiOut right after the send (waits for delivery)", {}},
        {"CloseMidiOut after 100 ms idle (client close alone)", {}},
    };
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        Stopwatch watch;
        const auto alsaNames = midi::backend::alsaOutputPortNames();
        steps[0].milliseconds.push_back(watch.lap());
        const auto jackNames = midi::backend::jackMidiInputPortNames();
        steps[1].milliseconds.push_back(watch.lap());

        auto service = midi::createSystemMidiOutService();
        PlainList list;
        CountingNotifier notifier;
        RealPump pump;
        midi::MidiOutPort port(*service, list, notifier, pump);
        midi::VoiceSelection selection(port);
        watch.lap();

        const std::int64_t earlyStart = testing::monotonicNanoseconds();
        const auto settings = settings::SettingsFile::open(settingsPath);
        steps[2].milliseconds.push_back(watch.lap());
        const int deviceCount = static_cast<int>(service->deviceCount());
        steps[3].milliseconds.push_back(watch.lap());
        const int savedPosition = settings.readInteger("Dev", "Dev_num", 0);
        const std::string savedName = settings.readString("dev", "gakki", "none");
        const midi::DeviceListing listing = midi::listDevices(*service);
        const int position = midi::restoredPosition(listing, deviceCount, savedPosition, savedName);
        const unsigned firstId = midi::restoredDeviceId(listing, deviceCount, position);
        steps[4].milliseconds.push_back(watch.lap());
        midi::MidiOutHandle firstHandle = 0;
        const int firstResult = service->open(firstHandle, firstId);
        steps[5].milliseconds.push_back(watch.lap());
        steps[6].milliseconds.push_back(static_cast<double>(testing::monotonicNanoseconds() - earlyStart) / 1e6);

        const std::int64_t windowStart = testing::monotonicNanoseconds();
        port.setDeviceCount(static_cast<int>(service->deviceCount()));
        port.listMidiOutDevices();
        port.restoreDeviceSelection(savedPosition, savedName);
        steps[7].milliseconds.push_back(watch.lap());
        const auto deviceId = static_cast<unsigned>(port.selectedDeviceId());
        const int opened = deviceId == firstId ? port.openMidiOutWithRetries(deviceId, firstHandle, firstResult)
                                               : port.openMidiOutWithRetries(deviceId);
        if (opened != midi::result::kNoError || deviceId != firstId) {
            ++failures;
        }
        steps[8].milliseconds.push_back(watch.lap());
        selection.sendVoiceSelection();
        steps[9].milliseconds.push_back(watch.lap());
        steps[10].milliseconds.push_back(static_cast<double>(testing::monotonicNanoseconds() - windowStart) / 1e6);
        // Odd rounds close the way a user's close finds the window: idle.
        if (round % 2 == 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            watch.lap();
        }
        port.closeMidiOut();
        steps[round % 2 == 0 ? 11 : 12].milliseconds.push_back(watch.lap());
    }
    std::filesystem::remove_all(folder);

    std::printf("%-56s %9s %9s %9s\n", "start-up step, milliseconds", "median", "min", "max");
    for (Step& step : steps) {
        auto& values = step.milliseconds;
        if (values.empty()) {
            continue;
        }
        std::sort(values.begin(), values.end());
        const std::size_t n = values.size();
        const double median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
        std::printf("%-56s %9.3f %9.3f %9.3f\n", step.name, median, values.front(), values.back());
    }
    std::printf("rounds: %d, opens that failed: %d\n", rounds, failures);
    return failures == 0 ? 0 : 1;
}
