tavrelle_add_test(window_test
  SOURCES window_test.cpp
  LIBS tavrelle_window tavrelle_test_support Qt6::Widgets Qt6::Test
  OFFSCREEN OWN_MAIN
  ENVIRONMENT XDG_RUNTIME_DIR=${CMAKE_CURRENT_BINARY_DIR}/runtime)
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/runtime)

# The built tool under Xvfb and openbox with a private JACK server, FluidSynth
# and a capture port, driven by xdotool.
add_test(NAME window_e2e COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/e2e/window_e2e.sh $<TARGET_FILE:tavrelle>)
set_tests_properties(window_e2e PROPERTIES LABELS "e2e" TIMEOUT 180)
