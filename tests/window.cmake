tavrelle_add_test(startup_test
  SOURCES startup_test.cpp
  LIBS tavrelle_startup tavrelle_test_support)

tavrelle_add_test(voice_names_test
  SOURCES voice_names_test.cpp
  LIBS tavrelle_voice_names
  TIMEOUT 30)

tavrelle_add_test(window_test
  SOURCES window_test.cpp
  LIBS tavrelle_window tavrelle_test_support Qt6::Widgets Qt6::Test
  OFFSCREEN OWN_MAIN
  ENVIRONMENT XDG_RUNTIME_DIR=${CMAKE_CURRENT_BINARY_DIR}/runtime)
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/runtime)

# The same window at 192 dpi; the picture it takes is named in its output.
add_test(NAME window_scaled_test COMMAND window_test --gtest_filter=*nothing_is_clipped*)
set_tests_properties(window_scaled_test PROPERTIES
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_SCALE_FACTOR=2;XDG_RUNTIME_DIR=${CMAKE_CURRENT_BINARY_DIR}/runtime"
  TIMEOUT 120)

# The built tool under Xvfb and openbox with a private JACK server, FluidSynth
# and a capture port, driven by xdotool.
# Its JACK server is named for its purpose, never per build folder or run.
set(TAVRELLE_E2E_JACK_SERVER "tavrelle-e2e" CACHE STRING
  "Name of the private JACK server the window's end-to-end test starts")
add_test(NAME window_e2e COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/e2e/window_e2e.sh $<TARGET_FILE:tavrelle>)
set_tests_properties(window_e2e PROPERTIES LABELS "e2e" TIMEOUT 180
  ENVIRONMENT "TAVRELLE_E2E_JACK_SERVER=${TAVRELLE_E2E_JACK_SERVER}")

# On weston's headless backend with XWayland: the saved position on native
# Wayland, and the platform the tool picks there.
add_test(NAME wayland_e2e
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/e2e/wayland_e2e.sh $<TARGET_FILE:window_test> $<TARGET_FILE:tavrelle>)
set_tests_properties(wayland_e2e PROPERTIES LABELS "e2e" TIMEOUT 120)
