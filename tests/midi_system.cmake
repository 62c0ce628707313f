# The system's MIDI output service: its backends as plain unit tests (naming
# rules, the ALSA output over a stand-in sequencer, the JACK queue), and the
# service itself against a private JACK server with FluidSynth on it.
tavrelle_add_test(midi_backend_test
  SOURCES midi_backend_test.cpp
  LIBS tavrelle_midi_backend_internals)

# The JACK server is named for its purpose, never per build folder or run
# (JACK has eight places for servers per machine; scripts/services.sh). The
# shell's port is derived from the build folder.
string(MD5 tavrelle_build_hash "${CMAKE_BINARY_DIR}")
string(SUBSTRING "${tavrelle_build_hash}" 0 4 tavrelle_build_hash4)
math(EXPR tavrelle_default_shell_port "20000 + 0x${tavrelle_build_hash4} % 20000" OUTPUT_FORMAT DECIMAL)
set(TAVRELLE_TEST_JACK_SERVER "tavrelle-ctest" CACHE STRING
  "Name of the private JACK server the integration tests start")
set(TAVRELLE_TEST_FLUIDSYNTH_SHELL_PORT "${tavrelle_default_shell_port}" CACHE STRING
  "Loopback TCP port of the FluidSynth shell the integration tests start")
set(tavrelle_services_env
  JACK_DEFAULT_SERVER=${TAVRELLE_TEST_JACK_SERVER}
  TAVRELLE_FLUIDSYNTH_SHELL_PORT=${TAVRELLE_TEST_FLUIDSYNTH_SHELL_PORT})
set(tavrelle_services_state ${CMAKE_CURRENT_BINARY_DIR}/jack-services)

add_test(NAME jack_services_start
  COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/test-services.sh start ${tavrelle_services_state})
add_test(NAME jack_services_stop
  COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/test-services.sh stop ${tavrelle_services_state})
set_tests_properties(jack_services_start PROPERTIES
  FIXTURES_SETUP jack_services ENVIRONMENT "${tavrelle_services_env}" LABELS integration TIMEOUT 60)
set_tests_properties(jack_services_stop PROPERTIES
  FIXTURES_CLEANUP jack_services ENVIRONMENT "${tavrelle_services_env}" LABELS integration TIMEOUT 60)

# JACK clients of the tests' own: capture ports and private servers.
add_library(tavrelle_jack_test_support STATIC support/jack_capture.cpp support/jack_server.cpp)
target_include_directories(tavrelle_jack_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(tavrelle_jack_test_support PUBLIC PkgConfig::JACK)

add_executable(jack_silence_probe support/jack_silence_probe.cpp)
target_link_libraries(jack_silence_probe PRIVATE tavrelle_midi_system PkgConfig::JACK)

tavrelle_add_test(midi_integration_test
  SOURCES midi_integration_test.cpp support/fluidsynth_shell.cpp
  LIBS tavrelle_midi_system tavrelle_midi tavrelle_test_support tavrelle_jack_test_support
    tavrelle_midi_backend_internals
  LABELS integration
  FIXTURES jack_services
  ENVIRONMENT ${tavrelle_services_env}
  TIMEOUT 180)
target_compile_definitions(midi_integration_test PRIVATE
  TAVRELLE_SILENCE_PROBE="$<TARGET_FILE:jack_silence_probe>")
add_dependencies(midi_integration_test jack_silence_probe)

# What every MIDI output service keeps to, against the fake (in the quick
# checks), against JACK 2 on a server of the suite's own, and against
# PipeWire's JACK graph on a PipeWire the script starts; alsa.cmake's guest
# runs it against the kernel's sequencer, and the Windows build's copy runs
# against WinMM under Wine (windows.cmake).
tavrelle_add_test(midi_contract_test
  SOURCES midi_contract_test.cpp
  LIBS tavrelle_midi_system tavrelle_test_support tavrelle_jack_test_support tavrelle_midi_backend_internals
    PkgConfig::ALSA
  LABELS integration
  FIXTURES jack_services
  ENVIRONMENT ${tavrelle_services_env} GTEST_FILTER=services/midi_contract_test.*/jack
  TIMEOUT 240)
add_test(NAME midi_contract_fake_test COMMAND midi_contract_test --gtest_filter=services/midi_contract_test.*/fake)
set_tests_properties(midi_contract_fake_test PROPERTIES LABELS check TIMEOUT 60)
add_test(NAME midi_contract_pipewire_test
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/contract_pipewire_test.sh $<TARGET_FILE:midi_contract_test>)
set_tests_properties(midi_contract_pipewire_test PROPERTIES LABELS integration SKIP_RETURN_CODE 77 TIMEOUT 300)

# The service on PipeWire's JACK graph, with PipeWire, WirePlumber and
# FluidSynth started by the script itself on a private runtime folder.
add_executable(voice_probe support/voice_probe.cpp)
target_link_libraries(voice_probe PRIVATE tavrelle_midi_system tavrelle_midi)
set(TAVRELLE_PIPEWIRE_JACK_SERVER "tavrelle-pipewire" CACHE STRING
  "Name of the private JACK server that takes PipeWire's place in the PipeWire test")
add_test(NAME midi_pipewire_test
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/pipewire_test.sh $<TARGET_FILE:voice_probe>)
set_tests_properties(midi_pipewire_test PROPERTIES LABELS integration SKIP_RETURN_CODE 77 TIMEOUT 120
  ENVIRONMENT "TAVRELLE_PIPEWIRE_JACK_SERVER=${TAVRELLE_PIPEWIRE_JACK_SERVER}")
