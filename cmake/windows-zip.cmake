# The download for Windows users: tavrelle.exe, their short guide in English
# and Japanese, and the licence, in one zip beside its SHA-256 file
# (build-windows/tavrelle-VERSION-windows-x86_64.zip). The same sources give
# the same bytes wherever they are built: no time stamp in the .exe, no build
# folder baked into it, fixed dates and order in the zip.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${PROJECT_BINARY_DIR}=.)
add_link_options(-Wl,--no-insert-timestamp)

function(tavrelle_add_windows_zip)
  find_package(Python3 COMPONENTS Interpreter)
  if(NOT Python3_Interpreter_FOUND)
    message(FATAL_ERROR "Python 3 was not found: install Debian's python3 (make windows does).")
  endif()
  set(name tavrelle-${PROJECT_VERSION}-windows-x86_64.zip)
  set(TAVRELLE_WINDOWS_ZIP ${PROJECT_BINARY_DIR}/${name} PARENT_SCOPE)
  set(script ${PROJECT_SOURCE_DIR}/scripts/windows-zip.py)
  set(guide ${PROJECT_SOURCE_DIR}/docs/windows/README.txt)
  set(guide_ja ${PROJECT_SOURCE_DIR}/docs/windows/README.ja.txt)
  set(licence ${PROJECT_SOURCE_DIR}/LICENSE)
  add_custom_command(
    OUTPUT ${PROJECT_BINARY_DIR}/${name} ${PROJECT_BINARY_DIR}/${name}.sha256
    COMMAND ${Python3_EXECUTABLE} ${script} ${PROJECT_BINARY_DIR}/${name}
            tavrelle.exe=$<TARGET_FILE:tavrelle> README.txt=${guide} README.ja.txt=${guide_ja} LICENSE.txt=${licence}
    DEPENDS tavrelle ${script} ${guide} ${guide_ja} ${licence}
    VERBATIM)
  add_custom_target(windows_zip ALL DEPENDS ${PROJECT_BINARY_DIR}/${name})
endfunction()
