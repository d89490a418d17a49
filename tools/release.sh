#!/usr/bin/env bash
# Packs a release: release.sh SIGNED_EXE ZIP writes ZIP (shortcase.exe, README.txt, LICENSE.txt)
# and SHA256SUMS beside it, covering the zip and the image; and, when SHORTCASE_RELEASE_URL names
# the https:// folder the zip will be published in, the winget and Scoop manifests of that zip
# in winget/ and scoop/ beside it (tools/manifests.py, for the version in VERSION).
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

# The manifests are made from the packed zip before anything reaches dist/: input that winget or
# Scoop would refuse stops the release with manifests.py's one line, and dist/ stays as it was.
if [ -n "${SHORTCASE_RELEASE_URL:-}" ]; then
    python3 "$(dirname "$0")/manifests.py" "$work/$name" "$(cat VERSION)" "$work/manifests"
fi

# Nothing half-written in dist/: each file is moved there whole.
dist=$(dirname "$zip")
mkdir -p "$dist"
mv "$work/$name" "$zip"
mv "$work/SHA256SUMS" "$dist/SHA256SUMS"
echo "packed $zip and $dist/SHA256SUMS"

# The manifests in dist/ are those of the zip in SHA256SUMS, or none: an earlier run's, for
# another version or publisher, go. Only files of the names manifests.py writes are removed, and
# only folders left empty, so nothing else anyone put there is lost.
shopt -s nullglob
rm -f "$dist"/winget/*/*/*.shortcase.yaml "$dist"/winget/*/*/*.shortcase.installer.yaml \
    "$dist"/winget/*/*/*.shortcase.locale.en-US.yaml "$dist/scoop/shortcase.json"
rmdir "$dist"/winget/*/* "$dist"/winget/* "$dist/winget" "$dist/scoop" 2>/dev/null || true
if [ -d "$work/manifests" ]; then
    (cd "$work/manifests" && find winget scoop -type f | sort) | while read -r file; do
        mkdir -p "$dist/$(dirname "$file")"
        mv "$work/manifests/$file" "$dist/$file"
    done
    echo "wrote the winget manifests in $dist/winget and the Scoop manifest in $dist/scoop"
else
    echo "no winget or Scoop manifests: SHORTCASE_RELEASE_URL is not set"
fi

# A release is published timestamped, and signed with the release certificate.
[ -n "${SHORTCASE_SIGN_CERT:-}" ] ||
    echo "release.sh: warning: signed with this build's throwaway certificate, not for publishing" >&2
[ -n "${SHORTCASE_SIGN_TIMESTAMP_URL:-}" ] ||
    echo "release.sh: warning: not timestamped; the signature will stop validating when the certificate expires" >&2
