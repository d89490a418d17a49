#!/usr/bin/env bash
# Packs a release: release.sh SIGNED_EXE ZIP [ARCH=LINUX_BINARY ...] writes ZIP (shortcase.exe,
# README.txt, CHANGELOG.txt, LICENSE.txt), beside it for each Linux binary the tarball
# shortcase-VERSION-linux-ARCH.tar.gz (shortcase, README.md, CHANGELOG.md, LICENSE, shortcase.1
# in a folder of the tarball's name) and the Debian package shortcase_VERSION_DEBARCH.deb, and
# SHA256SUMS, covering the zip, the image, the tarballs and the packages; and, when
# SHORTCASE_RELEASE_URL names the https:// folder the zip will be published in, the winget and
# Scoop manifests of that zip in winget/ and scoop/ beside it (tools/manifests.py, for the
# version in VERSION, with that version's notes from CHANGELOG.md as winget's ReleaseNotes).
# release.sh --notes prints those notes, or stops with one line when CHANGELOG.md has none.
# The zip is the same bytes wherever and whenever it is packed from the same image: members in a
# fixed order, mode 644, all stamped with the last commit's time (SOURCE_DATE_EPOCH overrides it)
# read as UTC, and no extra fields (zip -X drops the Unix times and owners). So are the tarballs:
# members sorted, owned by 0, stamped the same, gzip without a name or time. So are the packages,
# whose maintainer is SHORTCASE_MAINTAINER ('Name <address>'), or else the last commit's author.
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

# CHANGELOG.md in Debian's changelog format, from version $1's section down to the oldest: an
# entry per section; '### Added' as 'Added:', '- ' items as '* ' (nested ones keep '-'), every
# paragraph and item indented and wrapped within the 80 columns lintian allows. The entry of $1 is
# dated by the commit, older ones by the day in their heading (else by the commit too).
debian_changelog() {
    maintainer=$maintainer heading="## [$1]" released=$(date -R -u -d "@$epoch") awk '
        function out(line) { if (gap && body) print ""; gap = 0; body = 1; print line }
        function flush(  words, n, i, line) {
            n = split(text, words, " ")
            text = ""
            if (!n) return
            line = first words[1]
            for (i = 2; i <= n; i++)
                if (length(line) + 1 + length(words[i]) > 80) { out(line); line = rest words[i] }
                else line = line " " words[i]
            out(line)
        }
        function sign() {
            flush()
            if (entries) printf "\n -- %s  %s\n", ENVIRON["maintainer"], when
        }
        { sub(/\r$/, "") }
        /^\[.*\]: / { exit }
        /^## / {
            if (!(on = on || index($0, ENVIRON["heading"]) == 1)) next
            sign()
            when = ENVIRON["released"]
            if (entries && match($0, /\] - [0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]$/)) {
                command = "date -R -u -d " substr($0, RSTART + 4); command | getline when
                close(command)
            }
            version = substr($0, 5, index($0, "]") - 5)
            printf "%sshortcase (%s) unstable; urgency=medium\n\n", entries++ ? "\n" : "", version
            body = gap = 0
            next
        }
        !on { next }
        !NF { flush(); gap = 1; next }
        /^### / { flush(); out("  " substr($0, 5) ":"); next }
        /^ *- / {
            flush()
            indent = $0; sub(/-.*/, "", indent)
            first = "  " indent (indent == "" ? "* " : "- "); rest = first; gsub(/./, " ", rest)
            text = substr($0, length(indent) + 3)
            next
        }
        text == "" { first = rest = "  " }
        { text = text " " $0 }
        END { sign() }' CHANGELOG.md
}

# The Debian package of binary $2 for Debian architecture $1, built in folder $3 and written as
# $3.deb: the binary in /usr/bin, the man page and the changelog compressed as lintian asks
# (gzip -9n), LICENSE as a machine-readable copyright file; every file owned by root and, through
# SOURCE_DATE_EPOCH, stamped with the commit's time.
debian_package() {
    local root=$3 doc=$3/usr/share/doc/shortcase size
    mkdir -p "$root/DEBIAN" "$root/usr/bin" "$root/usr/share/man/man1" "$doc" \
        "$root/usr/share/lintian/overrides"
    install -m 755 "$2" "$root/usr/bin/shortcase"
    gzip -9n <linux/shortcase.1 >"$root/usr/share/man/man1/shortcase.1.gz"
    debian_changelog "$version" | gzip -9n >"$doc/changelog.gz"
    {
        echo 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/'
        printf 'Upstream-Name: shortcase\n\nFiles: *\n'
        sed -n 's/^Copyright (c) /Copyright: /p' LICENSE
        echo 'License: Expat'  # Debian's name for this MIT license
        sed '1,/^Copyright/d' LICENSE | trim | sed 's/^$/./; s/^/ /'
    } >"$doc/copyright"
    # Read by lintian where the package is checked; each entry says why it does not apply.
    cat >"$root/usr/share/lintian/overrides/shortcase" <<'END'
# A static-pie program is position-independent and needs no library, so it has no NEEDED
# entry; lintian takes every position-independent executable without one for a library.
shortcase: shared-library-lacks-prerequisites [usr/bin/shortcase]
# The usage line 'shortcase NAME [NAME ...]' names its operand twice on purpose.
shortcase: spelling-error-in-changelog NAME NAME (duplicate word) NAME [usr/share/doc/shortcase/changelog.gz]
END
    (cd "$root" && find usr -type f | LC_ALL=C sort | xargs md5sum) >"$root/DEBIAN/md5sums"
    # In KiB as dpkg-gencontrol counts: each file rounded up, 1 for each folder.
    size=$(find "$root/usr" -printf '%y %s\n' |
        awk '{ total += $1 == "f" ? int(($2 + 1023) / 1024) : 1 } END { print total }')
    cat >"$root/DEBIAN/control" <<END
Package: shortcase
Version: $version
Architecture: $1
Maintainer: $maintainer
Installed-Size: $size
Section: utils
Priority: optional
Description: give files the spelling of their 8.3 short names where only case differs
 shortcase renames each file and directory on a FAT card or stick to its 8.3
 short name where the two differ only in letter case, such as notes.txt, whose
 short name is NOTES.TXT: DOS, cameras and embedded devices read short names.
END
    find "$root" -type d -exec chmod 755 {} +
    find "$root" -type f ! -path "$root/usr/bin/*" -exec chmod 644 {} +
    SOURCE_DATE_EPOCH=$epoch dpkg-deb --root-owner-group -Zxz --threads-max=1 --build "$root" \
        "$root.deb" >/dev/null
}

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
maintainer=${SHORTCASE_MAINTAINER:-$(git log -1 --format='%an <%ae>' 2>/dev/null || true)}
[ $# = 0 ] || [[ $maintainer =~ ^[^\<\>,]+\ \<[^\<\>\ ]+@[^\<\>\ ]+\>$ ]] ||
    fail "the packages need a maintainer 'Name <address>' in SHORTCASE_MAINTAINER," \
        "not '$maintainer'"
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
packed=()
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
    packed+=("$folder.tar.gz")
    case ${binary%%=*} in x86_64) arch=amd64 ;; aarch64) arch=arm64 ;; *) arch=${binary%%=*} ;; esac
    debian_package $arch "${binary#*=}" "$work/shortcase_${version}_$arch"
    packed+=("shortcase_${version}_$arch.deb")
done
(cd "$work" && sha256sum "$name" shortcase.exe "${packed[@]}" >SHA256SUMS)

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
for file in "${packed[@]}"; do
    mv "$work/$file" "$dist/$file"
    echo "packed $dist/$file"
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
