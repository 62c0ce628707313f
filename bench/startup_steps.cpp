// The steps of the tool's start-up that touch the MIDI system and the disk,
// run with the real service against whatever server JACK_DEFAULT_SERVER
// names, each timed from the program's point of view. The tool itself stays
// silent; this program runs the same calls in the same order. The service
// lists the devices on its own thread from the moment it exists, so the
// device count waits for what is left of that listing; startup_timeline
// shows how it overlaps the window's own work in the tool.
//
//   startup_steps [ROUNDS]
#include "support/fake_midi_out_service.h"
#include "support/jack_capture.h"
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

using tavrelle::testing::VectorDeviceList;

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
        {"service created (its thread begins the listing)", {}},
        {"settings file read (no file)", {}},
        {"device count (waits for the listing)", {}},
        {"list and restore", {}},
        {"open with retries (connection)", {}},
        {"SendVoiceSelection", {}},
        {"all of it", {}},
        {"CloseMidiOut right after the send (waits for delivery)", {}},
        {"CloseMidiOut after 100 ms idle (client close alone)", {}},
    };
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        Stopwatch watch;
        const std::int64_t start = testing::monotonicNanoseconds();
        auto service = midi::createSystemMidiOutService();
        steps[0].milliseconds.push_back(watch.lap());
        VectorDeviceList list;
        CountingNotifier notifier;
        RealPump pump;
        midi::MidiOutPort port(*service, list, notifier, pump);
        midi::VoiceSelection selection(port);
        const auto settings = settings::SettingsFile::open(settingsPath);
        steps[1].milliseconds.push_back(watch.lap());
        port.setDeviceCount(static_cast<int>(service->deviceCount()));
        steps[2].milliseconds.push_back(watch.lap());
        port.listMidiOutDevices();
        port.restoreDeviceSelection(settings.readInteger("Dev", "Dev_num", 0), settings.readString("dev", "gakki", "none"));
        steps[3].milliseconds.push_back(watch.lap());
        if (port.openMidiOutWithRetries(static_cast<unsigned>(port.selectedDeviceId())) != midi::result::kNoError) {
            ++failures;
        }
        steps[4].milliseconds.push_back(watch.lap());
        selection.sendVoiceSelection();
        steps[5].milliseconds.push_back(watch.lap());
        steps[6].milliseconds.push_back(static_cast<double>(testing::monotonicNanoseconds() - start) / 1e6);
        // Odd rounds close the way a user's close finds the window: idle.
        if (round % 2 == 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            watch.lap();
        }
        port.closeMidiOut();
        steps[round % 2 == 0 ? 7 : 8].milliseconds.push_back(watch.lap());
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
