# The settings file: parsing, lookups, the saved layout and every failure of
# opening and saving, the latter also under root through forked, unprivileged
# children and replaced system calls.
tavrelle_add_test(settings_test
  SOURCES settings_test.cpp ${PROJECT_SOURCE_DIR}/src/settings/windows/path_rules.cpp
  LIBS tavrelle_settings
  TIMEOUT 120)
