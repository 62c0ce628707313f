# The Windows build (make windows, in build-windows/ beside this tree) under
# Wine with Xvfb and openbox, and its download. Label "windows": not part of
# `make check`.
set(TAVRELLE_WINDOWS_BUILD_DIR ${PROJECT_SOURCE_DIR}/build-windows CACHE PATH
    "The Windows build whose tavrelle.exe the Wine test runs")
add_test(NAME windows_wine_test
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/windows/wine_test.sh ${TAVRELLE_WINDOWS_BUILD_DIR})
set_tests_properties(windows_wine_test PROPERTIES LABELS windows TIMEOUT 960 RESOURCE_LOCK wine-prefix)
add_test(NAME windows_zip_test
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/windows/zip_test.sh ${TAVRELLE_WINDOWS_BUILD_DIR} ${PROJECT_SOURCE_DIR})
set_tests_properties(windows_zip_test PROPERTIES LABELS windows TIMEOUT 600)
# The MIDI output services' contract against WinMM under Wine, what Wine
# cannot show skipped with its reason. No display.
add_test(NAME midi_contract_winmm_test
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/windows/contract_test.sh ${TAVRELLE_WINDOWS_BUILD_DIR})
set_tests_properties(midi_contract_winmm_test PROPERTIES LABELS windows TIMEOUT 240 RESOURCE_LOCK wine-prefix)
