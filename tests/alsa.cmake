# The built tool, and the MIDI output services' contract, against a real
# kernel ALSA sequencer in a throw-away virtual machine
# (scripts/alsa-guest.sh). The guest's kernel and initramfs are kept in
# alsa-guest/ of the build folder; the kernel is downloaded when Debian's
# current one is not there yet.
add_test(NAME alsa_guest_test
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/alsa_guest_test.sh $<TARGET_FILE:tavrelle> $<TARGET_FILE:midi_contract_test>
          ${CMAKE_BINARY_DIR}/alsa-guest ${CMAKE_CURRENT_BINARY_DIR}/alsa-guest-work)
# The guest runs without acceleration on a machine other builds share (make
# test runs it beside the sanitizer build): at a load of 15 it had not done
# after 900 s, so only a hung guest reaches its limit.
set_tests_properties(alsa_guest_test PROPERTIES LABELS alsa TIMEOUT 1860 ENVIRONMENT ALSA_GUEST_TIMEOUT=1800)
