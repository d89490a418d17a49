#!/usr/bin/env python3
"""The kernel's own FAT driver, run as user-mode Linux (Debian's linux.uml), for tests.

The host makes FAT images with mkfs.fat and fills them with mtools; one boot then mounts them
in the guest, carries out a plan of steps there (mount, create, rename, copy a device, run a
program) and writes the results into the work folder; after the power-off the host reads the
images back with mdir and checks them with fsck.fat, tools independent of the driver.

The guest's root is the host's own (hostfs), so the guest runs this same file (`uml.py guest
PLAN`) with the host's python3; it writes only inside the work folder. Names travel in JSON
as Python strings, bytes that are not UTF-8 as lone surrogates (os.fsdecode's escape).
"""

import dataclasses
import fcntl
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from typing import Dict, List, Optional, Tuple

SKIP = 77
LINUX = '/usr/bin/linux.uml'
MODULES = ['nls/nls_cp437', 'nls/nls_iso8859-1', 'nls/nls_utf8', 'fat/fat', 'fat/vfat',
           '../drivers/block/loop']
MTOOLS_ENV = dict(os.environ, MTOOLS_SKIP_CHECK='1', LC_ALL='C.UTF-8', LANG='C.UTF-8',
                  MTOOLSRC=os.path.join(os.path.dirname(os.path.abspath(__file__)), 'mtoolsrc'))


def cannot_boot() -> Optional[str]:
    """Why user-mode Linux cannot run the FAT driver here, or None."""
    for tool in (LINUX, '/usr/sbin/insmod', '/usr/sbin/mkfs.fat', '/usr/sbin/fsck.fat',
                 '/usr/bin/mdir', '/usr/bin/mcopy'):
        if not os.path.exists(tool):
            return f'{tool} is missing (tools/deps.sh test installs it)'
    if not module_dir():
        return 'no vfat module under /usr/lib/uml/modules'
    return None


def module_dir() -> Optional[str]:
    found = sorted(glob.glob('/usr/lib/uml/modules/*/kernel/fs/fat/vfat.ko'))
    return os.path.dirname(os.path.dirname(found[-1])) if found else None


# ---------------------------------------------------------------------------------------------
# Images on the host


def make_image(path: str, megabytes: int, mkfs: Tuple[str, ...] = ()) -> None:
    """An empty FAT image; mkfs holds mkfs.fat's options beyond the size (e.g. '-r', '16')."""
    if os.path.exists(path):
        os.unlink(path)
    subprocess.run(['mkfs.fat', *mkfs, '-C', path, str(round(megabytes * 1024))], check=True,
                   stdout=subprocess.DEVNULL)


def mcopy_tree(image: str, staging: str) -> None:
    """Copies staging's contents into the image's root as they are named: mtools stores an
    8.3 name in one case per part without a long name (lower case through the NT case bits),
    any other name with its long name."""
    names = sorted(os.listdir(staging))
    if names:
        subprocess.run(['mcopy', '-s', '-Q', '-i', image] +
                       [os.path.join(staging, n) for n in names] + ['::/'],
                       check=True, env=MTOOLS_ENV)


def mtools_make(image: str, kind: str, path: str) -> None:
    """Makes one entry at any depth: a directory ('d') or an empty file, named as given."""
    command = ['mmd', '-i', image, '::/' + path] if kind == 'd' else \
        ['mcopy', '-i', image, '/dev/null', '::/' + path]
    subprocess.run(command, check=True, env=MTOOLS_ENV)


def fsck(image: str) -> Tuple[bool, str]:
    """fsck.fat -n: whether the image is clean, and its report."""
    done = subprocess.run(['fsck.fat', '-n', image], capture_output=True, text=True)
    report = (done.stdout + done.stderr).strip()
    return done.returncode == 0, report


@dataclasses.dataclass(frozen=True)
class Entry:
    short: str   # as mdir shows it: NT case bits applied, '.' between base and extension
    long: str    # '' where the entry has no long name
    directory: bool
    shown: str = dataclasses.field(default='', compare=False)  # the path as mdir spells it

    def pair(self) -> bool:
        """Whether the long name differs from the short name only in case."""
        return bool(self.long) and self.long != self.short and \
            self.long.upper() == self.short.upper()


MDIR_LINE = re.compile(r'^(.{8}) (.{3}) +(<DIR>|\d+) +\d{4}-\d\d-\d\d +\d+:\d\d(?:  (.*)| ?)$')


def mdir(image: str) -> Dict[str, Entry]:
    """Every entry of the image, keyed by its path of short names ('PHOTOS/README.TXT'),
    which a case-only rename leaves as it was."""
    done = subprocess.run(['mdir', '-/', '-a', '-i', image, '::/'], capture_output=True,
                          env=MTOOLS_ENV)
    if done.returncode and b'not found' not in done.stderr:  # as an empty root does
        raise RuntimeError(f'mdir {image}: {done.stderr.decode(errors="replace")}')
    text = done.stdout.decode('utf-8', 'replace')
    entries: Dict[str, Entry] = {}
    shown = {'': ''}  # the path as mdir's headings spell it -> the path of short names
    here = None
    for line in text.split('\n'):
        if line.startswith('Directory for ::/'):
            here = shown[line[len('Directory for ::/'):].rstrip('/')]
            continue
        m = MDIR_LINE.match(line)
        if here is None or not m:
            continue
        base, ext = m.group(1).rstrip(), m.group(2).rstrip()
        if base in ('.', '..'):
            continue
        short = base + ('.' + ext if ext else '')
        long = m.group(4) or ''
        path = f'{here}/{short}' if here else short
        heading = [k for k, v in shown.items() if v == here][0]
        spelled = f'{heading}/{long or short}' if heading else long or short
        shown[spelled] = path
        entries[path] = Entry(short, long, m.group(3) == '<DIR>', spelled)
    return entries


# ---------------------------------------------------------------------------------------------
# The boot


@dataclasses.dataclass
class Boot:
    """One boot: images (attached as /dev/ubda, ubdb, ... up to ubdp, the sixteen user-mode
    Linux gives), images the guest reaches through loop devices (loops: image -> 'loop0' ...
    'loop7', attached by a 'loop' step), and the steps the guest takes."""
    work: str
    images: List[str] = dataclasses.field(default_factory=list)
    steps: List[dict] = dataclasses.field(default_factory=list)
    loops: Dict[str, str] = dataclasses.field(default_factory=dict)

    def device(self, image: str) -> str:
        return os.path.join(self.work, 'dev', self.loops.get(image) or
                            'ubd' + 'abcdefghijklmnop'[self.images.index(image)])

    def run(self, timeout: float) -> Tuple[List[dict], float]:
        """Boots, lets the guest take the steps, and returns each step's result and the
        seconds from start to power-off. Raises RuntimeError when the guest did not finish."""
        work = self.work
        plan = os.path.join(work, 'plan.json')
        with open(plan, 'w') as f:
            json.dump(self.steps, f)
        for name in ('booted', 'results.json', 'guest.err'):
            if os.path.exists(os.path.join(work, name)):
                os.unlink(os.path.join(work, name))
        init = os.path.join(work, 'init.sh')
        with open(init, 'w') as f:
            f.write(INIT.format(work=work, modules=module_dir(), me=os.path.abspath(__file__),
                                insmods=' '.join(MODULES)))
        os.chmod(init, 0o755)
        command = [LINUX, 'mem=512M', 'root=/dev/root', 'rootfstype=hostfs', 'rootflags=/', 'rw',
                   f'init={init}', 'con=null', 'con0=fd:0,fd:1', 'quiet']
        command += [f'ubd{i}={image}' for i, image in enumerate(self.images)]
        started = time.monotonic()
        with open(os.path.join(work, 'console.txt'), 'wb') as console:
            process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=console,
                                       stderr=subprocess.STDOUT, start_new_session=True,
                                       cwd=work)
            try:
                process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, 9)
                process.wait()
                raise RuntimeError(f'the boot did not end within {timeout:.0f} s')
        seconds = time.monotonic() - started
        if not os.path.exists(os.path.join(work, 'booted')):
            with open(os.path.join(work, 'console.txt'), errors='replace') as f:
                raise CannotBoot('user-mode Linux did not reach its init script: ' +
                                 f.read()[-600:].strip().replace('\n', ' | '))
        results_path = os.path.join(work, 'results.json')
        if not os.path.exists(results_path):
            with open(os.path.join(work, 'guest.err'), errors='replace') as f:
                raise RuntimeError('the guest wrote no results: ' + f.read()[-2000:])
        with open(results_path) as f:
            return json.load(f), seconds


class CannotBoot(Exception):
    pass


INIT = """#!/bin/sh
export PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 LC_ALL=C.UTF-8
echo booted > {work}/booted
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mkdir -p {work}/dev
mount -t devtmpfs none {work}/dev
for m in {insmods}; do insmod {modules}/$m.ko; done
python3 {me} guest {work}/plan.json >{work}/guest.out 2>{work}/guest.err
poweroff -f
"""


# ---------------------------------------------------------------------------------------------
# The guest's side

def guest(plan_path: str) -> int:
    work = os.path.dirname(plan_path)
    with open(plan_path) as f:
        steps = json.load(f)
    results = []
    for step in steps:
        results.append(STEPS[step['op']](step))
    with open(os.path.join(work, 'results.json'), 'w') as f:
        json.dump(results, f)
    return 0


def step_mount(step: dict) -> dict:
    os.makedirs(step['dir'], exist_ok=True)
    done = subprocess.run(['mount', '-t', 'vfat', '-o', step['options'], step['device'],
                           step['dir']], capture_output=True, text=True)
    if done.returncode:
        raise RuntimeError(f'mount {step}: {done.stderr}')
    return {}


def step_umount(step: dict) -> dict:
    subprocess.run(['umount', step['dir']], check=True)
    return {}


def step_make(step: dict) -> dict:
    """Creates entries through the mounted driver: [kind, path] with kind 'd' or 'f'."""
    started = time.monotonic()
    for kind, path in step['entries']:
        if kind == 'd':
            os.mkdir(path)
        else:
            os.close(os.open(path, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o644))
    return {'seconds': time.monotonic() - started}


def step_rename(step: dict) -> dict:
    for old, new in step['pairs']:
        os.rename(old, new)
    return {}


def step_loop(step: dict) -> dict:
    """Backs the loop device step['device'] with the file step['file'], or frees the device
    (its writes on the file first) where there is no file."""
    with open(step['device'], 'r+b') as device:
        if step.get('file'):
            with open(step['file'], 'r+b') as backing:
                fcntl.ioctl(device, 0x4C00, backing.fileno())  # LOOP_SET_FD
        else:
            os.sync()
            fcntl.ioctl(device, 0x4C01)  # LOOP_CLR_FD
    return {}


def step_copy(step: dict) -> dict:
    shutil.copyfile(step['device'], step['to'])
    return {}


def step_stat(step: dict) -> dict:
    """Every name below a directory with its modification time: a rename touches its
    directory's."""
    seen = {}
    for directory, dirs, files in os.walk(step['dir']):
        for name in dirs + files + ['.']:
            path = os.path.join(directory, name)
            seen[os.path.relpath(path, step['dir'])] = os.lstat(path).st_mtime_ns
    return {'entries': seen}


def step_run(step: dict) -> dict:
    """Runs a program; with 'mover', changes subtrees while it runs (see move_subtrees)."""
    started = time.monotonic()
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        process = subprocess.Popen(step['argv'], cwd=step['cwd'], stdin=subprocess.DEVNULL,
                                   stdout=out, stderr=err)
        moved = move_subtrees(process, step['mover']) if step.get('mover') else None
        process.wait(timeout=step.get('timeout', 600))
        seconds = time.monotonic() - started
        out.seek(0)
        err.seek(0)
        return {'exit': process.returncode, 'stdout': os.fsdecode(out.read()),
                'stderr': os.fsdecode(err.read()), 'seconds': seconds, 'moved': moved}


def move_subtrees(process: subprocess.Popen, mover: dict) -> List[list]:
    """Once the program has renamed the first directory's pair mover['first'] (named by the
    short name it shows afterwards), changes mover['count'] directories of mover['base'], each
    the one the walk enters next (the first in directory order whose pair is not renamed yet):
    moves it under another name, deletes it, or deletes it and makes it again with five new
    files, in turn, until the program ends. Returns [operation, directory] for each."""
    base, first, done, changed = mover['base'], mover['first'], [], set()
    names = [n for n in os.listdir(base) if re.fullmatch(r'd\d+', n)]  # the walk's order
    while process.poll() is None and first not in os.listdir(os.path.join(base, names[0])):
        time.sleep(0.002)
    walked = 0
    while process.poll() is None and len(done) < mover['count']:
        while walked < len(names) and (names[walked] in changed or
                                       first in os.listdir(os.path.join(base, names[walked]))):
            walked += 1
        if walked == len(names):
            break
        name = names[walked]
        old = os.path.join(base, name)
        operation = ('move', 'delete', 'remake')[len(done) % 3]
        if operation == 'move':
            os.rename(old, old + ' moved')
        else:
            while os.path.lexists(old):  # the program may rename an entry while it goes
                shutil.rmtree(old, ignore_errors=True)
            if operation == 'remake':
                os.mkdir(old)
                for n in range(5):
                    os.close(os.open(os.path.join(old, f'New{n}.Txt'), os.O_CREAT | os.O_WRONLY))
        changed.add(name)
        done.append([operation, name])
        time.sleep(0.02)
    return done


STEPS = {'mount': step_mount, 'umount': step_umount, 'make': step_make, 'rename': step_rename,
         'copy': step_copy, 'stat': step_stat, 'run': step_run, 'loop': step_loop}

if __name__ == '__main__' and sys.argv[1:2] == ['guest']:
    sys.exit(guest(sys.argv[2]))
