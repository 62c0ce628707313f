// Runs the service where no MIDI system exists; the integration test checks
// that it prints nothing. The exit status names the first check that failed.
#include "midi/midi_out_service.h"

#include <jack/jack.h>

#include <string>

int main()
{
    using namespace tavrelle::midi;
    auto service = createSystemMidiOutService();
    if (service->deviceCount() != 0) {
        return 10;
    }
    std::string name;
    if (service->deviceName(0, name) != result::kBadDeviceId) {
        return 11;
    }
    MidiOutHandle handle = 1;
    if (service->open(handle, 0) != result::kBadDeviceId || handle != 0) {
        return 12;
    }
    // The service must not have started a server on its way.
    jack_status_t status{};
    if (jack_client_t* client = jack_client_open("tavrelle-probe", JackNoStartServer, &status)) {
        jack_client_close(client);
        return 13;
    }
    return 0;
}
