# The tool's own benchmarks: start-up, memory and send path beside their
# floors. scripts/bench.sh runs them all with the services they need.
pkg_check_modules(TAVRELLE_BENCH_XCB xcb IMPORTED_TARGET)
if(NOT TAVRELLE_BENCH_XCB_FOUND)
  message(FATAL_ERROR "xcb was not found: install Debian's libxcb1-dev (make bench does).")
endif()

set(tavrelle_bench_dir ${PROJECT_SOURCE_DIR}/bench)
set(tavrelle_bench_out ${CMAKE_BINARY_DIR}/bench)

# The tests' capture client, which counts and times what reaches its port.
add_library(tavrelle_bench_jack STATIC ${PROJECT_SOURCE_DIR}/tests/support/jack_capture.cpp)
target_include_directories(tavrelle_bench_jack PUBLIC ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(tavrelle_bench_jack PUBLIC PkgConfig::JACK)

add_executable(floor_window ${tavrelle_bench_dir}/floor_window.cpp)
target_link_libraries(floor_window PRIVATE Qt6::Widgets)
add_executable(floor_timeline ${tavrelle_bench_dir}/floor_window.cpp)
target_compile_definitions(floor_timeline PRIVATE FLOOR_TIMELINE)
target_link_libraries(floor_timeline PRIVATE Qt6::Widgets)

add_executable(launch_probe ${tavrelle_bench_dir}/launch_probe.cpp)
target_link_libraries(launch_probe PRIVATE PkgConfig::TAVRELLE_BENCH_XCB)

add_executable(startup_steps ${tavrelle_bench_dir}/startup_steps.cpp)
target_link_libraries(startup_steps PRIVATE tavrelle_midi tavrelle_midi_system tavrelle_midi_backend_internals
  tavrelle_settings tavrelle_bench_jack)

add_executable(startup_timeline ${tavrelle_bench_dir}/startup_timeline.cpp)
target_link_libraries(startup_timeline PRIVATE tavrelle_window tavrelle_midi_system)

# RtMidi is the floor the send path is measured against, and only that.
pkg_check_modules(RTMIDI rtmidi>=5 IMPORTED_TARGET)
if(NOT RTMIDI_FOUND)
  message(FATAL_ERROR "RtMidi 5 was not found: install Debian's librtmidi-dev (make bench does).")
endif()
add_executable(send_bench ${tavrelle_bench_dir}/send_bench.cpp)
target_link_libraries(send_bench PRIVATE tavrelle_midi tavrelle_midi_system tavrelle_bench_jack
  PkgConfig::RTMIDI benchmark::benchmark)

add_executable(key_latency ${tavrelle_bench_dir}/key_latency.cpp)
target_link_libraries(key_latency PRIVATE tavrelle_bench_jack PkgConfig::TAVRELLE_BENCH_XCB)

# Reading a large instrument definition file beside reading its bytes alone.
add_executable(ins_read ${tavrelle_bench_dir}/ins_read.cpp)
target_link_libraries(ins_read PRIVATE tavrelle_voice_names)

set_target_properties(floor_window floor_timeline launch_probe startup_steps startup_timeline send_bench key_latency
  ins_read PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${tavrelle_bench_out})
