# The Windows tests' Wine prefix: private to the build folder, made on first
# use and kept (700 MB). Source it with $build set to the Windows build; the
# tests that use it hold ctest's lock "wine-prefix" (tests/windows.cmake),
# so that none ends Wine's server under another.
export WINEPREFIX=$build/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64

# make_wine_prefix LOG: the prefix as Wine makes it, without a display,
# unless it is there already; wineboot's output goes to LOG.
make_wine_prefix() {
  [ -e "$WINEPREFIX/.tavrelle-prefix" ] && return 0
  rm -rf "$WINEPREFIX"
  DISPLAY= wineboot --init >"$1" 2>&1 || return 1
  wineserver -w
  touch "$WINEPREFIX/.tavrelle-prefix"
}
