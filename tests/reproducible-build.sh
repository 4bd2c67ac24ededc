#!/usr/bin/env bash
# Builds the module a second time from a copy of the sources at another path,
# into another build folder, and checks that the DLL and its debug file come
# out byte for byte the same as the first build's.
#   reproducible-build.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")
work=$(mktemp -d "${TMPDIR:-/tmp}/qh-repro.XXXXXX")
trap 'rm -rf "$work"' EXIT
copy="$work/another/checkout"
mkdir -p "$copy"
if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$src" ls-files -z --cached --others --exclude-standard |
        (cd "$src" && xargs -0 cp --parents -t "$copy" 2>/dev/null) || true
else
    tar -C "$src" --exclude=./build -cf - . | tar -C "$copy" -xf -
fi
cmake -G Ninja -S "$copy" -B "$work/elsewhere" -DCMAKE_BUILD_TYPE="$build_type" >"$work/log" 2>&1 ||
    { cat "$work/log"; echo "error: the second configure failed"; exit 1; }
cmake --build "$work/elsewhere" --target Quillhaven >>"$work/log" 2>&1 ||
    { cat "$work/log"; echo "error: the second build failed"; exit 1; }
status=0
for f in Quillhaven.dll Quillhaven.dll.debug; do
    a=$(sha256sum <"$build/bin/$f" | cut -d' ' -f1)
    b=$(sha256sum <"$work/elsewhere/bin/$f" | cut -d' ' -f1)
    if [ "$a" = "$b" ]; then
        echo "same: $f $a"
    else
        echo "differ: $f: $a here, $b from $copy"
        status=1
    fi
done
exit $status
