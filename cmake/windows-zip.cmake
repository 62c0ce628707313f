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
  set(texts ${PROJECT_SOURCE_DIR}/scripts/window-texts.py ${PROJECT_SOURCE_DIR}/docs/window-texts.txt)
  set(guide ${PROJECT_BINARY_DIR}/README.txt)
  set(guide_ja ${PROJECT_BINARY_DIR}/README.ja.txt)
  set(licence ${PROJECT_SOURCE_DIR}/LICENSE)
  # The guides carry the table of the window's texts, made from its one source.
  foreach(language en ja)
    set(out ${guide})
    set(in ${PROJECT_SOURCE_DIR}/docs/windows/README.txt.in)
    if(language STREQUAL ja)
      set(out ${guide_ja})
      set(in ${PROJECT_SOURCE_DIR}/docs/windows/README.ja.txt.in)
    endif()
    add_custom_command(
      OUTPUT ${out}
      COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/window-texts.py guide ${language} ${in} ${out}
      DEPENDS ${in} ${texts}
      VERBATIM)
  endforeach()
  add_custom_command(
    OUTPUT ${PROJECT_BINARY_DIR}/${name} ${PROJECT_BINARY_DIR}/${name}.sha256
    COMMAND ${Python3_EXECUTABLE} ${script} ${PROJECT_BINARY_DIR}/${name}
            tavrelle.exe=$<TARGET_FILE:tavrelle> README.txt=${guide} README.ja.txt=${guide_ja} LICENSE.txt=${licence}
    DEPENDS tavrelle ${script} ${guide} ${guide_ja} ${licence}
    VERBATIM)
  add_custom_target(windows_zip ALL DEPENDS ${PROJECT_BINARY_DIR}/${name})
endfunction()
