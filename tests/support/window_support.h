// What the start-up and window tests share: the services start-up runs on,
// the window's views as plain values, the first-run settings file, and
// whole-file I/O (scratch_files.h).
#pragma once

#include "support/fake_midi_out_service.h"
#include "support/scratch_files.h"
#include "window/startup_shutdown.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace tavrelle::window {
inline std::ostream& operator<<(std::ostream& out, const OuterBounds& b)
{
    return out << "left " << b.left << " top " << b.top << " width " << b.width << " height " << b.height;
}
}  // namespace tavrelle::window

namespace tavrelle::testing {

// What a first run saves with "Synth A" listed first; the end-to-end and
// Wine scripts compare their saves with the same file.
inline std::string firstRunFile()
{
    return readFile(TAVRELLE_TEST_DATA_DIR "/settings/first_run.expected.ini");
}

// The services the port, start-up and the window are built on: three
// devices on the fake MIDI service, message boxes captured, and an event
// pump that only counts its sleeps.
struct FakeServices {
    FakeMidiOutService service;
    CapturingPresenter presenter;
    FakeEventPump pump;

    FakeServices() { service.devices = {"Synth A", "Synth B", "Synth C"}; }
};

// Those services and a settings file in a scratch folder: the base of the
// start-up, window and window fault tests.
class ServicesFixture : public ::testing::Test, public FakeServices {
protected:
    ScratchFolder folder;
    std::string settingsPath = (folder / "tavrelle.ini").string();
};

// A window's bounds as plain numbers, on a desktop of 1920 x 1080.
class FakeWindowBounds final : public window::WindowBoundsView {
public:
    window::OuterBounds bounds = window::kDesignedBounds;
    window::OuterBounds desktop{0, 0, 1920, 1080};
    window::OuterBounds outerBounds() const override { return bounds; }
    void setOuterBounds(const window::OuterBounds& b) override { bounds = b; }
    window::OuterBounds availableDesktop() const override { return desktop; }
    bool positionKnown() const override { return knowsPosition; }
    bool knowsPosition = true;
};

}  // namespace tavrelle::testing
