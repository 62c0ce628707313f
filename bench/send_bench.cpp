// The send path: one SendVoiceSelection through the tool's own JACK output,
// beside the floor, three RtMidi sendMessage calls with the same bytes
// through RtMidi's JACK backend. Both send to one capture port of this
// program on the server JACK_DEFAULT_SERVER names.
//
// Sends are timed in batches of kBatch selections and reported per
// selection. After each batch, with the clock stopped, the program waits
// until the capture port has received every message: the queues then start
// each batch empty, as a user's key release finds them, and neither side is
// timed while its queue is full.
//
// Also timed here: re-reading the device list, as the window does each time
// the list is opened, beside the first listing of a new service.
#include "support/fake_midi_out_service.h"
#include "support/jack_capture.h"
#include "midi/midi_out_port.h"
#include "midi/midi_out_service.h"
#include "midi/voice_selection.h"

#include <RtMidi.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>
#include <string>
#include <vector>

namespace {

using namespace tavrelle;

constexpr int kBatch = 32;
constexpr int kMessagesPerSelection = 3;
constexpr int kBatchesPerRepetition = 200;
constexpr int kRepetitions = 12;
constexpr auto kDeliveryLimit = std::chrono::seconds(2);

std::unique_ptr<testing::JackCapture> capture;

using tavrelle::testing::VectorDeviceList;

class SilentNotifier final : public midi::MessagePresenter {
public:
    void showMessage(const std::string&) override {}
    void showError(const std::string&) override {}
};

class SleepingPump final : public midi::EventPump {
public:
    void sleepMilliseconds(int milliseconds) override
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
    void processPendingEvents() override {}
};

// Times `batch` and waits, untimed, for its messages to arrive.
template <typename Batch>
void RunBatches(benchmark::State& state, Batch batch)
{
    for (auto _ : state) {
        const std::uint64_t expected = capture->count() + kBatch * kMessagesPerSelection;
        const std::int64_t start = testing::monotonicNanoseconds();
        batch();
        const std::int64_t elapsed = testing::monotonicNanoseconds() - start;
        state.SetIterationTime(static_cast<double>(elapsed) / 1e9 / kBatch);
        if (!capture->waitForCount(expected, kDeliveryLimit)) {
            state.SkipWithError("the capture port did not receive every message");
            break;
        }
    }
}

void Tavrelle_SendVoiceSelection(benchmark::State& state)
{
    auto service = midi::createSystemMidiOutService();
    VectorDeviceList list;
    SilentNotifier notifier;
    SleepingPump pump;
    midi::MidiOutPort port(*service, list, notifier, pump);
    port.setDeviceCount(static_cast<int>(service->deviceCount()));
    port.listMidiOutDevices();
    port.restoreDeviceSelection(0, capture->fullName());  // found by its name
    if (port.selectedDeviceName() != capture->fullName() ||
        port.openMidiOutWithRetries(static_cast<unsigned>(port.selectedDeviceId())) != midi::result::kNoError) {
        state.SkipWithError("cannot open the capture port through the tool's service");
        return;
    }
    midi::VoiceSelection selection(port);
    for (int i = 1; i < 5; ++i) {
        selection.stepProgramNumber(midi::StepDirection::Up);
    }
    for (int i = 0; i < 3; ++i) {
        selection.stepBankNumber(midi::StepDirection::Up);
    }
    RunBatches(state, [&] {
        for (int i = 0; i < kBatch; ++i) {
            selection.sendVoiceSelection();
        }
    });
    port.closeMidiOut();
}

void silenceRtMidi(RtMidiError::Type, const std::string&, void*) {}

void RtMidi_ThreeSendMessages(benchmark::State& state)
{
    RtMidiOut out(RtMidi::UNIX_JACK, "rtmidi-floor");
    out.setErrorCallback(&silenceRtMidi, nullptr);
    std::optional<unsigned> index;
    for (unsigned i = 0; i < out.getPortCount(); ++i) {
        if (out.getPortName(i) == capture->fullName()) {
            index = i;
        }
    }
    if (index) {
        out.openPort(*index, "out");
    }
    if (!index || !out.isPortOpen()) {
        state.SkipWithError("cannot open the capture port through RtMidi");
        return;
    }
    // The bytes SendVoiceSelection sends for program 5, bank 3, channel 1.
    const unsigned char lsb[] = {0xB0, 0x20, 0x00};
    const unsigned char msb[] = {0xB0, 0x00, 0x03};
    const unsigned char program[] = {0xC0, 0x04};
    RunBatches(state, [&] {
        for (int i = 0; i < kBatch; ++i) {
            out.sendMessage(lsb, sizeof lsb);
            out.sendMessage(msb, sizeof msb);
            out.sendMessage(program, sizeof program);
        }
    });
    out.closePort();
}

double Minimum(const std::vector<double>& values)
{
    return *std::min_element(values.begin(), values.end());
}

double Maximum(const std::vector<double>& values)
{
    return *std::max_element(values.begin(), values.end());
}

void Settings(benchmark::internal::Benchmark* bench)
{
    bench->UseManualTime()
        ->Iterations(kBatchesPerRepetition)
        ->Repetitions(kRepetitions)
        ->ComputeStatistics("min", Minimum)
        ->ComputeStatistics("max", Maximum)
        ->Unit(benchmark::kNanosecond);
}

// Re-reading the ports when the device list opens, with the capture port open
// (the listing goes through its client), beside the first listing of a new
// service, which has to open a client of its own.
void Tavrelle_RescanDevices_PortOpen(benchmark::State& state)
{
    auto service = midi::createSystemMidiOutService();
    const auto id = testing::findDevice(*service, capture->fullName());
    midi::MidiOutHandle handle = 0;
    if (!id || service->open(handle, *id) != midi::result::kNoError) {
        state.SkipWithError("cannot open the capture port through the tool's service");
        return;
    }
    for (auto _ : state) {
        service->rescanDevices();
        benchmark::DoNotOptimize(service->deviceCount());
    }
    service->close(handle);
}

void Tavrelle_RescanDevices_NothingOpen(benchmark::State& state)
{
    auto service = midi::createSystemMidiOutService();
    benchmark::DoNotOptimize(service->deviceCount());
    for (auto _ : state) {
        service->rescanDevices();
        benchmark::DoNotOptimize(service->deviceCount());
    }
}

void Tavrelle_FirstListing(benchmark::State& state)
{
    for (auto _ : state) {
        auto service = midi::createSystemMidiOutService();
        benchmark::DoNotOptimize(service->deviceCount());
    }
}

void ListingSettings(benchmark::internal::Benchmark* bench)
{
    bench->UseRealTime()
        ->Iterations(40)
        ->Repetitions(5)
        ->ComputeStatistics("min", Minimum)
        ->ComputeStatistics("max", Maximum)
        ->Unit(benchmark::kMillisecond);
}

BENCHMARK(Tavrelle_SendVoiceSelection)->Apply(Settings);
BENCHMARK(RtMidi_ThreeSendMessages)->Apply(Settings);
BENCHMARK(Tavrelle_RescanDevices_PortOpen)->Apply(ListingSettings);
BENCHMARK(Tavrelle_RescanDevices_NothingOpen)->Apply(ListingSettings);
BENCHMARK(Tavrelle_FirstListing)->Apply(ListingSettings);

}  // namespace

int main(int argc, char* argv[])
{
    // Repetitions of the two alternate in random order, so that both see the
    // same machine; a flag given on the command line still wins.
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        return 2;
    }
    try {
        capture = std::make_unique<testing::JackCapture>("send-bench");
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "send_bench: %s\n", failure.what());
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    capture.reset();
    return 0;
}
