tavrelle_add_test(window_test
  SOURCES window_test.cpp
  LIBS tavrelle_window tavrelle_test_support Qt6::Widgets Qt6::Test
  OFFSCREEN OWN_MAIN
  ENVIRONMENT XDG_RUNTIME_DIR=${CMAKE_CURRENT_BINARY_DIR}/runtime)
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/runtime)
