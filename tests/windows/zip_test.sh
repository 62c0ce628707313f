#!/usr/bin/env bash
# The Windows download (make windows):
#   tests/windows/zip_test.sh BUILD-WINDOWS-DIR SOURCE-DIR
# The zip holds exactly the program, the two guides and the licence, each
# stored with the mode 0644, the guides with the table of the window's texts
# as its source makes it; its checksum file names it correctly, and a second
# build of the same sources in another folder gives the same bytes.
set -euo pipefail
build=$(cd "${1:?usage: zip_test.sh BUILD-WINDOWS-DIR SOURCE-DIR}" && pwd)
source_dir=$(cd "${2:?usage: zip_test.sh BUILD-WINDOWS-DIR SOURCE-DIR}" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }

zips=("$build"/tavrelle-*-windows-x86_64.zip)
[ ${#zips[@]} = 1 ] && [ -f "${zips[0]}" ] || fail "no single zip in $build (make windows)"
zip=${zips[0]}
name=$(basename "$zip")

listing=$(python3 -c 'import sys, zipfile; print(" ".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$zip")
[ "$listing" = "tavrelle.exe README.txt README.ja.txt LICENSE.txt" ] || fail "the zip holds: $listing"
modes=$(python3 -c 'import sys, zipfile; print(" ".join(oct(e.external_attr >> 16) for e in zipfile.ZipFile(sys.argv[1]).infolist()))' "$zip")
[ "$modes" = "0o100644 0o100644 0o100644 0o100644" ] || fail "the zip's modes: $modes"
for guide in README.txt:en README.ja.txt:ja; do
  file=${guide%:*} language=${guide#*:}
  python3 "$source_dir/scripts/window-texts.py" guide "$language" "$source_dir/docs/windows/$file.in" "$build/expected-$file"
  python3 -c 'import sys, zipfile; sys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]))' "$zip" "$file" |
    sed '1s/^\xef\xbb\xbf//; s/\r$//' | cmp -s - "$build/expected-$file" || fail "$file in the zip is not its template with the texts' table"
  grep -q "ＭＩＤＩ音源がないのでこのソフトは利用できません" "$build/expected-$file" || fail "$file lacks the table"
done
(cd "$build" && sha256sum --quiet -c "$name.sha256") || fail "$name.sha256 does not match the zip"
[ "$(cut -d' ' -f3 "$build/$name.sha256")" = "$name" ] || fail "the checksum file names $(cut -d' ' -f3 "$build/$name.sha256")"

# Another folder, with a path of another length, so that a path or a time
# stamp that reaches the bytes shows.
other=$(mktemp -d "${TMPDIR:-/tmp}/tavrelle-zip-test.XXXXXX")
trap 'rm -rf "$other"' EXIT
cmake -S "$source_dir" -B "$other/a-second-build-folder" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" -DTAVRELLE_BUILD_TESTS=OFF >"$other/configure.log" 2>&1 ||
  fail "the second build did not configure: $(tail -5 "$other/configure.log")"
cmake --build "$other/a-second-build-folder" -j $(($(nproc) + 2)) --target windows_zip >"$other/build.log" 2>&1 ||
  fail "the second build failed: $(tail -5 "$other/build.log")"
cmp "$zip" "$other/a-second-build-folder/$name" || fail "two builds of the same sources differ"
cmp "$build/$name.sha256" "$other/a-second-build-folder/$name.sha256" || fail "the checksum files differ"
echo "PASS: $name, $(stat -c %s "$zip") bytes, sha256 $(cut -d' ' -f1 "$build/$name.sha256")"
