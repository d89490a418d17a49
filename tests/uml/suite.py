#!/usr/bin/env python3
"""The Linux binaries on the kernel's own FAT driver, under user-mode Linux, in one boot.

  suite.py --x86-64 BIN [--aarch64 BIN] [--vfatfs BIN] --work DIR

The volume rows of tests/e2e/runner.py that exist on Linux, spelled with '/', and a few of
Linux's own (a read-only mount, a mount nested in the tree, names that are not UTF-8, a walk
while another process changes the tree). Pairs are made the way users get them: names created
through the driver (a lower-case name gets a long name beside its upper-case short one) and
mixed-case names copied on with mcopy. Each row checks the program's messages and exit status,
and afterwards the tree as mdir lists it from the powered-off image: each renamed entry keeps
its short name and has no other long name left, every other entry is as it was. fsck.fat -n
must find every image clean. Then vfatfs against the driver: the same names created on both,
with the driver mounted shortname=winnt, must get the same short names.

Exits 77 where user-mode Linux cannot run here.
"""

import argparse
import dataclasses
import os
import re
import shlex
import shutil
import sys
import time
from typing import Dict, List, Optional, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), 'e2e'))
import uml  # noqa: E402
from runner import Row, linux_exit, race_faults, tree_line, volume_rows  # noqa: E402

MIXED = 'shortname=mixed,utf8=1'  # what a desktop mounts a stick with
LATIN = 'shortname=mixed'         # without utf8: names come out in the default iocharset
WINNT = 'shortname=winnt,utf8=1'  # the NT rules vfatfs follows
LOWER = 'shortname=lower,utf8=1'  # the default before Linux 2.6.32: short names shown in lower case
SENSITIVE = 'shortname=mixed,iocharset=utf8'  # some distributions' default: case-sensitive
DEEP = ['d' * 201] * 22  # 4,444 bytes of path below the row's directory

# The runner's rows that exist on Linux's FAT; the aarch64 binary runs those marked. Left out:
# the backslash form and drive letters (Windows only), symbolic links (FAT has none), and the
# rows that need a fault the kernel will not give or names FAT never writes.
SHARED = {'readme-example': True, 'form-directory': True, 'form-slash': True, 'form-dot': True,
          'form-dot-dot': True, 'form-directory-dot': True, 'form-star': True,
          'form-directory-star': True, 'form-slash-txt': True, 'left-alone': False,
          'non-ascii': True, 'repeat': False, 'bulk': False, 'left-from-a-kill': False}

CONCURRENT = (60, 25)  # top directories, pairs in each: 6,061 entries
FULL_ROOT = ('-F', '12', '-r', '16')  # a FAT12 root of 16 records, 8 lower-case names


@dataclasses.dataclass
class Case:
    row: Row                      # line, cwd and output in the runner's spelling: {R}, '\\'
    image: str = 'main'
    arches: Tuple[str, ...] = ('x86_64',)
    either: List[str] = dataclasses.field(default_factory=list)  # renamed or left, both sound
    shell: bool = False           # the line is a shell's, prog and {R} quoted for it
    names: Optional[List[str]] = None  # the names afterwards, where renamed cannot say
    target: str = ''  # -i: {I} is the image's 'file', 'device', or a 'copy' made before the runs


def undo_recipe() -> str:
    """The man page's recipe for undoing a run, as it prints it, for a shell to run."""
    with open(os.path.join(os.path.dirname(os.path.dirname(HERE)), 'linux', 'shortcase.1')) as f:
        page = f.read()
    text = page[page.index('.nf', page.index('.SH UNDOING A RUN')):]
    text = text[4:text.index('\n.fi')].replace('\\e', '\\').replace('\\-', '-')
    return '\n'.join(line.removeprefix('$ ') for line in text.split('\n')) \
        .replace('shortcase ', 'prog ', 1).replace('/media/usb/', '{R}/')


def latin(name: str) -> str:
    """A name as the guest writes it on the mount without utf8: ISO 8859-1 bytes."""
    return os.fsdecode(name.encode('latin-1'))


def cases() -> List[Case]:
    rows = {r.name: r for r in volume_rows()}
    found = [Case(rows[n], arches=('x86_64', 'aarch64') if both else ('x86_64',))
             for n, both in SHARED.items()]
    # The volume is given «STRASSE.TXT» for «straße.txt»; the driver forms «STRAßE.TXT» (code
    # page 437 has «ß», which has no upper case), a pair like any other.
    left = next(c for c in found if c.row.name == 'left-alone')
    left.row = dataclasses.replace(left.row, renamed=['keep/straße.txt'])
    nested = Row('nested', ['d|STICK', 'f|readme.txt|README.TXT', 'd|Docs'],
                 'prog {R}/', ['readme.txt', 'Docs'])
    read_only = Row('read-only', ['f|ReadMe.txt', 'd|Photos', 'f|Photos/Notes.txt'],
                    'prog {R}/', [],
                    [f'MoveFile("{{R}}/{a}", "{{R}}/{b}") returned error 19' for a, b in
                     [('ReadMe.txt', 'README.TXT'), ('Photos', 'PHOTOS'),
                      ('Photos/Notes.txt', 'Photos/NOTES.TXT')]], any_order=True)
    # résumé holds a pair; it and café.txt are pairs only for whoever knows the charset.
    not_utf8 = Row('not-utf8', [f'd|{latin("résumé")}|{latin("RÉSUMÉ")}',
                                f'f|{latin("résumé")}/readme.txt|README.TXT',
                                f'f|{latin("café.txt")}|{latin("CAFÉ.TXT")}',
                                'f|notes.txt|NOTES.TXT'],
                   'prog {R}/', ['résumé/readme.txt', 'notes.txt'])
    moving = Row('concurrent', concurrent_tree(), 'prog {R}/c', [])
    # The mount point named without a slash: entered, as find -xdev enters it. (The rows on
    # the other images name theirs with the slash.)
    stick = Row('mount-point', ['f|ReadMe.txt', 'd|Docs', 'f|Docs/notes.txt|NOTES.TXT'],
                'prog {R}', ['ReadMe.txt', 'Docs', 'Docs/notes.txt'])
    # Shown in lower case, «STRAßE.TXT» would be raised to «STRAẞE.TXT»: it is left alone.
    lower = dataclasses.replace(stick, name='shown-lower', line='prog {R}/',
                                tree=stick.tree + ['f|Straße.txt'])
    deep = ['deep']
    for name in DEEP:
        deep.append(f'{deep[-1]}/{name}')
    photos = ['d|Photos', 'f|Photos/readme.txt|README.TXT', 'f|Photos/Notes.Txt']
    would = [("Photos", "PHOTOS"), ("PHOTOS/Notes.Txt", "PHOTOS/NOTES.TXT"),  # mcopy's first
             ("PHOTOS/readme.txt", "PHOTOS/README.TXT")]
    lines = lambda verb: [f"{verb} '{{R}}/{a}' -> '{{R}}/{b}'" for a, b in would]
    dry_run = Row('dry-run', photos, 'prog -n {R}/Photos', [], listed=lines('would rename'))
    # Roots of 16 records (FULL_ROOT) with no room for «FILE0.TXT.shortcase-renaming», four
    # records: full with a subdirectory, which takes the temporary name; one record free
    # (KEEP.TXT, from mcopy, takes one), room for a name of one and not of two; full with
    # neither a subdirectory that is not hidden (.hidden-folder, three records) nor a name of one
    # record free (FILE0.TX~ is taken), where each rename fails and nothing is replaced.
    files = lambda n: [f'f|file{i}.txt|FILE{i}.TXT' for i in range(n)]
    names = lambda n: [f'file{i}.txt' for i in range(n)]
    through_subdirectory = Row('full-root-subdirectory', files(7) + ['d|docs|DOCS'],
                               'prog {R}/', names(7) + ['docs'])
    one_record = Row('full-root-one-free', ['f|KEEP.TXT'] + files(7), 'prog {R}/', names(7))
    full = Row('full-root', ['d|.hidden-folder', 'f|FILE0.TX~'] + files(6), 'prog {R}/', [],
               ["Directory '{R}/' is full: move one entry out of it, and shortcase can rename "
                "the rest!"] + [f'MoveFile("{{R}}/file{i}.txt", "{{R}}/FILE{i}.TXT") returned '
                                f'error 112' for i in range(6)])
    # A reader that goes away loses the list past its first line, never a rename; an option
    # after the NAME; leftovers of a killed run, of both forms, finished where their name is
    # free; roots with one record free, whose first name of one record is taken, by another
    # entry and by the entry itself; a pattern over two mount points; the man page's undo.
    pipe = [f'f|pipe/file{i:04d}.txt|FILE{i:04d}.TXT' for i in range(1500)]
    left = ['d|left', 'f|left/README.TXT.shortcase-renaming', 'd|left/sub',
            'f|left/sub/NOTES.TXT.shortcase-renaming-from-parent-2', 'f|left/TAKEN.TXT',
            'f|left/TAKEN.TXT.shortcase-renaming-2']
    undone = ['d|Photos|PHOTOS', 'f|Photos/x.txt|X.TXT', f'd|{latin("résumé")}|{latin("RÉSUMÉ")}',
              f'f|{latin("résumé")}/readme.txt|README.TXT', 'f|a.txt|A.TXT']
    found += [
        Case(Row('pipe', ['d|pipe'] + pipe, 'prog -v {R}/pipe | head -1; exit ${PIPESTATUS[0]}',
                 [tree_line(t)[1] for t in pipe],
                 ['The renames cannot be listed: writing to standard output failed with error 232'],
                 listed=["renamed '{R}/pipe/file0000.txt' -> '{R}/pipe/FILE0000.TXT'"]),
             shell=True),
        Case(dataclasses.replace(dry_run, name='option-after-name', line='prog {R}/Photos -n')),
        Case(Row('left', left, 'prog -v {R}/left', [],
                 ["'{R}/left/TAKEN.TXT.shortcase-renaming-2' was left by a run that was stopped: "
                  "'{R}/left/TAKEN.TXT' is taken, so it waits for you to rename it"],
                 listed=[f"renamed '{{R}}/left/{a}' -> '{{R}}/left/{b}'" for a, b in
                         [('README.TXT.shortcase-renaming', 'README.TXT'),
                          ('sub/NOTES.TXT.shortcase-renaming-from-parent-2', 'NOTES.TXT')]]),
             names=['left', 'left/NOTES.TXT', 'left/README.TXT', 'left/TAKEN.TXT',
                    'left/TAKEN.TXT.shortcase-renaming-2', 'left/sub']),
        Case(Row('one-taken', ['f|FILE0.TX~', 'f|readme.tx~|README.TX~'] + files(6), 'prog {R}/',
                 ['readme.tx~'] + names(6)), image='one-taken'),
        Case(Row('two-sticks', ['f|readme.txt|README.TXT'], 'prog {R}/../*', ['readme.txt']),
             image='media-a'),
        Case(Row('undo', undone, undo_recipe(), []), image='undo', shell=True),
    ]
    return found + [
        Case(through_subdirectory, image='full-subdirectory'),
        Case(one_record, image='one-free'),
        Case(full, image='full'),
        Case(nested),
        Case(read_only, image='ro', arches=('x86_64', 'aarch64')),
        Case(not_utf8, image='latin', either=['résumé', 'café.txt']),
        Case(moving, image='moving'),
        Case(stick, image='usb'),
        Case(lower, image='lower'),
        Case(Row('deep', [f'd|{p}' for p in deep] + [f'f|{deep[-1]}/ReadMe.txt'],
                 'prog {R}/deep', [f'{deep[-1]}/ReadMe.txt'])),
        Case(dry_run, arches=('x86_64', 'aarch64')),
        Case(Row('verbose', photos, 'prog -v {R}/Photos', ['Photos', 'Photos/readme.txt',
                                                          'Photos/Notes.Txt'],
                 listed=lines('renamed'))),
        # On a case-sensitive mount the short name may find nothing: -n walks on under the
        # present names all the same; and a NAME typed in another case finds its entry.
        Case(dataclasses.replace(dry_run, name='dry-run-sensitive'), image='sensitive'),
        Case(Row('typed-in-another-case', ['d|Docs', 'f|Docs/index.txt|INDEX.TXT'],
                 'prog {R}/docs', ['Docs', 'Docs/index.txt']), image='sensitive'),
    ] + image_cases()


def image_cases() -> List[Case]:
    """-i on pairs the driver made, on images behind loop devices. Music's tracks renamed by
    the mounted build, and on a copy taken before, by -i, which must keep every entry's place
    and leave the same names; -i on the mounted device, and on the file behind it, refused.
    split/one and split/two grew in turns on FAT32 clusters of 512 bytes: their pairs straddle
    clusters that are not adjacent. A full FAT12 floppy root, renamed on its device."""
    tracks = ['d|music|MUSIC'] + [f'f|music/track{n:02d}.mp3|TRACK{n:02d}.MP3' if n % 4 != 3
                                  else f'f|music/TRACK{n:02d}.MP3' for n in range(1, 13)]
    both = tracks + ['d|split|SPLIT', 'd|split/one|ONE', 'd|split/two|TWO'] + \
        [f'f|split/{d}/a long first name.txt' for d in ('one', 'two')] + \
        [f'f|split/{d}/{d[0]}{n:02d}.txt|{d[0].upper()}{n:02d}.TXT' for n in range(40)
         for d in ('one', 'two')]
    floppy = [f'f|file{n:03d}.txt|FILE{n:03d}.TXT' for n in range(112)]
    pairs = lambda tree: [tree_line(t)[1] for t in tree if tree_line(t)[2]]
    refused = lambda how: [f"shortcase: '{{I}}' is mounted {how}: unmount it first"]
    return [Case(Row('image-mounted-refused', both, 'prog -i {I} /', pairs(tracks),
                     refused('or in use'), 170), image='split', target='device'),
            Case(Row('image-loop-file-refused', both, 'prog -i {I} /', pairs(tracks),
                     refused('through a loop device'), 170), image='split', target='file'),
            Case(Row('music-mounted', both, 'prog {R}/music', pairs(tracks)), image='split'),
            Case(Row('image-copy', both, 'prog -i {I} /', pairs(both)), 'split', target='copy'),
            Case(Row('image-full-floppy-root', floppy, 'prog -i {I} /', pairs(floppy)),
                 image='floppy', target='device')]


def straddling(image: str) -> int:
    """Long-name records that end a 512-byte cluster and whose 8.3 record is not the next."""
    data = open(image, 'rb').read()
    return sum(data[r + 32:r + 35] != data[r + 1:r + 6:2].upper()
               for r in range(480, len(data), 512) if data[r] == 0x41 and data[r + 11] == 0x0F)


def concurrent_tree() -> List[str]:
    """Mixed-case pairs as mcopy writes them, beside long names and plain 8.3 names."""
    top, pairs = CONCURRENT
    lines = ['d|c']
    for d in range(top):
        lines.append(f'd|c/d{d:03d}')
        for n in range(pairs):
            lines += [f'f|c/d{d:03d}/Pair{n:02d}.txt', f'f|c/d{d:03d}/Long Name {n:02d}.txt',
                      f'f|c/d{d:03d}/plain{n:02d}.txt', f'f|c/d{d:03d}/OK{n:02d}.TXT']
    return lines


# ---------------------------------------------------------------------------------------------
# Building the trees


def plain83(name: str) -> bool:
    """An ASCII 8.3 name whose base and extension are each in one case: stored without a long
    name (a lower-case part through the NT case bits)."""
    m = re.fullmatch(r"([A-Za-z0-9$%'\-_@~`!(){}^#&]{1,8})(\.([A-Za-z0-9$%'\-_@~`!(){}^#&]{1,3}))?",
                     name)
    return bool(m) and all(p is None or p == p.lower() or p == p.upper()
                           for p in (m.group(1), m.group(3)))


class Image:
    """One FAT image: mtools writes what it can before the boot; the driver writes the
    lower-case pairs inside it (only it stores a long name for a lower-case 8.3 name), and
    every entry below one of those. A plain lower-case name below such a directory is created
    under a placeholder and renamed to its name with the driver mounted shortname=winnt,
    which then stores it as mtools would."""

    def __init__(self, work: str, name: str, megabytes: int, options: str,
                 mkfs: Tuple[str, ...] = ()):
        self.name, self.options = name, options
        self.path = os.path.join(work, name + '.img')
        self.before = os.path.join(work, name + '-before.img')
        self.mount = os.path.join(work, 'mnt', name)
        self.staging = os.path.join(work, 'staging', name)
        self.made: Dict[str, str] = {}  # entry the driver makes -> the path it is made under
        self.driver: List[List[str]] = []
        self.deep: List[Tuple[str, str]] = []  # too deep to stage: made by mtools, in order
        self.placeholders: List[List[str]] = []
        uml.make_image(self.path, megabytes, mkfs)
        os.makedirs(self.staging)

    def add(self, lines: List[str]) -> None:
        for text in lines:
            kind, path, short, _, _ = tree_line(text)
            parent, name = os.path.split(path)
            pair = bool(short) and short != name
            if parent in self.made or (pair and name == name.lower()):
                under = self.made.get(parent, parent)
                self.made[path] = os.path.join(under, name)
                if plain83(name) and not pair and name != name.upper():  # upper: as mtools
                    self.made[path] = os.path.join(under, f'P{len(self.placeholders):07d}')
                    self.placeholders.append([self.made[path], os.path.join(under, name)])
                self.driver.append([kind, os.path.join(self.mount, self.made[path])])
            elif len(os.path.join(self.staging, path).encode()) >= 4000:
                self.deep.append((kind, path))
            elif kind == 'd':
                os.makedirs(os.path.join(self.staging, path), exist_ok=True)
            else:
                os.makedirs(os.path.join(self.staging, parent), exist_ok=True)
                open(os.path.join(self.staging, path), 'w').close()

    def prepare(self, boot: uml.Boot) -> List[dict]:
        """mcopy now; returns the guest's steps: the driver's entries, the placeholders
        renamed (deepest first, so each path still holds its parents' placeholders), and a
        copy of the device as it stands before any run."""
        if self.path not in boot.loops:
            boot.images.append(self.path)
        uml.mcopy_tree(self.path, self.staging)
        for kind, path in self.deep:
            uml.mtools_make(self.path, kind, path)
        if not self.driver:
            shutil.copyfile(self.path, self.before)
            return []
        device = boot.device(self.path)
        mount = lambda o: {'op': 'mount', 'device': device, 'dir': self.mount, 'options': o}
        steps = [mount(self.options), {'op': 'make', 'entries': self.driver},
                 {'op': 'umount', 'dir': self.mount}]
        if self.placeholders:
            renames = [[os.path.join(self.mount, a), os.path.join(self.mount, b)]
                       for a, b in reversed(self.placeholders)]
            steps += [mount(self.options.replace('shortname=mixed', 'shortname=winnt')),
                      {'op': 'rename', 'pairs': renames}, {'op': 'umount', 'dir': self.mount}]
        return steps + [{'op': 'copy', 'device': device, 'to': self.before}]


# ---------------------------------------------------------------------------------------------
# vfatfs against the driver: the same names, created in this order on both

NAMES = ['résumé.txt', '.profile', 'a.b.c', 'x y.txt', 'Holiday 2019.jpg', 'Holiday 2020.jpg',
         'config.INI', 'notes.txt', 'Photos', 'MiXeD.TxT', 'README.1ST', 'café.txt', 'ÉTÉ.TXT',
         'Übung', 'straße.txt', 'âge.txt', 'naïve.txt', '€uro.txt', '日本.txt', 'a+b.txt',
         'σ.txt', 'verylongname.txt', 'abc.defg', 'file.tar.gz', '..hidden', '123.txt']
READDIR_BOTH = 0x82307201  # _IOR('r', 1, struct __fat_dirent[2]), 280-byte entries


def vfatfs_names(binary: str, work: str) -> Dict[str, Tuple[str, str]]:
    """Each name's short name and long name ('' for none) as vfatfs answers the ioctl."""
    import fcntl
    from runner import Volume
    volume = Volume(binary, work, [Row('names', ['f|' + n for n in NAMES], '', [])])
    found = {}
    try:
        fd = os.open(os.path.join(volume.mount, 'names'), os.O_RDONLY | os.O_DIRECTORY)
        buffer = bytearray(560)
        while fcntl.ioctl(fd, READDIR_BOTH, buffer) > 0:
            short, long = (bytes(buffer[i + 18:i + 274]).split(b'\0')[0].decode()
                           for i in (0, 280))
            if short not in ('.', '..'):
                found[long or short] = (short, long)
        os.close(fd)
    finally:
        volume.stop()
    return found


def compare_vfatfs(binary: str, work: str, image: str) -> List[str]:
    driver = {e.long or e.short: (e.short, e.long) for e in uml.mdir(image).values()}
    volume = vfatfs_names(binary, work)
    faults = []
    print(f'     {"name":18} {"driver":28} vfatfs')
    for name in NAMES:
        d, v = driver.get(name), volume.get(name)
        mark = ' ' if d == v else '*'
        text = lambda p: '-' if p is None else p[0] + ('' if p[1] else ' (no long name)')
        print(f'   {mark} {name:18} {text(d):28} {text(v)}')
        if d != v:
            faults.append(f'{name}: the driver makes {d}, vfatfs {v}')
    return faults


# ---------------------------------------------------------------------------------------------
# Judging, from mdir's listings before and after


def subtree(entries: Dict[str, uml.Entry], root: str) -> Dict[str, uml.Entry]:
    """The entries below root (a path as mdir spells it, '' for the image's root), keyed by
    their path of short names; their shown paths made relative to root."""
    found = {}
    for key, e in entries.items():
        if not root or e.shown.startswith(root + '/'):
            found[key] = dataclasses.replace(e, shown=e.shown[len(root) + 1 if root else 0:])
    return found


def tree_faults(before: Dict[str, uml.Entry], after: Dict[str, uml.Entry], renamed: set,
                either: set) -> List[str]:
    """Each entry of renamed must have been a pair and now have no long name but its short
    name's spelling; each of either may be in either state; every other entry as it was."""
    faults = []
    for key, e in before.items():
        now = after.get(key)
        done = dataclasses.replace(e, long='') if now and now.long != e.short else \
            dataclasses.replace(e, long=e.short)
        if e.shown in renamed and not e.pair():
            faults.append(f'{e.shown} was no pair before the run: {e}')
        wanted = [done] if e.shown in renamed else [e, done] if e.shown in either else [e]
        if now not in wanted:
            faults.append(f'{e.shown}: {now}, expected {" or ".join(map(str, wanted))}')
    faults += [f'new entry {after[k].shown}' for k in after.keys() - before.keys()]
    return faults


def concurrent_faults(before: Dict[str, uml.Entry], after: Dict[str, uml.Entry],
                      moved: List[list]) -> Tuple[List[str], int]:
    """Directories the other process left alone: every pair renamed, all else as it was.
    Moved ones: all their entries kept, pairs renamed or not; deleted ones gone; remade ones
    holding just their five new files. Returns the faults and the count of renamed pairs."""
    operation = {name: op for op, name in moved}
    top = lambda e: e.shown.split('/')[1] if e.shown.count('/') else ''
    faults, renamed = [], 0
    # A moved directory gets another short name; what it holds keeps theirs.
    moved_to = {(os.path.dirname(x.shown), x.short): x for x in after.values()}
    for key, e in before.items():
        op, name = operation.get(top(e)), top(e)
        if op in ('delete', 'remake'):
            continue
        if op == 'move' and e.shown == f'c/{name}':
            if not any(x.shown == f'c/{name} moved' for x in after.values()):
                faults.append(f'c/{name} moved is missing')
            continue
        folder = os.path.dirname(e.shown).replace(f'c/{name}', f'c/{name} moved', 1)
        now = after.get(key) if op is None else moved_to.get((folder, e.short))
        if now is None and op == 'move' and any(  # moved between its two steps, and reported
                x.long.startswith(e.short + '.shortcase-renaming') and
                os.path.dirname(x.shown) == folder for x in after.values()):
            continue
        if now and e.pair() and now.long == '' and now.short == e.short:
            renamed += 1
        elif now is None or (now.short, now.long) != (e.short, e.long) or \
                (op is None and e.pair()):
            faults.append(f'{e.shown}: {now}, before {e}')
    for op, name in moved:
        inside = sorted(x.long or x.short for x in after.values()  # remade: may be renamed
                        if x.shown.upper().startswith(f'C/{name.upper()}/'))
        wanted = sorted(f'New{n}.Txt' for n in range(5)) if op == 'remake' else []
        if op != 'move' and [n.upper() for n in inside] != [n.upper() for n in wanted]:
            faults.append(f'{op}d c/{name} holds {inside[:6]}')
    expected = len(before) - sum(1 for e in before.values() if operation.get(top(e)) in
                                 ('delete', 'remake')) + 6 * sum(op == 'remake' for op, _ in moved)
    if len(after) != expected:
        faults.append(f'{len(after)} entries afterwards, expected {expected}')
    if len(moved) < 3:
        faults.append(f'only {len(moved)} subtrees changed while the program ran')
    return faults, renamed


def message_faults(result: dict, case: Case, spell) -> List[str]:
    row = case.row
    faults = []
    status = linux_exit(row.exit, result['stderr'].split('\n'))
    if result['exit'] != status:
        faults.append(f'exit status {result["exit"]}, expected {status}')
    listed = ''.join(spell(line) + '\n' for line in row.listed)
    if result['stdout'] != listed:
        faults.append(f'standard output {result["stdout"][:600]!r}, expected {listed!r}')
    got = result['stderr'].split('\n')[:-1]
    if row.name == 'concurrent':  # judged as the runner's row, by the subtrees the mover changed
        return faults + race_faults(got, spell('{R}/c/'),
                                    {name for _, name in result['moved'] or []})
    wanted = [spell(l) for l in row.output]
    if (sorted(got) if row.any_order else got) != (sorted(wanted) if row.any_order else wanted) \
            or not result['stderr'].endswith('\n') and result['stderr']:
        faults.append(f'messages {result["stderr"][:600]!r}, expected {wanted!r}')
    return faults


# ---------------------------------------------------------------------------------------------


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--x86-64', required=True, help='the static x86-64 binary')
    parser.add_argument('--aarch64', help='the static aarch64 binary, run under qemu')
    parser.add_argument('--vfatfs', help='the FUSE volume, to compare its short names')
    parser.add_argument('--work', required=True, help='scratch folder (emptied first)')
    parser.add_argument('--only', help='run only the rows whose name matches this regex')
    parser.add_argument('--timeout', type=float, default=1500, help='limit for the boot (s)')
    args = parser.parse_args()
    reason = uml.cannot_boot()
    if reason:
        print(f'skipped: {reason}')
        return uml.SKIP
    binaries = {'x86_64': [os.path.abspath(args.x86_64)]}
    if args.aarch64:
        binaries['aarch64'] = ['/usr/bin/qemu-aarch64-static', os.path.abspath(args.aarch64)]
    for command in binaries.values():
        if not os.path.isfile(command[-1]):
            print(f'missing {command[-1]}', file=sys.stderr)
            return 1

    started = time.monotonic()
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    boot = uml.Boot(work)
    images = {'main': Image(work, 'main', 16, MIXED), 'latin': Image(work, 'latin', 4, LATIN),
              'ro': Image(work, 'ro', 4, 'ro,' + MIXED), 'stick': Image(work, 'stick', 4, MIXED),
              'moving': Image(work, 'moving', 16, MIXED), 'usb': Image(work, 'usb', 4, MIXED),
              'lower': Image(work, 'lower', 4, LOWER),
              'sensitive': Image(work, 'sensitive', 4, SENSITIVE)}
    images.update({k: Image(work, k, 1, MIXED, FULL_ROOT)
                   for k in ('full-subdirectory', 'one-free', 'full', 'one-taken')})
    images.update({k: Image(work, k, 4, MIXED) for k in ('media-a', 'media-b')})
    images['undo'] = Image(work, 'undo', 4, LATIN)
    images['undo'].mount = os.path.join(work, 'mnt', "u ' -> ' v")
    for k in ('media-a', 'media-b'):
        images[k].mount = os.path.join(work, 'mnt', 'media', k[-1])
    images['media-b'].add(['f|readme.txt|README.TXT'])
    images.update(split=Image(work, 'split', 40, MIXED, ('-F', '32', '-s', '1')),
                  floppy=Image(work, 'floppy', 1440 / 1024, MIXED, ('-F', '12', '-r', '224')))
    unmounted = {'stick', 'floppy'}  # the floppy is renamed on its device by -i alone
    boot.loops = {images['split'].path: 'loop0', images['floppy'].path: 'loop1'}
    runs = []  # (case, arch, root path in the guest, root as mdir spells it)
    for case in cases():
        if args.only and not re.search(args.only, case.row.name):
            continue
        for arch in (a for a in case.arches if a in binaries):
            image = images[case.image]
            root = f'{arch}/{case.row.name}' if case.image in ('main', 'sensitive') else ''
            if not any(r[0].image == case.image and r[3] == root for r in runs):
                image.add(([f'd|{arch}', f'd|{root}'] if root else []) +
                          ['|'.join([t.split('|')[0], os.path.join(root, t.split('|')[1])] +
                                    t.split('|')[2:]) for t in case.row.tree])
            runs.append((case, arch, os.path.join(image.mount, root) if root else image.mount,
                         root))
    images['stick'].add(['f|ReadMe.txt', 'd|Docs', 'f|Docs/Notes.txt'])

    steps: List[dict] = [{'op': 'loop', 'file': p, 'device': boot.device(p)} for p in boot.loops]
    for image in images.values():
        steps += image.prepare(boot)
    copy = lambda image: image.path.replace('.img', '-copy.img')
    target = lambda case: {'device': boot.device(images[case.image].path), 'copy': copy(
        images[case.image]), 'file': images[case.image].path}.get(case.target, '')
    copies = [images[k] for k in {r[0].image for r in runs if r[0].target == 'copy'}]
    steps += [{'op': 'copy', 'device': boot.device(i.path), 'to': copy(i)} for i in copies]
    winnt = os.path.join(work, 'winnt.img')
    uml.make_image(winnt, 4)
    boot.images.append(winnt)
    mount = lambda device, folder, options: {'op': 'mount', 'device': device, 'dir': folder,
                                             'options': options}
    steps += [mount(boot.device(winnt), os.path.join(work, 'mnt', 'winnt'), WINNT),
              {'op': 'make', 'entries': [['f', os.path.join(work, 'mnt', 'winnt', n)]
                                         for n in NAMES]},
              {'op': 'umount', 'dir': os.path.join(work, 'mnt', 'winnt')}]
    steps += [mount(boot.device(i.path), i.mount, i.options) for k, i in images.items()
              if k not in unmounted]
    stick_at = os.path.join(images['main'].mount, 'x86_64', 'nested', 'STICK')
    nested = any(case.row.name == 'nested' for case, *_ in runs)
    if nested:
        steps.append(mount(boot.device(images['stick'].path), stick_at, MIXED))

    first_run = {}
    for n, (case, arch, path, root) in enumerate(runs):
        spell = lambda text, path=path: text.replace('{R}', path).replace('{D}', path) \
            .replace('\\', '/').replace('{I}', target(case))
        run = {'op': 'run', 'argv': binaries[arch] + spell(case.row.line).split(' ')[1:],
               'cwd': spell(case.row.cwd) if case.row.cwd else work if case.target else path}
        if case.shell:  # run from the folder above, so that a list it writes is not on the stick
            line = case.row.line.replace('prog', shlex.join(binaries[arch]), 1)
            run.update(argv=['bash', '-c', line.replace('{R}', shlex.quote(path))],
                       cwd=os.path.dirname(path))
        if case.row.name == 'concurrent':
            top, _ = CONCURRENT
            run['mover'] = {'base': os.path.join(path, 'c'), 'count': top // 2,
                            'first': 'PAIR00.TXT'}
        first_run[n] = len(steps)
        steps.append(run)
        if case.row.repeat:
            steps += [{'op': 'stat', 'dir': path}, dict(run), {'op': 'stat', 'dir': path}]
    if nested:
        steps.append({'op': 'umount', 'dir': stick_at})
    steps += [{'op': 'umount', 'dir': i.mount} for k, i in images.items() if k not in unmounted]
    steps += [{'op': 'loop', 'device': boot.device(p)} for p in boot.loops]
    boot.steps = steps
    print(f'images made in {time.monotonic() - started:.1f} s; booting for {len(runs)} runs')
    sys.stdout.flush()
    try:
        results, seconds = boot.run(args.timeout)
    except uml.CannotBoot as reason:
        print(f'skipped: {reason}')
        return uml.SKIP
    made = sum(r.get('seconds', 0) for s, r in zip(steps, results) if s['op'] == 'make')
    print(f'boot, {made:.1f} s of it creating entries, and power-off: {seconds:.1f} s')

    checks = failures = 0

    def report(name: str, faults: List[str], note: str = '') -> None:
        nonlocal checks, failures
        checks += 1
        failures += bool(faults)
        print(f'{"FAIL" if faults else "ok":4} {name}{note}')
        for fault in faults:
            print(f'       {fault}')

    listings = {k: (uml.mdir(i.before), uml.mdir(i.path)) for k, i in images.items()}
    for n, (case, arch, path, root) in enumerate(runs):
        row, result = case.row, results[first_run[n]]
        spell = lambda text, path=path: text.replace('{R}', path).replace('\\', '/') \
            .replace('{I}', target(case))
        before, after = (subtree(x, root) for x in listings[case.image])
        faults = message_faults(result, case, spell)
        note = f' ({result["seconds"]:.1f} s, exit {result["exit"]})'
        if case.target == 'copy':  # every entry in its place, with the mounted build's names
            after, mounted = uml.mdir(copy(images[case.image])), listings[case.image][1]
            music = lambda x: [(k, e) for k, e in x.items() if k.startswith('MUSIC')]
            faults += [f'entries moved: {list(after)}'] * (list(after) != list(before)) + \
                [f'names unlike the mounted build\'s: {music(after)}'] * (
                    sorted(music(after)) != sorted(music(mounted))) + \
                [f'{straddling(images[case.image].before)} pairs straddle clusters'] * (
                    straddling(images[case.image].before) < 4)
            order = lambda x: [k for k, _ in music(x)]
            note += f'; the mounted build moved tracks: {order(mounted) != order(before)}'
        if row.name == 'concurrent':
            more, renamed = concurrent_faults(before, after, result['moved'])
            faults += more
            note += f': {len(result["moved"])} subtrees changed during the run, {renamed} ' \
                    f'pairs renamed'
        else:
            renamed = set(row.renamed)
            if row.name == 'bulk':  # the runner counts them: every entry given a short name
                renamed = {tree_line(t)[1] for t in row.tree if tree_line(t)[2]}
            if case.names is None:
                faults += tree_faults(before, after, renamed, set(case.either))
            elif sorted(e.shown for e in after.values()) != case.names:
                faults.append(f'names {sorted(e.shown for e in after.values())}, '
                              f'expected {case.names}')
            if row.name == 'bulk':
                note += f': {sum(1 for k in before if before[k].pair() and not after[k].pair())}' \
                        f' pairs renamed'
        if row.name == 'two-sticks':
            faults += tree_faults(*listings['media-b'], {'readme.txt'}, set())
        if row.name == 'nested':
            stick = listings['stick']
            if stick[0] != stick[1]:
                faults.append('the nested mount changed: it was entered')
        report(f'{arch} {row.name}', faults, note)
        if row.repeat:
            again, (was, now) = results[first_run[n] + 2], (results[first_run[n] + j]['entries']
                                                           for j in (1, 3))
            faults = message_faults(again, case, spell)
            if was != now:
                changed = sorted(set(now.items()) ^ set(was.items()))[:4]
                faults.append(f'names or times changed: {changed}')
            report(f'{arch} {row.name} again', faults, f' ({again["seconds"]:.1f} s)')

    for path in [i.path for i in images.values()] + [i.before for i in images.values()] + \
            [winnt] + [copy(i) for i in copies]:
        clean, text = uml.fsck(path)
        report(f'fsck.fat -n {os.path.basename(path)}', [] if clean else [text[-600:]])
    if args.vfatfs and os.path.exists('/dev/fuse') and os.geteuid() == 0:
        print('short names, the driver mounted shortname=winnt against vfatfs:')
        report('vfatfs forms short names as the driver', compare_vfatfs(
            os.path.abspath(args.vfatfs), os.path.join(work, 'vfatfs'), winnt))
    else:
        print('vfatfs not compared: it needs --vfatfs, /dev/fuse and root')
    print(f'{checks - failures} of {checks} checks as expected, '
          f'in {time.monotonic() - started:.1f} s')
    return 1 if failures else 0






if __name__ == '__main__':
    sys.exit(main())
