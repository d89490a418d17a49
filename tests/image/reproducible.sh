#!/usr/bin/env bash
# Two builds from clean copies of the sources, in folders of different names and with different
# parallelism, must give the same unsigned image and Linux binaries byte for byte; and packing
# the one signed image and each copy's binaries, under different umasks and time zones, the same
# zip, tarballs and Debian packages.
# reproducible.sh ROOT — ROOT is the checkout with dist/shortcase.exe built.
set -euo pipefail
root=$(cd "$1" && pwd)
work=$(mktemp -d -t shortcase-reproducible-XXXXXX)
trap 'rm -rf "$work"' EXIT
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)
SHORTCASE_MAINTAINER=$(git -C "$root" log -1 --format='%an <%ae>')
export SOURCE_DATE_EPOCH SHORTCASE_MAINTAINER

a=$work/one/a b=$work/two/a-longer-name
# pack COPY JOBS: copies the sources, builds the image, packs the one signed image.
pack() {
    mkdir -p "$1"
    (cd "$root" && git ls-files -z | xargs -0 cp --parents -t "$1")
    make -s -C "$1" -j"$2" build/win/shortcase.exe dist/shortcase build/aarch64/shortcase
    (cd "$1" && bash tools/release.sh "$root/dist/shortcase.exe" dist/r.zip \
        x86_64=dist/shortcase aarch64=build/aarch64/shortcase) >/dev/null
}
pack "$a" 1
sleep 1  # a time that slips into either would now differ
(umask 077 && TZ=Pacific/Kiritimati pack "$b" 2)

version=$(cat "$root/VERSION")
for file in build/win/shortcase.exe dist/r.zip dist/SHA256SUMS \
        dist/shortcase-"$version"-linux-{x86_64,aarch64}.tar.gz dist/shortcase_"$version"_{amd64,arm64}.deb; do
    sha256sum "$a/$file" "$b/$file"
    cmp "$a/$file" "$b/$file"
done
echo "two clean builds give the same unsigned image and Linux binaries; two packings, the same" \
    "zip, tarballs and Debian packages"
