#!/usr/bin/env python3
"""shortcase -i on images that sfdisk, mkfs.fat and mcopy make: image_rows.py BINARY WORK.

Each row runs BINARY on a copy of an image (run_row says what it checks); then runs killed by
strace at each write in turn, each run again, must leave one whole run's bytes. Exits 77
where a tool is missing."""

import collections
import dataclasses
import os
import re
import shlex
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), 'uml'))
import uml  # noqa: E402  (mdir, fsck.fat and mcopy as the user-mode Linux suite runs them)

# Photos fills two clusters of 16 records to the last: ".", "..", 2 records for each pair, 3 for
# each holiday, 1 for A.JPG and B.JPG; so its chain's end is read, not a record 0x00.
TREE = ['ReadMe.txt', 'KEEP.TXT', 'Photos/Notes.Txt', 'Photos/Sub/Deep.txt', 'Photos/A.JPG',
        'Photos/B.JPG'] + [f'Photos/Holiday {year}.jpg' for year in range(2019, 2027)]
PAIRS = ['ReadMe.txt', 'Photos', 'Photos/Notes.Txt', 'Photos/Sub', 'Photos/Sub/Deep.txt']
DOS, GPT, FAT32 = 'label: dos\n', 'label: gpt\n', ('-F', '32', '-s', '1')
# Each image: MiB, sfdisk's script, its FAT volumes (first sector, MiB, mkfs.fat's options).
IMAGES = {'fat12': (2, '', [(0, 2, ('-F', '12', '-s', '1'))]),  # Photos: two clusters
          'fat32': (40, '', [(0, 40, FAT32)]),
          'fat16': (24, '', [(0, 24, ('-F', '16', '-s', '1'))]),  # Photos: two clusters
          'sector4k': (8, '', [(0, 8, ('-S', '4096'))]),
          'mbr': (10, DOS + '2048,8192,6,*\n10240,8192,83\n', [(2048, 4, ())]),  # bootable
          'gpt': (44, GPT + '2048,73728,U\n75776,8192,L\n', [(2048, 36, FAT32)]),
          'two': (10, DOS + '2048,8192,6\n10240,8192,e\n', [(2048, 4, ()), (10240, 4, ())]),
          'bare': (5, '', [(2048, 4, ())]),  # no table: @@OFFSET alone finds the volume
          'large': (4210, DOS + '8601600,16384,c\n', [(8601600, 8, ('-F', '16', '-s', '1'))])}
IN, NO_FAT = "shortcase: '{I}' ", "shortcase: '{I}' holds no FAT volume: found "
NOBODY = 'setpriv --reuid=65534 --regid=65534 --clear-groups '
DIRTY = (255, "shortcase: the FAT volume in '{I}' is marked dirty (not cleanly unmounted): run "
              "fsck.fat on it first")
# A shell line (prog: the binary, {I}: the image's copy; flock holds the image, setpriv runs
# as nobody); a refusal's status and standard error; the volume and the entries renamed,
# listed by -n and -v; bytes written into the copy beforehand.
Row = collections.namedtuple('Row', 'name image line refused renamed patch',
                             defaults=(None, (0, PAIRS), b''))
ROWS = [
    Row('boot-sector-at-0', 'fat12', 'prog -i {I} /'), Row('fat32', 'fat32', 'prog --image={I} /'),
    Row('sectors-of-4096', 'sector4k', 'prog -i {I} /'), Row('gpt-efi', 'gpt', 'prog -i {I} /'),
    Row('mbr-fat-and-linux', 'mbr', 'prog -i {I} /'), Row('past-4-gib', 'large', 'prog -i {I} /'),
    Row('two-fat', 'two', 'prog -i {I} /', (160, IN + 'holds 2 FAT volumes: pick one with '
        '--partition\nshortcase:   --partition=1: 4 MiB at byte 1048576\nshortcase:   '
        '--partition=2: 4 MiB at byte 5242880')),
    Row('partition-1', 'two', 'prog --partition=1 -i {I} /'),
    Row('partition-2', 'two', 'prog -i {I} --partition=2 /', renamed=(1, PAIRS)),
    Row('partition-3', 'two', 'prog --partition=3 -i {I} /', (160, IN + 'has no partition 3')),
    Row('offset-b', 'bare', 'prog -i {I}@@1048576 /'), Row('offset-m', 'bare', 'prog -i {I}@@1M /'),
    Row('offset-s', 'bare', 'prog -i {I}@@2048S /'), Row('offset-k', 'bare', 'prog -i {I}@@1024K /'),
    Row('unknown', 'bare', 'prog -i {I} /', (255, NO_FAT + 'neither a FAT boot sector nor a '
                                                          'partition table')),
    Row('exfat', 'fat12', 'prog -i {I} /', (255, NO_FAT + 'exFAT, which has no short names'),
        patch=(3, b'EXFAT   ')),
    Row('dirty-fat12', 'fat12', 'prog -i {I} /', DIRTY, patch=(0x25, b'\1')),
    Row('dirty-fat32', 'fat32', 'prog -i {I} /', DIRTY, patch=(0x41, b'\1')),
    Row('held', 'fat12', 'flock {I} prog -i {I} /', (33, IN + 'is in use by another shortcase')),
    Row('unwritable', 'fat12', NOBODY + 'prog -i {I} /',
        (5, IN + 'cannot be opened for writing (error 5); -n lists the renames without writing')),
    Row('unwritable-dry-run', 'fat12', NOBODY + 'prog -n -i {I} /'),
    Row('dry-run', 'fat32', 'prog -n -i {I} /'), Row('fat16', 'fat16', 'prog -i {I} /'),
    Row('dry-run-letters', 'fat12', 'prog -ni {I} -n /'),
    Row('verbose-directory', 'fat12', 'prog -v -i {I} /Photos', renamed=(0, PAIRS[1:])),
    Row('contents-any-case', 'fat12', 'prog -i {I} photos/', renamed=(0, PAIRS[2:])),
    Row('wildcard-any-case', 'fat12', 'prog -i {I} /PHOTOS/*.txt', renamed=(0, PAIRS[2:3])),
    Row('dot', 'fat12', 'prog -i {I} .')]


def listed(verb, paths):
    """-n's or -v's lines for paths, from the root: a directory renamed is walked as renamed."""
    up = lambda p: '/'.join(x.upper() if '/'.join(p.split('/')[:i + 1]) in paths else x
                            for i, x in enumerate(p.split('/')))
    return sorted(f"{verb} '/{up(os.path.dirname(p))}/{os.path.basename(p)}' -> '/{up(p)}'"
                  .replace("'//", "'/") for p in paths)


def changes(before, after):
    """(offset, old byte, new byte) where they differ, read only where after holds data."""
    found, at, end = [], 0, 0
    with open(before, 'rb') as a, open(after, 'rb') as b:
        while end < os.path.getsize(after):
            try:
                at = os.lseek(b.fileno(), end, os.SEEK_DATA)
            except OSError:  # holes to the end: zeros in both, as the copy made them
                return found
            end = os.lseek(b.fileno(), at, os.SEEK_HOLE)
            a.seek(at), b.seek(at)
            found += [(at + i, p, q) for i, (p, q) in enumerate(zip(a.read(end - at),
                                                                      b.read(end - at))) if p != q]
    return found


def run_row(binary, work, row):
    """Runs a row on a copy of its image: its faults in status, output, bytes (only long-name
    records deleted, 0x41 -> 0xE5, and case bytes cleared) and volumes as mdir lists them."""
    image, copy = (os.path.join(work, n + '.img') for n in (row.image, 'run-' + row.name))
    subprocess.run(['cp', '--sparse=always', image, copy], check=True)
    before = image
    if row.patch:
        with open(copy, 'r+b') as f:
            f.seek(row.patch[0])
            f.write(row.patch[1])
        before = shutil.copyfile(copy, copy + '.before')
    line = row.line.replace('prog', shlex.quote(binary)).replace('{I}', shlex.quote(copy))
    done = subprocess.run(['bash', '-c', line], capture_output=True, text=True, timeout=120)
    verb = {'n': 'would rename', 'v': 'renamed', '': ''}[
        (re.findall(r' -([nv]) ', row.line) or [''])[0]]
    dry = bool(row.refused) or verb == 'would rename'
    got = (done.returncode, sorted(done.stdout.splitlines()), done.stderr)
    wanted = (row.refused[0], [], row.refused[1].replace('{I}', copy) + '\n') if row.refused \
        else (0, listed(verb, row.renamed[1]) if verb else [], '')
    faults = [f'{got}, expected {wanted}'] * (got != wanted)
    changed = changes(before, copy)
    deleted = [c for c in changed if c[1:] == (0x41, 0xE5)]
    if len(deleted) != (0 if dry else len(row.renamed[1])) or \
            any(c not in deleted and (c[2] or c[1] not in (8, 16, 24)) for c in changed):
        faults.append(f'bytes changed: {changed[:12]}')
    for n, (sector, _, _) in enumerate([] if dry else IMAGES[row.image][2]):
        renamed = row.renamed[1] if n == row.renamed[0] else []
        was, now = (uml.mdir(f'{p}@@{sector * 512}') for p in (before, copy))
        wanted = [(k, dataclasses.replace(e, long='') if e.shown in renamed else e)
                  for k, e in was.items()]
        faults += [f'volume {n + 1}: {list(now.values())}'] * (list(now.items()) != wanted)
    return faults


def kill_faults(binary, work):
    """Whole sectors written, each one the run changes, then flushed; then a run killed at each
    write in turn (it never happens) must leave fsck.fat -n clean, and a second run one whole
    run's bytes."""
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
    for when in range(1, len(writes) + 1):
        killed = shutil.copyfile(image, os.path.join(work, f'killed-{when}.img'))
        inject = f'inject=pwrite64:error=EIO:signal=KILL:when={when}'
        status = subprocess.run(['strace', '-f', '-o', '/dev/null', '-e', inject, binary, '-i',
                                 killed, '/']).returncode
        cut, (clean, text) = changes(whole, killed), uml.fsck(killed)
        again = subprocess.run([binary, '-i', killed, '/']).returncode
        if status not in (-9, 137) or not cut or not clean or again or changes(whole, killed):
            faults.append(f'killed at write {when}: {status}, {cut[:4]}, {text[-200:]!r}, {again}')
    print(f'     a whole run: {len(writes)} writes, each killed in turn')
    return faults


def main():
    binary, work = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    missing = [t for t in ('sfdisk', 'mkfs.fat', 'mcopy', 'strace', 'setpriv', 'flock')
               if not shutil.which(t)]
    if missing:
        print(f'skipped: {", ".join(missing)} missing (tools/deps.sh test installs them)')
        return 77
    shutil.rmtree(work, ignore_errors=True)
    for path in (os.path.join(work, 'staging', p) for p in TREE):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        open(path, 'w').close()
    for name, (mib, table, volumes) in IMAGES.items():
        path = os.path.join(work, name + '.img')
        open(path, 'w').close()
        os.truncate(path, mib << 20)
        subprocess.run(['sfdisk', '-q', path], input=table, text=True, check=True) if table else 0
        for sector, size, options in volumes:
            subprocess.run(['mkfs.fat', *options, f'--offset={sector}', path, str(size << 10)],
                           check=True, capture_output=True)
            uml.mcopy_tree(f'{path}@@{sector * 512}', os.path.join(work, 'staging'))
    failed = 0
    for name, faults in [(r.name, run_row(binary, work, r)) for r in ROWS] + \
            [('killed-then-finished', kill_faults(binary, work))]:
        failed += bool(faults)
        print(f'{"FAIL" if faults else "ok":4} {name}' + ''.join(f'\n       {f}' for f in faults))
    print(f'{len(ROWS) + 1 - failed} of {len(ROWS) + 1} rows as expected')
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
