#!/usr/bin/env bash
# Packs a release: release.sh SIGNED_EXE ZIP [ARCH=LINUX_BINARY ...] writes ZIP (shortcase.exe,
# README.txt, CHANGELOG.txt, LICENSE.txt), beside it for each Linux binary the tarball
# shortcase-VERSION-linux-ARCH.tar.gz (shortcase, README.md, CHANGELOG.md, LICENSE, shortcase.1
# in a folder of the tarball's name), and SHA256SUMS, covering the zip, the image and the
# tarballs; and, when
# SHORTCASE_RELEASE_URL names the https:// folder the zip will be published in, the winget and
# Scoop manifests of that zip in winget/ and scoop/ beside it (tools/manifests.py, for the
# version in VERSION, with that version's notes from CHANGELOG.md as winget's ReleaseNotes).
# release.sh --notes prints those notes, or stops with one line when CHANGELOG.md has none.
# The zip is the same bytes wherever and whenever it is packed from the same image: members in a
# fixed order, mode 644, all stamped with the last commit's time (SOURCE_DATE_EPOCH overrides it)
# read as UTC, and no extra fields (zip -X drops the Unix times and owners). So are the tarballs:
# members sorted, owned by 0, stamped the same, gzip without a name or time.
set -euo pipefail
fail() { echo "release.sh: $*" >&2; exit 1; }

# Text without the blank lines before its first line and after its last.
trim() { awk 'NF { while (blank) { print ""; blank-- } print; seen = 1; next } seen { blank++ }'; }

# The notes of version $1: the lines below its heading in CHANGELOG.md ('## [VERSION]', then
# the date) up to the next heading of that level or the link definitions that close the file.
# The heading is compared as text, brackets and all, so that 1.0 does not take 1.0.0's notes.
version_notes() {
    heading="## [$1]" awk '{ sub(/\r$/, "") }
        /^## / || /^\[.*\]: / { on = index($0, ENVIRON["heading"]) == 1; next }
        on' CHANGELOG.md | trim
}

# The user's manual as the release ships it: README.md without its section for those who build
# shortcase, whose links point into the repository, and naming the license by the file $1 that
# the zip or tarball holds.
manual() {
    awk '{ sub(/\r$/, "") } /^## / { skip = $0 == "## Building from source" } !skip' README.md |
        trim | sed "s/\`LICENSE\`/\`$1\`/g"
}

# CRLF, so that Notepad before Windows 10 shows lines, not one long line.
crlf() { sed 's/\r*$/\r/'; }

# A release says what it changed: without notes for its version nothing is packed, and `make
# release` asks before it signs the image.
version=$(cat VERSION)
notes=$(version_notes "$version" 2>/dev/null) || true
[ -n "$notes" ] || fail "CHANGELOG.md has no notes for version $version: a section headed" \
    "'## [$version]' with what changed below it"
if [ "${1:-}" = --notes ]; then
    printf '%s\n' "$notes"
    exit 0
fi
exe=$1 zip=$2
shift 2

epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null)} ||
    fail "no commit to date the zip by: set SOURCE_DATE_EPOCH"
mkdir -p build
work=$(mktemp -d build/release.XXXXXX)
trap 'rm -rf "$work"' EXIT

cp "$exe" "$work/shortcase.exe"
manual LICENSE.txt | crlf >"$work/README.txt"
crlf <CHANGELOG.md >"$work/CHANGELOG.txt"
crlf <LICENSE >"$work/LICENSE.txt"
chmod 644 "$work"/*
touch -d "@$epoch" "$work"/*
name=$(basename "$zip")
(cd "$work" && TZ=UTC zip -X -q "$name" shortcase.exe README.txt CHANGELOG.txt LICENSE.txt)
tarballs=()
for binary in "$@"; do
    folder=shortcase-$version-linux-${binary%%=*}
    mkdir "$work/$folder"
    install -m 755 "${binary#*=}" "$work/$folder/shortcase"
    manual LICENSE >"$work/$folder/README.md"
    install -m 644 CHANGELOG.md LICENSE linux/shortcase.1 "$work/$folder/"
    chmod 644 "$work/$folder/README.md"
    chmod 755 "$work/$folder"
    touch -d "@$epoch" "$work/$folder" "$work/$folder"/*
    tar -C "$work" --sort=name --owner=0 --group=0 --numeric-owner --format=gnu -cf - "$folder" |
        gzip -9n >"$work/$folder.tar.gz"
    tarballs+=("$folder.tar.gz")
done
(cd "$work" && sha256sum "$name" shortcase.exe "${tarballs[@]}" >SHA256SUMS)

# The manifests are made from the packed zip before anything reaches dist/: input that winget or
# Scoop would refuse stops the release with manifests.py's one line, and dist/ stays as it was.
if [ -n "${SHORTCASE_RELEASE_URL:-}" ]; then
    printf '%s\n' "$notes" >"$work/notes"
    python3 "$(dirname "$0")/manifests.py" "$work/$name" "$version" "$work/manifests" "$work/notes"
fi

# Nothing half-written in dist/: each file is moved there whole.
dist=$(dirname "$zip")
mkdir -p "$dist"
mv "$work/$name" "$zip"
for tarball in "${tarballs[@]}"; do
    mv "$work/$tarball" "$dist/$tarball"
    echo "packed $dist/$tarball"
done
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
