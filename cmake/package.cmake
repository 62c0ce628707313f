# A Debian package of the install tree: `cpack -G DEB` in the build folder,
# or the `package` target. Its library dependencies come from the binary,
# except libjack, which it loads when it opens a JACK client.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavrelle)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Tavrelle developers")
set(CPACK_PACKAGE_CONTACT "The Tavrelle developers <tavrelle@users.noreply.github.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "pick the voice a MIDI sound module plays")
# CPack puts the summary first and indents these lines as dpkg wants.
set(CPACK_PACKAGE_DESCRIPTION
"Tavrelle switches the voice of a MIDI sound module or software synthesizer.
In one small window you choose an ALSA or JACK MIDI output, a program number,
a bank number and a channel; Tavrelle sends Bank Select and Program Change so
the module changes to that voice. It sends no notes.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's labels and messages are Japanese and laid out for this font;
# without it they fall back to whatever the system has, possibly no glyphs.
# On a Wayland session without XWayland, or with QT_QPA_PLATFORM=wayland, the
# tool runs natively, which takes Qt's Wayland platform.
# JACK MIDI ports take a libjack, JACK 2's or PipeWire's; ALSA's do not.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-ipafont-gothic, qt6-wayland, libjack-jackd2-0 | libjack-0.125 | pipewire-jack")
# A machine without a hardware module needs a software one to be heard.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "fluidsynth")
# md5sums and the control files get the modes dpkg expects.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
