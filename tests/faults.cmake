# Faults and bad input: garbage settings files, saves the disk refuses, a
# save killed part-way, and the built tool losing its JACK server or its port.
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
