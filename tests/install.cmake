# The files a desktop reads, checked by the validators desktop environments
# and software centres use, and an install into a scratch prefix whose
# program runs as an ordinary user under Xvfb and openbox.
add_test(NAME desktop_entry_validate
  COMMAND desktop-file-validate ${PROJECT_SOURCE_DIR}/data/io.github.tavrelle.Tavrelle.desktop)
add_test(NAME metainfo_validate
  COMMAND appstreamcli validate --strict --no-net ${PROJECT_SOURCE_DIR}/data/io.github.tavrelle.Tavrelle.metainfo.xml)
add_test(NAME install_test
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/install-test.sh ${PROJECT_BINARY_DIR} ${PROJECT_VERSION})
# The Debian package as a distribution checks it: lintian without errors or
# warnings, its copyright and changelog, its AppStream data.
add_test(NAME package_lint
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/package-test.sh --lint-only ${PROJECT_BINARY_DIR})
set_tests_properties(desktop_entry_validate metainfo_validate install_test package_lint PROPERTIES LABELS install)
set_tests_properties(package_lint PROPERTIES TIMEOUT 180)
set_tests_properties(desktop_entry_validate metainfo_validate PROPERTIES TIMEOUT 60)
set_tests_properties(install_test PROPERTIES TIMEOUT 180)
