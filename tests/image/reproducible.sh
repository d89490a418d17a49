#!/usr/bin/env bash
# Two builds from clean copies of the sources, in folders of different names and with different
# parallelism, must give the same unsigned image byte for byte; and packing the one signed image
# in each, under different umasks and time zones, the same zip.
# reproducible.sh ROOT — ROOT is the checkout with dist/shortcase.exe built.
set -euo pipefail
root=$(cd "$1" && pwd)
work=$(mktemp -d -t shortcase-reproducible-XXXXXX)
trap 'rm -rf "$work"' EXIT
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)
export SOURCE_DATE_EPOCH

a=$work/one/a b=$work/two/a-longer-name
# pack COPY JOBS: copies the sources, builds the image, packs the one signed image.
pack() {
    mkdir -p "$1"
    (cd "$root" && git ls-files -z | xargs -0 cp --parents -t "$1")
    make -s -C "$1" -j"$2" build/win/shortcase.exe
    (cd "$1" && bash tools/release.sh "$root/dist/shortcase.exe" dist/r.zip) >/dev/null
}
pack "$a" 1
sleep 1  # a time that slips into either would now differ
(umask 077 && TZ=Pacific/Kiritimati pack "$b" 2)

sha256sum "$a/build/win/shortcase.exe" "$b/build/win/shortcase.exe" "$a/dist/r.zip" "$b/dist/r.zip"
cmp "$a/build/win/shortcase.exe" "$b/build/win/shortcase.exe"
cmp "$a/dist/r.zip" "$b/dist/r.zip"
echo "two clean builds give the same unsigned image; two packings of one signed image, the same zip"
