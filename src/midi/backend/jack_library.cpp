#include "jack_library.h"

#include <dlfcn.h>

#include <cstring>

namespace tavrelle::midi::backend {

namespace {

void ignoreJackMessage(const char*) {}

template <typename Function>
bool resolve(void* handle, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(dlsym(handle, name));
    return function != nullptr;
}

bool resolveAll(void* handle, JackLibrary& jack)
{
    return resolve(handle, "jack_client_open", jack.client_open) &&
           resolve(handle, "jack_client_close", jack.client_close) &&
           resolve(handle, "jack_activate", jack.activate) && resolve(handle, "jack_on_shutdown", jack.on_shutdown) &&
           resolve(handle, "jack_on_info_shutdown", jack.on_info_shutdown) &&
           resolve(handle, "jack_set_process_callback", jack.set_process_callback) &&
           resolve(handle, "jack_set_port_registration_callback", jack.set_port_registration_callback) &&
           resolve(handle, "jack_set_port_connect_callback", jack.set_port_connect_callback) &&
           resolve(handle, "jack_set_port_rename_callback", jack.set_port_rename_callback) &&
           resolve(handle, "jack_set_graph_order_callback", jack.set_graph_order_callback) &&
           resolve(handle, "jack_get_sample_rate", jack.get_sample_rate) &&
           resolve(handle, "jack_port_register", jack.port_register) &&
           resolve(handle, "jack_port_by_name", jack.port_by_name) &&
           resolve(handle, "jack_port_name", jack.port_name) && resolve(handle, "jack_port_flags", jack.port_flags) &&
           resolve(handle, "jack_port_type", jack.port_type) &&
           resolve(handle, "jack_port_connected", jack.port_connected) &&
           resolve(handle, "jack_port_connected_to", jack.port_connected_to) &&
           resolve(handle, "jack_port_disconnect", jack.port_disconnect) &&
           resolve(handle, "jack_port_get_buffer", jack.port_get_buffer) &&
           resolve(handle, "jack_connect", jack.connect) && resolve(handle, "jack_get_ports", jack.get_ports) &&
           resolve(handle, "jack_free", jack.free) && resolve(handle, "jack_midi_clear_buffer", jack.midi_clear_buffer) &&
           resolve(handle, "jack_midi_event_write", jack.midi_event_write);
}

}  // namespace

const JackLibrary* loadJackLibrary(const std::string& file)
{
    // PipeWire's libjack calls its own exported functions through the
    // symbol table: with another libjack in the global scope (linked in,
    // preloaded) those calls would reach the other one. Only then, and only
    // for one not loaded yet, since sanitizer runtimes refuse RTLD_DEEPBIND.
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        const int ownFirst = dlsym(RTLD_DEFAULT, "jack_client_open") != nullptr ? RTLD_DEEPBIND : 0;
        handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL | ownFirst);
    }
    if (handle == nullptr) {
        return nullptr;
    }
    auto* jack = new JackLibrary;
    decltype(&::jack_set_error_function) setErrorFunction = nullptr;
    decltype(&::jack_set_info_function) setInfoFunction = nullptr;
    Dl_info loaded{};
    if (!resolveAll(handle, *jack) || !resolve(handle, "jack_set_error_function", setErrorFunction) ||
        !resolve(handle, "jack_set_info_function", setInfoFunction) ||
        dladdr(reinterpret_cast<void*>(jack->client_open), &loaded) == 0) {
        delete jack;
        dlclose(handle);
        return nullptr;
    }
    jack->pipeWire = loaded.dli_fname != nullptr && std::strstr(loaded.dli_fname, "/pipewire-") != nullptr;
    // Each libjack prints on its own unless given handlers.
    setErrorFunction(&ignoreJackMessage);
    setInfoFunction(&ignoreJackMessage);
    return jack;
}

}  // namespace tavrelle::midi::backend
