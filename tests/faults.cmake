# Faults and bad input: garbage settings files and odd things at the settings
# path, a save killed part-way, and the built tool losing its JACK server or
# its port. Saves the disk refuses are settings_test's (FailedSave).
tavrelle_add_test(faults_window_test
  SOURCES faults/window_faults_test.cpp
  LIBS tavrelle_window tavrelle_test_support Qt6::Widgets Qt6::Test
  OFFSCREEN OWN_MAIN
  LABELS faults
  ENVIRONMENT XDG_RUNTIME_DIR=${CMAKE_CURRENT_BINARY_DIR}/runtime
  TIMEOUT 120)

tavrelle_add_test(faults_save_test
  SOURCES faults/save_faults_test.cpp
  LIBS tavrelle_settings
  LABELS faults
  TIMEOUT 120)

# The system service's JACK ports on the private server of the jack_services
# fixture (tests/midi_system.cmake).
if(DEFINED tavrelle_services_env)
  tavrelle_add_test(faults_jack_open_test
    SOURCES faults/jack_open_test.cpp
    LIBS tavrelle_midi_system tavrelle_midi tavrelle_jack_test_support
    LABELS "faults;integration"
    FIXTURES jack_services
    ENVIRONMENT ${tavrelle_services_env}
    TIMEOUT 60)
endif()

# The built tool under Xvfb and openbox on a private JACK server that is
# killed, with a port that goes and comes back. The server is named for its
# purpose, never per build folder or run: JACK has eight places for servers
# per machine, and a killed server's place is given back only by one of its
# name.
set(TAVRELLE_FAULTS_JACK_SERVER "tavrelle-faults" CACHE STRING
  "Name of the private JACK server the fault tests start and kill")
add_test(NAME faults_jack_e2e
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/faults/jack_faults_e2e.sh $<TARGET_FILE:tavrelle>)
set_tests_properties(faults_jack_e2e PROPERTIES
  LABELS "faults;e2e"
  ENVIRONMENT "TAVRELLE_FAULTS_JACK_SERVER=${TAVRELLE_FAULTS_JACK_SERVER}"
  TIMEOUT 180)

# The instrumented tool carries the leak suppressions for other projects'
# libraries itself; test programs get them from scripts/sanitize-test.sh.
if(TAVRELLE_SANITIZE AND TARGET tavrelle)
  file(READ ${CMAKE_CURRENT_SOURCE_DIR}/faults/lsan-suppressions.txt tavrelle_lsan_suppressions)
  configure_file(faults/sanitizer_defaults.cpp.in ${CMAKE_CURRENT_BINARY_DIR}/sanitizer_defaults.cpp @ONLY)
  target_sources(tavrelle PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/sanitizer_defaults.cpp)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS faults/lsan-suppressions.txt)
endif()
