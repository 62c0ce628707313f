// The steps of the tool's start-up that touch the MIDI system and the disk,
// run with the real service against whatever server JACK_DEFAULT_SERVER
// names, each timed from the program's point of view. The tool itself stays
// silent; this program runs the same calls in the same order. The two rows
// marked "alone" time each backend's listing by itself, for reference.
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
        {"device count (lists both, keeps the JACK client)", {}},
        {"SettingsFile::Open (no file)", {}},
        {"ListMidiOutDevices", {}},
        {"RestoreDeviceSelection", {}},
        {"OpenMidiOutWithRetries (port, activation, connection)", {}},
        {"SendVoiceSelection", {}},
        {"all of the above but the first two", {}},
        {"CloseMidiOut (at shut-down: waits for delivery)", {}},
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
        const std::int64_t start = testing::monotonicNanoseconds();

        port.setDeviceCount(static_cast<int>(service->deviceCount()));
        steps[2].milliseconds.push_back(watch.lap());
        const auto settings = settings::SettingsFile::open(settingsPath);
        const int savedPosition = settings.readInteger("Dev", "Dev_num", 0);
        const std::string savedName = settings.readString("dev", "gakki", "none");
        steps[3].milliseconds.push_back(watch.lap());
        port.listMidiOutDevices();
        steps[4].milliseconds.push_back(watch.lap());
        port.restoreDeviceSelection(savedPosition, savedName);
        steps[5].milliseconds.push_back(watch.lap());
        if (port.openMidiOutWithRetries(static_cast<unsigned>(port.selectedDeviceId())) != midi::result::kNoError) {
            ++failures;
        }
        steps[6].milliseconds.push_back(watch.lap());
        selection.sendVoiceSelection();
        steps[7].milliseconds.push_back(watch.lap());
        steps[8].milliseconds.push_back(static_cast<double>(testing::monotonicNanoseconds() - start) / 1e6);
        port.closeMidiOut();
        steps[9].milliseconds.push_back(watch.lap());
    }
    std::filesystem::remove_all(folder);

    std::printf("%-54s %9s %9s %9s\n", "start-up step, milliseconds", "median", "min", "max");
    for (Step& step : steps) {
        auto& values = step.milliseconds;
        std::sort(values.begin(), values.end());
        const std::size_t n = values.size();
        const double median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
        std::printf("%-54s %9.3f %9.3f %9.3f\n", step.name, median, values.front(), values.back());
    }
    std::printf("rounds: %d, opens that failed: %d\n", rounds, failures);
    return failures == 0 ? 0 : 1;
}
