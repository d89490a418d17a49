#!/usr/bin/env bash
# Installs the Debian packages that `make` (build), `make release` (release) or `make test`
# (test) needs and finds missing, and lets 32-bit Wine run. Does nothing when everything is
# there. Needs root.
set -euo pipefail

build=(clang lld llvm osslsigncode openssl zip python3 musl-tools musl-dev)
release=(musl-dev:arm64)
test=(cmake g++ libgtest-dev libgmock-dev libbenchmark-dev libclang-rt-14-dev python3-yaml
      python3-jsonschema valgrind hyperfine qemu-user-static wine wine64 wine32:i386
      libfuse3-dev pkg-config user-mode-linux kmod dosfstools mtools lintian man-db dpkg-dev
      strace fdisk)
wanted=("${build[@]}")
[ "${1:-build}" != build ] && wanted+=("${release[@]}")
[ "${1:-build}" = test ] && wanted+=("${test[@]}")

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
missing=()
for package in "${wanted[@]}"; do installed "$package" || missing+=("$package"); done
if [ ${#missing[@]} -gt 0 ]; then
    for architecture in i386 arm64; do
        case " ${missing[*]} " in *:$architecture*) dpkg --print-foreign-architectures |
            grep -qx $architecture || dpkg --add-architecture $architecture ;; esac
    done
    # A mirror in the middle of a sync fails one index or another for a while ("File has
    # unexpected size"); apt then keeps the lists it had, and the install below says whether
    # they were enough.
    for try in 1 2 3; do apt-get update -qq && break; sleep 10; done || true
    # A 32-bit library must have the very version of its 64-bit twin. Where the mirror lacks
    # one architecture's security updates, only the release's own versions agree.
    install() { DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@"; }
    install "${missing[@]}" ||
        install -t "$(. /etc/os-release && echo "$VERSION_CODENAME")" "${missing[@]}"
fi

# Some kernels are built with 32-bit execution switched off (ia32_emulation=off). Wine's
# 32-bit loader then runs under qemu's user-mode emulator, registered for i386 ELF files.
if [ "${1:-build}" = test ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    binfmt=/proc/sys/fs/binfmt_misc
    [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
    [ -e "$binfmt/qemu-i386" ] || printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' >"$binfmt/register"
fi
