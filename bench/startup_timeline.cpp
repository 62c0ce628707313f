// The tool's start-up as its main function runs it, with a clock on each
// step. Every call into the MIDI service is timed, the first of each kind
// only; the service lists the devices on its own thread from the moment it
// is created, so the first count waits only for what is left of that. Run it through
// launch_probe, which puts the moment it spawned the program into
// LAUNCH_PROBE_SPAWNED_US, so the figures count from the launch; the probe
// adds the moment the window mapped.
//
//   launch_probe OUTPUT-FILE startup_timeline Tavrelle
//
// Prints one line, "step=microseconds ...", to its output.
#include "midi/midi_out_service.h"
#include "settings/settings_location.h"
#include "window/main_window.h"
#include "window/message_box.h"
#include "window/startup_shutdown.h"
#include "window/window_rules.h"

#include <QApplication>
#include <QFileInfo>
#include <QIcon>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tavrelle;

std::int64_t nowMicroseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

std::int64_t spawned = 0;

struct Mark {
    std::string name;
    std::int64_t at;
};
std::mutex marksMutex;
std::vector<Mark> marks;

void mark(std::string name, std::int64_t at = nowMicroseconds())
{
    const std::lock_guard lock(marksMutex);
    marks.push_back({std::move(name), at - spawned});
}

// The real service, with the start and end of each call marked, once per
// kind of call and thread: the first listing, the first open.
class TimedService final : public midi::MidiOutService {
public:
    explicit TimedService(std::unique_ptr<midi::MidiOutService> real) : real_(std::move(real)) {}

    unsigned deviceCount() override { return timed("count", [&] { return real_->deviceCount(); }); }
    int deviceName(unsigned id, std::string& name) override
    {
        return timed("name", [&] { return real_->deviceName(id, name); });
    }
    int open(midi::MidiOutHandle& handle, unsigned id) override
    {
        return timed("open", [&] { return real_->open(handle, id); });
    }
    int sendShortMessage(midi::MidiOutHandle handle, std::uint32_t word) override
    {
        return real_->sendShortMessage(handle, word);
    }
    int sendShortMessages(midi::MidiOutHandle handle, std::span<const std::uint32_t> words) override
    {
        return timed("send", [&] { return real_->sendShortMessages(handle, words); });
    }
    int close(midi::MidiOutHandle handle) override { return real_->close(handle); }
    void rescanDevices() override { real_->rescanDevices(); }
    void setDevicesChangedCallback(std::function<void()> changed) override
    {
        real_->setDevicesChangedCallback(std::move(changed));
    }
    bool deviceLeft(midi::MidiOutHandle handle) override { return real_->deviceLeft(handle); }

private:
    template <typename Call>
    auto timed(const std::string& what, Call call) -> decltype(call())
    {
        const std::string name = "window_" + what;
        const std::int64_t start = nowMicroseconds();
        auto result = call();
        const std::lock_guard lock(seenMutex_);
        if (seen_.insert(name).second) {
            const std::int64_t end = nowMicroseconds();
            const std::lock_guard marksLock(marksMutex);
            marks.push_back({name + "_start", start - spawned});
            marks.push_back({name + "_end", end - spawned});
        }
        return result;
    }

    std::unique_ptr<midi::MidiOutService> real_;
    std::mutex seenMutex_;
    std::set<std::string> seen_;
};

std::string lowerCase(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).toLower().toStdString();
}

}  // namespace

int main(int argc, char* argv[])
{
    const std::int64_t entered = nowMicroseconds();
    const char* launch = std::getenv("LAUNCH_PROBE_SPAWNED_US");
    spawned = launch != nullptr ? std::atoll(launch) : entered;
    mark("main", entered);

    const settings::SettingsLocation settings = settings::locateSettings();

    QApplication application(argc, argv);
    mark("qapplication");
    window::setApplicationIdentity();
    mark(QApplication::windowIcon().isNull() ? "icon_missing" : "icon");
    TimedService midi(midi::createSystemMidiOutService());
    mark("service_created");

    const std::string title = window::applicationTitle(
        QFileInfo(QCoreApplication::applicationFilePath()).fileName().toStdString(), lowerCase);
    window::DialogPresenter messages(QString::fromStdString(title));
    window::QtEventPump pump;
    mark("window_begins");
    window::MainWindow mainWindow({midi, messages, pump, settings.savePath, settings.readPath});
    mark("window_built");
    mainWindow.show();
    mark("shown");
    for (const Mark& each : marks) {
        std::printf("%s=%lld ", each.name.c_str(), static_cast<long long>(each.at));
    }
    std::printf("\n");
    std::fflush(stdout);
    return QApplication::exec();
}
