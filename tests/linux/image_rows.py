#!/usr/bin/env python3
"""shortcase -i on FAT images that sfdisk, mkfs.fat and mtools made, run by the built binary.

  image_rows.py BINARY WORK

Each row runs the binary on a fresh copy of an image and checks its exit status, its standard
output, its one line of refusal, and the image afterwards: each FAT volume as mdir lists it
(the renamed entries without long names, every other as before, all in the same order),
fsck.fat -n clean, and no byte changed but long-name records marked deleted (0x41 -> 0xE5)
and case bytes cleared. Then runs killed by strace at each of their writes, each followed by
a second run, must leave the bytes of one whole run. Exits 77 where the tools are missing.
"""

import collections
import dataclasses
import fcntl
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), 'uml'))
import uml  # noqa: E402  (mdir, fsck.fat and mcopy as the user-mode Linux suite runs them)

TREE = ['ReadMe.txt', 'KEEP.TXT', 'Photos/Notes.Txt', 'Photos/Holiday 2019.jpg', 'Photos/Sub/Deep.txt']
PAIRS = ['ReadMe.txt', 'Photos', 'Photos/Notes.Txt', 'Photos/Sub', 'Photos/Sub/Deep.txt']
WRITE = 'pwrite64'  # the system call by which the binary writes the image's sectors
# Each image: its size in MiB, its partition table (sfdisk's script), and its FAT volumes as
# (first 512-byte sector, MiB, mkfs.fat options), each filled with TREE.
DOS, GPT = 'label: dos\n', 'label: gpt\n'
DIRTY = (255, "shortcase: the FAT volume in '{I}' is marked dirty (not cleanly unmounted): run "
              "fsck.fat on it first")
IMAGES = {
    'fat12': (4, '', [(0, 4, ())]),
    'fat32': (40, '', [(0, 40, ('-F', '32', '-s', '1'))]),
    'sector4k': (8, '', [(0, 8, ('-S', '4096'))]),
    'mbr': (10, DOS + '2048,8192,6\n10240,8192,83\n', [(2048, 4, ())]),
    'gpt': (44, GPT + '2048,73728,U\n75776,8192,L\n', [(2048, 36, ('-F', '32', '-s', '1'))]),
    'two': (10, DOS + '2048,8192,6\n10240,8192,e\n', [(2048, 4, ()), (10240, 4, ())]),
    'bare': (5, '', [(2048, 4, ())]),  # no table: reached only by @@OFFSET
    'large': (4210, DOS + '8601600,16384,c\n', [(8601600, 8, ('-F', '16', '-s', '1'))]),  # past 4 GiB
    'linux': (10, DOS + '2048,8192,83\n', []),
}
Row = collections.namedtuple('Row', 'name image line renamed refusal listed patch hold',
                             defaults=((0, PAIRS), None, False, (), ''))
NO_FAT = "shortcase: '{I}' holds no FAT volume: found "
ROWS = [  # refusal: the exit status and standard error, {I} for the image's path
    Row('boot-sector-at-0', 'fat12', '-i {I} /'),
    Row('fat32-long-option', 'fat32', '--image={I} /'),
    Row('sectors-of-4096', 'sector4k', '-i {I} /'),
    Row('mbr-fat-and-linux', 'mbr', '-i {I} /'),
    Row('gpt-efi-system', 'gpt', '-i {I} /'),
    Row('partition-past-4-gib', 'large', '-i {I} /'),
    Row('two-fat-refused', 'two', '-i {I} /', refusal=(
        160, "shortcase: '{I}' holds 2 FAT volumes: pick one with --partition\n"
             "shortcase:   --partition=1: 4 MiB at byte 1048576\n"
             "shortcase:   --partition=2: 4 MiB at byte 5242880")),
    Row('partition-1', 'two', '--partition=1 -i {I} /'),
    Row('partition-2', 'two', '-i {I} --partition=2 /', renamed=(1, PAIRS)),
    Row('partition-3-absent', 'two', '--partition=3 -i {I} /',
        refusal=(160, "shortcase: '{I}' has no partition 3")),
    Row('partition-without-table', 'bare', '--partition=1 -i {I}@@1M /',
        refusal=(160, "shortcase: '{I}@@1M' has no partition table for --partition")),
    Row('offset-bytes', 'bare', '-i {I}@@1048576 /'),
    Row('offset-sectors', 'bare', '-i {I}@@2048S /'),
    Row('offset-kib', 'bare', '-i {I}@@1024K /'),
    Row('offset-mib', 'bare', '-i {I}@@1M /'),
    Row('unknown-refused', 'bare', '-i {I} /',
        refusal=(255, NO_FAT + 'neither a FAT boot sector nor a partition table')),
    Row('no-fat-partition', 'linux', '-i {I} /',
        refusal=(255, NO_FAT + 'a partition table without a FAT partition')),
    Row('exfat-refused', 'fat12', '-i {I} /', patch=((3, b'EXFAT   '),),
        refusal=(255, NO_FAT + 'exFAT, which has no short names')),
    Row('ntfs-refused', 'fat12', '-i {I} /', patch=((3, b'NTFS    '),),
        refusal=(255, NO_FAT + 'NTFS')),
    Row('dirty-fat12-refused', 'fat12', '-i {I} /', patch=((0x25, b'\1'),), refusal=DIRTY),
    Row('dirty-fat32-refused', 'fat32', '-i {I} /', patch=((0x41, b'\1'),), refusal=DIRTY),
    Row('held-by-another-run', 'fat12', '-i {I} /', hold='lock',
        refusal=(33, "shortcase: '{I}' is in use by another shortcase")),
    Row('unwritable-refused', 'fat12', '-i {I} /', hold='nobody', refusal=(
        5, "shortcase: '{I}' cannot be opened for writing (error 5); -n lists the renames "
           "without writing")),
    Row('unwritable-dry-run', 'fat12', '-n -i {I} /', listed=True, hold='nobody'),
    Row('dry-run', 'fat32', '-n -i {I} /', listed=True),
    Row('verbose-directory', 'fat12', '-v -i {I} /Photos', renamed=(0, PAIRS[1:]), listed=True),
    Row('contents-any-case', 'fat12', '-i {I} photos/', renamed=(0, PAIRS[2:])),
    Row('wildcard-any-case', 'fat12', '-i {I} /PHOTOS/*.txt', renamed=(0, PAIRS[2:3])),
    Row('dot', 'fat12', '-i {I} .'),
]


def listed(verb, paths):
    """The lines -n or -v print for renaming paths, from the root: a directory renamed is
    walked under its new name."""
    def parent(p):
        parts = p.split('/')
        return '/'.join([''] + [x.upper() if '/'.join(parts[:i + 1]) in paths else x
                                for i, x in enumerate(parts[:-1])])
    return sorted(f"{verb} '{parent(p)}/{p.split('/')[-1]}' -> '{parent(p)}/{p.split('/')[-1].upper()}'"
                  for p in paths)


def changes(before, after):
    """(offset, old byte, new byte) for each byte that differs; holes in both are skipped."""
    found, at = [], 0
    with open(before, 'rb') as a, open(after, 'rb') as b:
        while True:
            starts = []
            for f in (a, b):
                try:
                    starts.append(os.lseek(f.fileno(), at, os.SEEK_DATA))
                except OSError:  # no data after at
                    pass
            if not starts:
                return found
            at = min(starts)
            a.seek(at)
            b.seek(at)
            x, y = a.read(1 << 20), b.read(1 << 20)
            if x != y:
                found += [(at + i, p, q) for i, (p, q) in enumerate(zip(x, y)) if p != q]
            at += 1 << 20


def volume_faults(before, after, volumes, renamed):
    """mdir's listing of each volume against the expected, and fsck.fat -n on it."""
    faults = []
    for n, (sector, mib, _) in enumerate(volumes):
        was, now = (uml.mdir(f'{p}@@{sector * 512}') for p in (before, after))
        wanted = [(k, dataclasses.replace(e, long='') if n == renamed[0] and e.shown in renamed[1]
                   else e) for k, e in was.items()]
        if list(now.items()) != wanted:
            faults.append(f'volume {n + 1}: {list(now.values())}, expected {[e for _, e in wanted]}')
        with open(after, 'rb') as f, open(after + '.part', 'wb') as part:
            f.seek(sector * 512)
            part.write(f.read(mib << 20))
        clean, text = uml.fsck(after + '.part')
        faults += [] if clean else [f'volume {n + 1}: {text[-300:]}']
    return faults


def run_row(binary, work, row):
    image = os.path.join(work, row.image + '.img')
    copy, before = os.path.join(work, row.name + '.img'), image
    subprocess.run(['cp', '--sparse=always', image, copy], check=True)
    if row.patch:
        with open(copy, 'r+b') as f:
            for offset, data in row.patch:
                f.seek(offset)
                f.write(data)
        before = copy + '.before'
        shutil.copyfile(copy, before)
    prefix = ['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups'] * (row.hold == 'nobody')
    with open(copy) as held:
        if row.hold == 'lock':
            fcntl.flock(held, fcntl.LOCK_EX)
        done = subprocess.run(prefix + [binary] + row.line.replace('{I}', copy).split(),
                              capture_output=True, text=True, timeout=120)
    dry = row.refusal or '-n' in row.line
    faults = []
    if row.refusal and (done.returncode, done.stdout, done.stderr) != \
            (row.refusal[0], '', row.refusal[1].replace('{I}', copy) + '\n'):
        faults.append(f'exit {done.returncode}, {done.stdout!r}, {done.stderr!r}: expected '
                      f'{row.refusal}')
    wanted = listed('would rename' if dry else 'renamed', row.renamed[1]) if row.listed else []
    if row.refusal is None and (done.returncode or done.stderr or sorted(done.stdout.splitlines()) != wanted):
        faults.append(f'exit {done.returncode}, {done.stdout!r}, {done.stderr!r}: expected 0, {wanted}')
    changed = changes(before, copy)
    deleted = [c for c in changed if c[1:] == (0x41, 0xE5)]
    if [c for c in changed if c not in deleted and (c[2] or c[1] not in (8, 16, 24))] or \
            len(deleted) != (0 if dry else len(row.renamed[1])):
        faults.append(f'bytes changed: {changed[:12]}')
    return faults + ([] if dry else volume_faults(before, copy, IMAGES[row.image][2], row.renamed))


def kill_faults(binary, work):
    """A run killed at each of its writes, then fsck.fat -n, then a second run whole."""
    image, whole = os.path.join(work, 'fat12.img'), os.path.join(work, 'whole.img')
    shutil.copyfile(image, whole)
    first = subprocess.run(['strace', '-f', '-o', whole + '.trace', '-e', f'trace={WRITE},fsync,'
                            'fdatasync', binary, '-i', whole, '/'], capture_output=True, text=True)
    if first.returncode:
        return [f'a whole run: exit {first.returncode}, {first.stderr!r}']
    trace = open(whole + '.trace').read()
    writes = [(int(n), int(at)) for n, at in re.findall(WRITE + r'\(\d+, .*, (\d+), (\d+)\) = ', trace)]
    sectors = {at // 512 for at, _, _ in changes(image, whole)}
    faults = [f'{WRITE}({n}, {at}): not whole sectors that the run changes' for n, at in writes
              if n % 512 or at % 512 or {s for s in range(at // 512, (at + n) // 512)} - sectors]
    if len(writes) < 2 or max(trace.rfind('fsync('), trace.rfind('fdatasync(')) < trace.rfind(WRITE):
        faults.append(f'{len(writes)} writes, then no flush: {trace[-400:]!r}')
    print(f'     a whole run: {len(writes)} writes of {WRITE}, then {trace.count("fdatasync(")} fdatasync')
    for when in range(1, len(writes) + 1):
        killed = os.path.join(work, f'killed-{when}.img')
        shutil.copyfile(image, killed)
        done = subprocess.run(['strace', '-f', '-o', '/dev/null', '-e', f'inject={WRITE}:error=EIO:'
                               f'signal=KILL:when={when}', binary, '-i', killed, '/'], capture_output=True)
        clean, text = uml.fsck(killed)
        cut = done.returncode in (-9, 137) and open(killed, 'rb').read() != open(whole, 'rb').read()
        again = subprocess.run([binary, '-i', killed, '/'], capture_output=True)
        if not (cut and clean and again.returncode == 0 and not changes(whole, killed)):
            faults.append(f'killed at write {when} (exit {done.returncode}, fsck {text[-200:]!r}),'
                          f' then exit {again.returncode}: {changes(whole, killed)[:8]}')
    return faults


def main():
    binary, work = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    missing = [t for t in ('sfdisk', 'mkfs.fat', 'fsck.fat', 'mcopy', 'strace', 'setpriv')
               if not shutil.which(t)]
    if missing:
        print(f'skipped: {", ".join(missing)} missing (tools/deps.sh test installs them)')
        return 77
    shutil.rmtree(work, ignore_errors=True)
    staging = os.path.join(work, 'staging')
    for path in TREE:
        os.makedirs(os.path.dirname(os.path.join(staging, path)), exist_ok=True)
        open(os.path.join(staging, path), 'w').close()
    for name, (mib, table, volumes) in IMAGES.items():
        path = os.path.join(work, name + '.img')
        with open(path, 'wb') as f:
            f.truncate(mib << 20)
        if table:
            subprocess.run(['sfdisk', '-q', path], input=table, text=True, check=True)
        for sector, size, options in volumes:
            subprocess.run(['mkfs.fat', *options, f'--offset={sector}', path, str(size << 10)],
                           check=True, capture_output=True)
            uml.mcopy_tree(f'{path}@@{sector * 512}', staging)
    failed = 0
    for name, check in [(r.name, lambda r=r: run_row(binary, work, r)) for r in ROWS] + \
            [('killed-then-finished', lambda: kill_faults(binary, work))]:
        started = time.monotonic()
        faults = check()
        failed += bool(faults)
        print(f'{"FAIL" if faults else "ok":4} {name} ({time.monotonic() - started:.1f} s)' +
              ''.join(f'\n       {f}' for f in faults))
    print(f'{len(ROWS) + 1 - failed} of {len(ROWS) + 1} rows as expected')
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
