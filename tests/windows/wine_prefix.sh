# The Windows tests' Wine prefix: private to the build folder, made on first
# use and kept (700 MB). Source it with $build set to the Windows build; the
# tests that use it hold ctest's lock "wine-prefix" (tests/windows.cmake),
# so that none ends Wine's server under another.
export WINEPREFIX=$build/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64

# make_wine_prefix LOG: the prefix as Wine makes it, without a display,
# unless it is there already; wineboot's output goes to LOG. A first try
# that fails (once, in a full run, "could not load kernel32.dll" within a
# second) is tried again from nothing, with any Wine server of that folder
# ended: Wine finds its server by the folder's inode, which a removed
# folder's successor may take.
make_wine_prefix() {
  [ -e "$WINEPREFIX/.tavrelle-prefix" ] && return 0
  local try
  for try in 1 2; do
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineserver -k 2>/dev/null || true
    if DISPLAY= wineboot --init >>"$1" 2>&1; then
      wineserver -w
      touch "$WINEPREFIX/.tavrelle-prefix"
      return 0
    fi
    echo "--- wineboot failed (try $try)" >>"$1"
  done
  return 1
}
