#!/usr/bin/env bash
# Packs a release: release.sh SIGNED_EXE ZIP writes ZIP (shortcase.exe, README.txt, LICENSE.txt)
# and SHA256SUMS beside it, covering the zip and the image.
# The zip is the same bytes wherever and whenever it is packed from the same image: members in a
# fixed order, mode 644, all stamped with the last commit's time (SOURCE_DATE_EPOCH overrides it)
# read as UTC, and no extra fields (zip -X drops the Unix times and owners).
set -euo pipefail
exe=$1 zip=$2
fail() { echo "release.sh: $*" >&2; exit 1; }

epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null)} ||
    fail "no commit to date the zip by: set SOURCE_DATE_EPOCH"
mkdir -p build
work=$(mktemp -d build/release.XXXXXX)
trap 'rm -rf "$work"' EXIT

cp "$exe" "$work/shortcase.exe"
# CRLF, so that Notepad before Windows 10 shows lines, not one long line.
for text in README.md:README.txt LICENSE:LICENSE.txt; do
    sed 's/\r*$/\r/' "${text%:*}" >"$work/${text#*:}"
done
chmod 644 "$work"/*
touch -d "@$epoch" "$work"/*
name=$(basename "$zip")
(cd "$work" && TZ=UTC zip -X -q "$name" shortcase.exe README.txt LICENSE.txt &&
    sha256sum "$name" shortcase.exe >SHA256SUMS)

# Nothing half-written in dist/: each file is moved there whole.
mkdir -p "$(dirname "$zip")"
mv "$work/$name" "$zip"
mv "$work/SHA256SUMS" "$(dirname "$zip")/SHA256SUMS"
echo "packed $zip and $(dirname "$zip")/SHA256SUMS"

# A release is published timestamped, and signed with the release certificate.
[ -n "${SHORTCASE_SIGN_CERT:-}" ] ||
    echo "release.sh: warning: signed with this build's throwaway certificate, not for publishing" >&2
[ -n "${SHORTCASE_SIGN_TIMESTAMP_URL:-}" ] ||
    echo "release.sh: warning: not timestamped; the signature will stop validating when the certificate expires" >&2
