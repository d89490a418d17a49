#!/usr/bin/env python3
"""shortcase -i on images that sfdisk, mkfs.fat and mcopy make: image_rows.py BINARY WORK.

Each row runs BINARY on a fresh copy of an image and checks its status and output, each FAT
volume as mdir lists it (renamed entries without long names, every entry in its place),
fsck.fat -n, and that no byte changed but long-name records deleted (0x41 -> 0xE5) and case
bytes cleared. Runs killed by strace at each write, then run again, must leave one whole run's
bytes. Exits 77 where the tools are missing.
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

TREE = ['ReadMe.txt', 'KEEP.TXT', 'Photos/Notes.Txt', 'Photos/Holiday 2019.jpg',
        'Photos/Sub/Deep.txt']
PAIRS = ['ReadMe.txt', 'Photos', 'Photos/Notes.Txt', 'Photos/Sub', 'Photos/Sub/Deep.txt']
DOS, GPT, FAT32 = 'label: dos\n', 'label: gpt\n', ('-F', '32', '-s', '1')
# Each image: MiB, sfdisk's script, its FAT volumes (first 512-byte sector, MiB, mkfs.fat's
# options), each filled with TREE.
IMAGES = {'fat12': (4, '', [(0, 4, ())]), 'fat32': (40, '', [(0, 40, FAT32)]),
          'sector4k': (8, '', [(0, 8, ('-S', '4096'))]),
          'mbr': (10, DOS + '2048,8192,6\n10240,8192,83\n', [(2048, 4, ())]),
          'gpt': (44, GPT + '2048,73728,U\n75776,8192,L\n', [(2048, 36, FAT32)]),
          'two': (10, DOS + '2048,8192,6\n10240,8192,e\n', [(2048, 4, ()), (10240, 4, ())]),
          'bare': (5, '', [(2048, 4, ())]), 'linux': (10, DOS + '2048,8192,83\n', []),
          'large': (4210, DOS + '8601600,16384,c\n', [(8601600, 8, ('-F', '16', '-s', '1'))])}
NO_FAT, IN = "shortcase: '{I}' holds no FAT volume: found ", "shortcase: '{I}' "
DIRTY = (255, "shortcase: the FAT volume in '{I}' is marked dirty (not cleanly unmounted): run "
              "fsck.fat on it first")
Row = collections.namedtuple('Row', 'name image line renamed refusal listed patch hold',
                             defaults=((0, PAIRS), None, False, (), ''))
ROWS = [  # refusal: the status and standard error, {I} the image's path
    Row('boot-sector-at-0', 'fat12', '-i {I} /'), Row('fat32', 'fat32', '--image={I} /'),
    Row('sectors-of-4096', 'sector4k', '-i {I} /'), Row('mbr-fat-and-linux', 'mbr', '-i {I} /'),
    Row('gpt-efi-system', 'gpt', '-i {I} /'), Row('past-4-gib', 'large', '-i {I} /'),
    Row('two-fat-refused', 'two', '-i {I} /', refusal=(
        160, IN + "holds 2 FAT volumes: pick one with --partition\nshortcase:   --partition=1: "
        "4 MiB at byte 1048576\nshortcase:   --partition=2: 4 MiB at byte 5242880")),
    Row('partition-1', 'two', '--partition=1 -i {I} /'),
    Row('partition-2', 'two', '-i {I} --partition=2 /', renamed=(1, PAIRS)),
    Row('partition-3', 'two', '--partition=3 -i {I} /', refusal=(160, IN + 'has no partition 3')),
    Row('partition-no-table', 'bare', '--partition=1 -i {I}@@1M /',
        refusal=(160, "shortcase: '{I}@@1M' has no partition table for --partition")),
    Row('offset-bytes', 'bare', '-i {I}@@1048576 /'), Row('offset-s', 'bare', '-i {I}@@2048S /'),
    Row('offset-k', 'bare', '-i {I}@@1024K /'), Row('offset-m', 'bare', '-i {I}@@1M /'),
    Row('unknown', 'bare', '-i {I} /',
        refusal=(255, NO_FAT + 'neither a FAT boot sector nor a partition table')),
    Row('no-fat-partition', 'linux', '-i {I} /',
        refusal=(255, NO_FAT + 'a partition table without a FAT partition')),
    Row('exfat', 'fat12', '-i {I} /', patch=((3, b'EXFAT   '),),
        refusal=(255, NO_FAT + 'exFAT, which has no short names')),
    Row('ntfs', 'fat12', '-i {I} /', patch=((3, b'NTFS    '),), refusal=(255, NO_FAT + 'NTFS')),
    Row('dirty-fat12', 'fat12', '-i {I} /', patch=((0x25, b'\1'),), refusal=DIRTY),
    Row('dirty-fat32', 'fat32', '-i {I} /', patch=((0x41, b'\1'),), refusal=DIRTY),
    Row('held', 'fat12', '-i {I} /', hold='lock',
        refusal=(33, IN + 'is in use by another shortcase')),
    Row('unwritable', 'fat12', '-i {I} /', hold='nobody', refusal=(
        5, IN + 'cannot be opened for writing (error 5); -n lists the renames without writing')),
    Row('unwritable-dry-run', 'fat12', '-n -i {I} /', listed=True, hold='nobody'),
    Row('dry-run', 'fat32', '-n -i {I} /', listed=True),
    Row('verbose-directory', 'fat12', '-v -i {I} /Photos', renamed=(0, PAIRS[1:]), listed=True),
    Row('contents-any-case', 'fat12', '-i {I} photos/', renamed=(0, PAIRS[2:])),
    Row('wildcard-any-case', 'fat12', '-i {I} /PHOTOS/*.txt', renamed=(0, PAIRS[2:3])),
    Row('dot', 'fat12', '-i {I} .'),
]


def listed(verb, paths):
    """-n's or -v's lines for paths, from the root: a directory renamed is walked as renamed."""
    up = lambda p: '/'.join(x.upper() if '/'.join(p.split('/')[:i + 1]) in paths else x
                            for i, x in enumerate(p.split('/')))
    return sorted(f"{verb} '/{up(os.path.dirname(p))}/{os.path.basename(p)}' -> '/{up(p)}'"
                  .replace("'//", "'/") for p in paths)


def changes(before, after):
    """(offset, old byte, new byte) where they differ; after's holes are zeros in both."""
    found, at = [], 0
    with open(before, 'rb') as a, open(after, 'rb') as b:
        while True:
            try:
                at = os.lseek(b.fileno(), at, os.SEEK_DATA)
            except OSError:  # no data after at
                return found
            end = os.lseek(b.fileno(), at, os.SEEK_HOLE)
            a.seek(at)
            b.seek(at)
            found += [(at + i, p, q) for i, (p, q) in enumerate(zip(a.read(end - at),
                                                                      b.read(end - at))) if p != q]
            at = end


def run_row(binary, work, row):
    image, copy = (os.path.join(work, name + '.img') for name in (row.image, 'run-' + row.name))
    subprocess.run(['cp', '--sparse=always', image, copy], check=True)
    with open(copy, 'r+b') as f:
        for offset, data in row.patch:
            f.seek(offset)
            f.write(data)
    before = shutil.copyfile(copy, copy + '.before') if row.patch else image
    nobody = ['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups'] * \
        (row.hold == 'nobody')
    with open(copy) as held:
        if row.hold == 'lock':
            fcntl.flock(held, fcntl.LOCK_EX)
        done = subprocess.run(nobody + [binary] + row.line.replace('{I}', copy).split(),
                              capture_output=True, text=True, timeout=120)
    dry = bool(row.refusal) or '-n' in row.line
    got = (done.returncode, sorted(done.stdout.splitlines()), done.stderr)
    wanted = (row.refusal[0], [], row.refusal[1].replace('{I}', copy) + '\n') if row.refusal \
        else (0, listed('would rename' if dry else 'renamed', row.renamed[1]) * row.listed, '')
    faults = [f'{got}, expected {wanted}'] * (got != wanted)
    changed = changes(before, copy)
    deleted = [c for c in changed if c[1:] == (0x41, 0xE5)]
    if len(deleted) != (0 if dry else len(row.renamed[1])) or \
            any(c not in deleted and (c[2] or c[1] not in (8, 16, 24)) for c in changed):
        faults.append(f'bytes changed: {changed[:12]}')
    for n, (sector, mib, _) in enumerate(IMAGES[row.image][2] * (not dry)):
        was, now = (uml.mdir(f'{p}@@{sector * 512}') for p in (before, copy))
        renamed = row.renamed[1] if n == row.renamed[0] else []
        now, wanted = list(now.items()), [(k, dataclasses.replace(e, long='') if e.shown in renamed
                                           else e) for k, e in was.items()]
        faults += [f'volume {n + 1}: {[e for _, e in now]}'] * (now != wanted)
        with open(copy, 'rb') as f, open(copy + '.part', 'wb') as part:
            f.seek(sector * 512)
            part.write(f.read(mib << 20))
        clean, text = uml.fsck(copy + '.part')
        faults += [f'volume {n + 1}: {text[-300:]}'] * (not clean)
    return faults


def kill_faults(binary, work):
    """Whole sectors written, each one the run changes, then flushed; a run killed at each write."""
    image, whole = os.path.join(work, 'fat12.img'), os.path.join(work, 'whole.img')
    shutil.copyfile(image, whole)
    trace = subprocess.run(['strace', '-f', '-o', '/dev/stdout', '-e', 'trace=pwrite64,fdatasync',
                            binary, '-i', whole, '/'], capture_output=True, text=True).stdout
    writes = [(int(n), int(at))
              for n, at in re.findall(r'pwrite64\(\d+, .*, (\d+), (\d+)\) = ', trace)]
    sectors = {at // 512 for at, _, _ in changes(image, whole)}
    faults = [f'pwrite64 of {n} at {at}' for n, at in writes if n % 512 or at % 512 or
              set(range(at // 512, (at + n) // 512)) - sectors]
    faults += [f'{len(writes)} writes, flushed? {trace[-300:]!r}'] * (
        len(writes) < 2 or trace.rfind('fdatasync(') < trace.rfind('pwrite64('))
    print(f'     a whole run: {len(writes)} writes, then fdatasync')
    for when in range(1, len(writes) + 1):
        killed = shutil.copyfile(image, os.path.join(work, f'killed-{when}.img'))
        status = subprocess.run(['strace', '-f', '-o', '/dev/null', '-e', f'inject=pwrite64:error='
                                 f'EIO:signal=KILL:when={when}', binary, '-i', killed, '/']).returncode
        cut, (clean, text) = changes(whole, killed), uml.fsck(killed)
        again = subprocess.run([binary, '-i', killed, '/']).returncode
        if status not in (-9, 137) or not cut or not clean or again or changes(whole, killed):
            faults.append(f'killed at write {when}: {status}, {cut[:4]}, {text[-200:]!r}, {again}')
    return faults


def main():
    binary, work = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    missing = [t for t in ('sfdisk', 'mkfs.fat', 'mcopy', 'strace', 'setpriv')
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
        open(path, 'wb').close()
        os.truncate(path, mib << 20)
        if table:
            subprocess.run(['sfdisk', '-q', path], input=table, text=True, check=True)
        for sector, size, options in volumes:
            subprocess.run(['mkfs.fat', *options, f'--offset={sector}', path, str(size << 10)],
                           check=True, capture_output=True)
            uml.mcopy_tree(f'{path}@@{sector * 512}', staging)
    failed = 0
    for name, check in [(r.name, lambda r=r: run_row(binary, work, r)) for r in ROWS] + \
            [('killed-then-finished', lambda: kill_faults(binary, work))]:
        started, faults = time.monotonic(), check()
        failed += bool(faults)
        print(f'{"FAIL" if faults else "ok":4} {name} ({time.monotonic() - started:.1f} s)' +
              ''.join(f'\n       {f}' for f in faults))
    print(f'{len(ROWS) + 1 - failed} of {len(ROWS) + 1} rows as expected')
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
