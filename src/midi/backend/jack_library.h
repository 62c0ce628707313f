// libjack is loaded, not linked: JACK 2's and PipeWire's each reach only
// their own server, either may be the one that appears while the program
// runs, and without any the program runs on ALSA alone.
#pragma once

#include <jack/jack.h>
#include <jack/midiport.h>

#include <string>

namespace tavrelle::midi::backend {

// The functions the JACK output calls, resolved from one libjack.
struct JackLibrary {
    bool pipeWire = false;  // PipeWire's libjack
    decltype(&::jack_client_open) client_open = nullptr;
    decltype(&::jack_client_close) client_close = nullptr;
    decltype(&::jack_activate) activate = nullptr;
    decltype(&::jack_on_shutdown) on_shutdown = nullptr;
    decltype(&::jack_on_info_shutdown) on_info_shutdown = nullptr;
    decltype(&::jack_set_process_callback) set_process_callback = nullptr;
    decltype(&::jack_set_port_registration_callback) set_port_registration_callback = nullptr;
    decltype(&::jack_set_port_connect_callback) set_port_connect_callback = nullptr;
    decltype(&::jack_set_port_rename_callback) set_port_rename_callback = nullptr;
    decltype(&::jack_set_graph_order_callback) set_graph_order_callback = nullptr;
    decltype(&::jack_get_sample_rate) get_sample_rate = nullptr;
    decltype(&::jack_port_register) port_register = nullptr;
    decltype(&::jack_port_by_name) port_by_name = nullptr;
    decltype(&::jack_port_name) port_name = nullptr;
    decltype(&::jack_port_flags) port_flags = nullptr;
    decltype(&::jack_port_type) port_type = nullptr;
    decltype(&::jack_port_connected) port_connected = nullptr;
    decltype(&::jack_port_connected_to) port_connected_to = nullptr;
    decltype(&::jack_port_disconnect) port_disconnect = nullptr;
    decltype(&::jack_port_get_buffer) port_get_buffer = nullptr;
    decltype(&::jack_connect) connect = nullptr;
    decltype(&::jack_get_ports) get_ports = nullptr;
    decltype(&::jack_free) free = nullptr;
    decltype(&::jack_midi_clear_buffer) midi_clear_buffer = nullptr;
    decltype(&::jack_midi_event_write) midi_event_write = nullptr;
};

// The libjack at `file` (a path, or a name the loader looks for), silenced;
// nullptr where it cannot be loaded or lacks a function. Never unloaded:
// clients kept after their server died may still be called from it.
const JackLibrary* loadJackLibrary(const std::string& file);

}  // namespace tavrelle::midi::backend
