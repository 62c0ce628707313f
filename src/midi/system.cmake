# The system's MIDI output service: ALSA sequencer ports through RtMidi, JACK
# MIDI ports through libjack.
add_library(tavrelle_midi_system STATIC
  ${CMAKE_CURRENT_LIST_DIR}/system_midi_out_service.cpp
  ${CMAKE_CURRENT_LIST_DIR}/system_port_list.cpp
  ${CMAKE_CURRENT_LIST_DIR}/alsa_output.cpp
  ${CMAKE_CURRENT_LIST_DIR}/jack_output.cpp
)
target_include_directories(tavrelle_midi_system PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(tavrelle_midi_system PRIVATE PkgConfig::RTMIDI PkgConfig::JACK PkgConfig::ALSA)
