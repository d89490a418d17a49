#!/usr/bin/env python3
# Runs shortcase.exe under Wine on real directory trees and checks its console text, exit status and effects.
"""Black-box runs of the Windows image under Wine.

Every run goes through launcher.exe, which hands the program an exact command line (Wine
would re-quote a Unix argv) and records the full 32-bit exit code. The console text is read
through a pty with a very wide window, so that Wine's console neither wraps nor loses it
(WriteConsoleW only writes when standard error is a console).

  runner.py setup --prefix DIR                       create the Wine prefix unless present
  runner.py fast  --prefix DIR --exe X64.exe ...     the full case table (x86-64 build)
  runner.py slow  --prefix DIR --exe I686.exe ...    the real 32-bit image: five cases, and the
                                                     full table too where 32-bit code runs natively
  runner.py volume --prefix DIR --exe X.exe ...      the volume rows under Wine, on vfatfs
  runner.py linux --exe shortcase --vfatfs V ...     the same rows, and the Linux build's own, run
                                                     by the Linux build on vfatfs without Wine
"""

import argparse
import concurrent.futures
import dataclasses
import fcntl
import os
import random
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import termios
import threading
import time
from typing import Callable, Dict, List, Optional, Tuple

WINE64 = '/usr/lib/wine/wine64'
WINESERVER = '/usr/lib/wine/wineserver'
COLUMNS = 32000

NO_ARGUMENTS = 'No arguments: at least one (wildcard) directory or file name must be given!'
USAGE = ['Usage: shortcase NAME [NAME ...]',
         'Renames each file or directory that NAME matches, and every entry below it, to its 8.3 '
         'short name where the two differ only in case.']


def win(path: str) -> str:
    """The Windows spelling of a Unix path: Wine's Z: drive maps the Unix root."""
    return 'Z:' + path.replace('/', '\\')


def first_failed(code: int, argument: str) -> str:
    return f"FindFirstFile() returned error {code} for argument '{argument}'"


def walk_failed(code: int, path: str) -> str:
    return f"FindFirstFile() returned error {code} for path '{path}'"


def locked(prefix: str) -> str:
    """The message of the locked directory below photos/docs, reached through prefix."""
    return walk_failed(5, prefix + 'docs\\locked\\*')


def no_match(argument: str) -> str:
    return f"No match for argument '{argument}'!"


def too_long(argument: str) -> str:
    return f"Argument '{argument}' exceeds MAX_PATH!"


# ---------------------------------------------------------------------------------------------
# Wine


class Wine:
    """Starts Windows programs in one prefix. As root, every Wine process (the server above
    all, which opens the files) runs without the capabilities that bypass permission bits, so
    that a directory with mode 000 refuses its listing as it would for a user."""

    def __init__(self, prefix: str):
        self.prefix = os.path.abspath(prefix)
        self.env = dict(os.environ)
        for key in list(self.env):
            if key.startswith('WINE'):
                del self.env[key]
        self.env.update(WINEPREFIX=self.prefix, WINEARCH='win64', WINEDEBUG='-all',
                        WINEDLLOVERRIDES='winedbg.exe=d;mscoree=d;mshtml=d', LANG='C.UTF-8',
                        LC_ALL='C.UTF-8', DISPLAY='')
        self.wrap: List[str] = []
        if os.geteuid() == 0:
            self.wrap = ['setpriv', '--bounding-set=-dac_override,-dac_read_search', '--']

    def command(self, *args: str) -> List[str]:
        return self.wrap + list(args)

    def create_prefix(self, timeout: float) -> float:
        """Creates the prefix unless it exists; returns the seconds it took (0 if present)."""
        if os.path.exists(os.path.join(self.prefix, 'system.reg')):
            return 0.0
        started = time.monotonic()
        os.makedirs(os.path.dirname(self.prefix), exist_ok=True)
        subprocess.run(self.command(WINE64, 'wineboot', '-i'), env=self.env, timeout=timeout,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True, start_new_session=True)
        subprocess.run(self.command(WINESERVER, '-w'), env=self.env, timeout=timeout, check=False)
        if not os.path.exists(os.path.join(self.prefix, 'system.reg')):
            raise RuntimeError(f'wineboot left no prefix in {self.prefix}')
        return time.monotonic() - started

    def start_server(self) -> None:
        """A server that outlives single runs (each start would cost seconds); it ends itself
        a minute after the last client. A second start while one runs is a no-op."""
        subprocess.run(self.command(WINESERVER, '-p60'), env=self.env, timeout=60,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)


@dataclasses.dataclass
class Outcome:
    exit: Optional[int]      # the child's full exit code, None when the launcher failed
    console: str             # console text, escape sequences and carriage returns removed
    redirected: bytes        # what reached a redirected standard error
    seconds: float
    timed_out: bool
    launcher: str            # the launcher's result file when it did not hold a number


ESCAPES = re.compile(r'\x1b\[[0-9;?]*[A-Za-z]|\x1b\][^\x07\x1b]*(\x07|\x1b\\)|\x1b[()][A-Z0-9]|\r')


def launch(wine: Wine, launcher: str, runs: str, name: str, program: str, command_line: str,
           directory: Optional[str], stderr: str, timeout: float) -> Outcome:
    """Runs program with exactly command_line in directory (a Unix path, a Windows path, or
    None); stderr is 'console', 'file' or 'pipe'."""
    request = os.path.join(runs, name + '.request')
    result = os.path.join(runs, name + '.exit')
    if os.path.exists(result):
        os.unlink(result)
    # A directory is a Unix path, or already a Windows one (on a mapped drive letter).
    folder = win(directory) if directory and directory.startswith('/') else directory or ''
    fields = [win(program), command_line, folder, win(result)]
    with open(request, 'wb') as f:
        f.write(''.join(field + '\0' for field in fields).encode('utf-16-le', 'surrogatepass'))

    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack('HHHH', 50, COLUMNS, 0, 0))
    error_path = os.path.join(runs, name + '.stderr')
    error_file = None
    if stderr == 'console':
        error_target = slave
    elif stderr == 'file':
        error_file = open(error_path, 'wb')
        error_target = error_file
    else:
        error_target = subprocess.PIPE
    started = time.monotonic()
    process = subprocess.Popen(wine.command(WINE64, launcher, win(request)), env=wine.env,
                               stdin=slave, stdout=slave, stderr=error_target,
                               start_new_session=True, cwd=runs)
    os.close(slave)
    if error_file:
        error_file.close()

    console = b''
    redirected = b''
    streams = [master] + ([process.stderr.fileno()] if process.stderr else [])
    deadline = started + timeout
    timed_out = False
    quiet_since = None
    while streams:
        now = time.monotonic()
        if now > deadline:
            timed_out = True
            os.killpg(process.pid, signal.SIGKILL)
            break
        ready, _, _ = select.select(streams, [], [], 0.1)
        for fd in ready:
            try:
                data = os.read(fd, 1 << 16)
            except OSError:
                data = b''
            if not data:
                streams.remove(fd)
            elif fd == master:
                console += data
            else:
                redirected += data
        if not ready and process.poll() is not None:
            # Wine's console host closes the pty once the program has ended, mostly at once and
            # at times a moment later; a busy machine has held its writes back past half a
            # second, so its text is waited for, and only a host that stays silent is left.
            quiet_since = quiet_since or now
            if now - quiet_since > 10:
                break
        elif ready:
            quiet_since = None
    process.wait()
    seconds = time.monotonic() - started
    os.close(master)
    if process.stderr:
        redirected += process.stderr.read()
        process.stderr.close()
    if stderr == 'file':
        with open(error_path, 'rb') as f:
            redirected = f.read()

    text = ESCAPES.sub('', console.decode('utf-8', 'replace'))
    exit_code = None
    launcher_text = ''
    if os.path.exists(result):
        with open(result) as f:
            launcher_text = f.read().strip()
        if launcher_text.isdigit():
            exit_code = int(launcher_text)
    else:
        launcher_text = f'no result file (wine exit {process.returncode})'
    return Outcome(exit_code, text, redirected, seconds, timed_out, launcher_text)


def launch_again(wine: Wine, launcher: str, runs: str, name: str, *rest) -> Outcome:
    """launch(), and once more when Wine could not start the program at all: under load it has
    now and then failed CreateProcessW with 1359, an internal error, or ended with 1 before the
    launcher wrote its result file, which says nothing of the program."""
    outcome = launch(wine, launcher, runs, name, *rest)
    if outcome.launcher.startswith(('launch-error', 'no result file')) and not outcome.timed_out:
        print(f'     {name}: {outcome.launcher}, started again')
        outcome = launch(wine, launcher, runs, name, *rest)
    return outcome


def native_i386() -> bool:
    """Whether 32-bit x86 programs run natively. Where the kernel cannot run them, tools/deps.sh
    has registered an emulator for 32-bit x86 ELF files in binfmt_misc, and every such start
    goes through it."""
    binfmt = '/proc/sys/fs/binfmt_misc'
    if not os.path.isdir(binfmt):
        return True
    for name in os.listdir(binfmt):
        try:
            with open(os.path.join(binfmt, name)) as f:
                lines = f.read().split('\n')
        except OSError:
            continue
        magic = next((l.split()[1] for l in lines if l.startswith('magic ')), '')
        # ELF, 32-bit (01), machine 3 (i386) at offset 18.
        if lines[0] == 'enabled' and magic.startswith('7f454c4601') and magic[36:40] == '0300':
            return False
    return True


# ---------------------------------------------------------------------------------------------
# Trees on the Unix side


def listing(root: str) -> List[Tuple[str, str]]:
    """Every entry below root with its kind, sorted: names compare case-sensitively, so a
    rename that only changes case shows."""
    entries = []
    for directory, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(directory, name)
            kind = 'link' if os.path.islink(path) else 'dir' if os.path.isdir(path) else 'file'
            entries.append((os.path.relpath(path, root), kind))
    return sorted(entries)


def make_big_tree(root: str, directories: int, files: int) -> None:
    """directories × files entries in two levels: 8.3-valid names in lower and mixed case (no
    short name under Wine) and long names that get a «NAME~N.EXT» short name."""
    os.makedirs(root)
    for d in range(directories):
        sub = os.path.join(root, f'Dir {d:03d} Of The Tree' if d % 2 else f'dir{d:03d}')
        os.mkdir(sub)
        for n in range(files):
            if n % 3 == 0:
                name = f'file{n:04d}.txt'
            elif n % 3 == 1:
                name = f'Mixed{n:03d}.Txt'
            else:
                name = f'A Long File Name {n:04d}.Text'
            with open(os.path.join(sub, name), 'wb') as f:
                f.write(b'x')
        os.mkdir(os.path.join(sub, 'Empty Sub'))


DEEP_NAME = 'd' * 10


def make_deep_tree(root: str, levels: int, witness: str) -> None:
    """A chain of directories named DEEP_NAME, built through directory handles, since past
    4,096 bytes the Unix path itself cannot be used. witness, the deepest path that still fits
    with room for a pattern, gets a locked sibling directory: its message proves the walk got
    that far. (Ten-letter names rather than one-letter ones: Wine's cost per opened path grows
    with its depth, so 2,000 one-letter levels take minutes.)"""
    os.makedirs(root)
    fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    path = root
    try:
        for _ in range(levels):
            if path == witness:
                lock(os.path.join(witness, 'x'))
            os.mkdir(DEEP_NAME, dir_fd=fd)
            inner = os.open(DEEP_NAME, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = inner
            path += '/' + DEEP_NAME
    finally:
        os.close(fd)


def lock(path: str) -> None:
    """A directory that refuses its listing (mode 000); recorded so unlock_all finds it."""
    os.makedirs(path, exist_ok=True)
    os.chmod(path, 0)
    root = path
    while not os.path.exists(os.path.join(root, 'runs')):
        root = os.path.dirname(root)
    with open(os.path.join(root, 'locked'), 'a') as f:
        f.write(path + '\n')


def unlock_all(root: str) -> None:
    """Gives back the permissions that lock() took, so the work tree can be removed."""
    record = os.path.join(root, 'locked')
    if os.path.exists(record):
        with open(record) as f:
            for path in f.read().split('\n'):
                if path and os.path.isdir(path):
                    os.chmod(path, 0o755)


def build_trees(work: str, big: Tuple[int, int]) -> Dict[str, str]:
    """Builds every tree the cases use under work and returns the names for their paths."""
    unlock_all(work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, 'runs'))
    open(os.path.join(work, 'locked'), 'w').close()
    t = {'work': work}
    t['empty'] = os.path.join(work, 'empty')
    os.mkdir(t['empty'])

    # Directories that refuse their listing, reached through differently delimited arguments.
    t['np'] = os.path.join(work, 'np')
    lock(os.path.join(t['np'], 'sub', 'locked'))
    lock(os.path.join(t['np'], 'locked.txt'))
    lock(os.path.join(t['np'], 'locked'))
    with open(os.path.join(t['np'], 'plain.txt'), 'wb') as f:
        f.write(b'x')

    # Exactly 259 and 260 units as Windows paths: a long first component, then the rest.
    t['maxpath'] = os.path.join(work, 'maxpath')
    first = 260 - len(win(t['maxpath'])) - 2 - 60
    if first < 1:
        raise RuntimeError(f'work directory {work} is too long for 260-unit paths below it')
    base = os.path.join(t['maxpath'], 'm' * min(first, 200))
    os.makedirs(base)
    rest = 260 - len(win(base)) - 1
    t['path260'] = os.path.join(base, 'x' * rest)
    t['path259'] = os.path.join(base, 'y' * (rest - 1))
    os.mkdir(t['path260'])
    os.mkdir(t['path259'])
    assert len(win(t['path260'])) == 260 and len(win(t['path259'])) == 259

    # A directory symbolic link back up to the tree's root: a walk that entered it would not
    # end before the path grew too long to open.
    t['loop'] = os.path.join(work, 'loop')
    os.makedirs(os.path.join(t['loop'], 'inner'))
    os.symlink('..', os.path.join(t['loop'], 'inner', 'up'))
    os.symlink('.', os.path.join(t['loop'], 'self'))
    with open(os.path.join(t['loop'], 'inner', 'file.txt'), 'wb') as f:
        f.write(b'x')

    # The argument forms people type, in forms/photos beside a namesake forms/docs. Nothing
    # has a case-only short name under Wine, so locked directories show where a walk went:
    # photos/docs/locked is reported through the path the argument spelled, forms/docs/decoy
    # only by forms that name forms itself.
    t['forms'] = os.path.join(work, 'forms')
    t['photos'] = os.path.join(t['forms'], 'photos')
    os.makedirs(os.path.join(t['photos'], 'docs'))
    with open(os.path.join(t['photos'], 'docs', 'a.txt'), 'wb') as f:
        f.write(b'x')
    lock(os.path.join(t['photos'], 'docs', 'locked'))
    lock(os.path.join(t['forms'], 'docs', 'decoy'))

    t['deep'] = os.path.join(work, 'deep')
    levels = (4096 - len(t['deep'])) // (len(DEEP_NAME) + 1) + 40
    witness_levels = (4000 - len(t['deep'])) // (len(DEEP_NAME) + 1)
    t['deep-witness'] = t['deep'] + ('/' + DEEP_NAME) * witness_levels
    make_deep_tree(t['deep'], levels, t['deep-witness'])

    # A smaller tree with one locked directory in the last place the walk reaches.
    t['reach'] = os.path.join(work, 'reach')
    make_big_tree(t['reach'], 20, 60)
    t['reach-locked'] = os.path.join(t['reach'], 'Dir 019 Of The Tree', 'Empty Sub', 'locked')
    lock(t['reach-locked'])

    t['big'] = os.path.join(work, 'big')
    make_big_tree(t['big'], *big)
    return t


# ---------------------------------------------------------------------------------------------
# Cases


@dataclasses.dataclass
class Case:
    name: str
    command_line: str                 # passed to the program exactly
    exit: int
    output: List[str]                 # the console lines, each ended by a line feed
    cwd: Optional[str] = None         # tree name of the current directory
    stderr: str = 'console'
    same_exit_as: Optional[str] = None   # a console case whose exit status this one must match
    unchanged: Optional[str] = None   # tree name whose listing must survive the run
    check: Optional[Callable[['Case', Outcome, Dict[str, str]], List[str]]] = None
    timeout: float = 60


def splitter_rows() -> List[Case]:
    """The splitter's worked results, observed through the arguments the FindFirstFile message
    echoes. The current directory is empty, so every name exists nowhere: a plain name fails
    with 2, one below a missing directory with 3. Argument 0 is never echoed; a quoted one
    that was split wrongly would show as an extra argument."""
    def row(name, line, arguments, exit=None):
        return Case('split-' + name, line, exit if exit is not None else arguments[-1][0],
                    [first_failed(code, text) for code, text in arguments], cwd='empty')
    return [
        row('plain', 'prog a b', [(2, 'a'), (2, 'b')]),
        row('quoted-program', '"C:\\Program Files\\x.exe" "a b" c', [(2, 'a b'), (2, 'c')]),
        row('escaped-quote', 'prog a\\"b', [(2, 'a"b')]),
        row('even-backslashes', 'prog a\\\\"b c"', [(3, 'a\\b c')]),
        row('doubled-quote', 'prog "a""b"', [(2, 'a"b')]),
        row('unterminated', 'prog "abc', [(2, 'abc')]),
        row('empty-quotes', 'prog ""', [(3, '')]),
        row('leading-blanks', '  prog a', [(2, 'prog'), (2, 'a')]),
        Case('split-blanks-only', '   ', 160, [NO_ARGUMENTS], cwd='empty'),
        row('inner-empty-quotes', 'prog a""b', [(2, 'ab')]),
        row('three-quotes', 'prog """', [(2, '"')]),
        row('four-quotes', 'prog """"', [(2, '"')]),
        row('escaped-quotes-split', 'prog \\"a b\\"', [(2, '"a'), (2, 'b"')]),
        row('quotes-mid-token', 'prog "a b"c d"e f"', [(2, 'a bc'), (2, 'de f')]),
        row('four-backslashes', 'prog a\\\\\\\\"b"', [(3, 'a\\\\b')]),
        row('three-backslashes', 'prog \\\\\\"', [(2, '\\"')]),
        # Beyond the worked table: tabs and mixed blanks separate, trailing blanks add nothing.
        row('tabs', 'prog\ta \t\tb', [(2, 'a'), (2, 'b')]),
        row('trailing-blanks', 'prog a \t ', [(2, 'a')]),
        row('backslashes-kept', 'prog a\\\\b\\', [(3, 'a\\\\b\\')]),
    ]


def fast_cases(t: Dict[str, str]) -> List[Case]:
    W = {k: win(v) for k, v in t.items()}
    long_missing = W['empty'] + '\\' + '\\'.join(['q' * 100] * 11)   # 1,100+ units
    long_message = first_failed(3, long_missing)
    cases = splitter_rows() + [
        Case('no-argument', 'prog', 160, [NO_ARGUMENTS]),
        Case('missing-file', f'prog {W["empty"]}\\nothing*.txt', 2,
             [first_failed(2, W['empty'] + '\\nothing*.txt')]),
        Case('missing-directory', f'prog {W["empty"]}\\nowhere\\*', 3,
             [first_failed(3, W['empty'] + '\\nowhere\\*')]),
        Case('empty-directory', f'prog {W["empty"]}\\*', 0, [no_match(W['empty'] + '\\*')]),
        Case('maxpath-260', f'prog {W["path260"]}', 0, [too_long(W['path260'])]),
        Case('maxpath-259', f'prog {W["path259"]}', 0, []),
        Case('maxpath-260-wildcard', f'prog {W["path260"][:-1]}*', 0, [too_long(W['path260'][:-1] + '*')]),
        Case('maxpath-260-missing', f'prog {W["path260"]}\\z', 2,
             [first_failed(2, W['path260'] + '\\z')]),
        Case('first-fails-second-succeeds', f'prog {W["empty"]}\\missing {W["empty"]}\\*', 0,
             [first_failed(2, W['empty'] + '\\missing'), no_match(W['empty'] + '\\*')]),
        Case('first-succeeds-second-fails', f'prog {W["empty"]}\\* {W["empty"]}\\missing', 2,
             [no_match(W['empty'] + '\\*'), first_failed(2, W['empty'] + '\\missing')]),
        Case('help', 'prog /?', 0, USAGE, cwd='empty'),
        Case('help-among-names', f'prog /? {W["empty"]}\\missing', 2,
             USAGE + [first_failed(2, W['empty'] + '\\missing')], cwd='empty'),
        # The walk's pattern is built from the name position, so its message shows it.
        Case('drive-relative', 'prog Z:*.txt', 0, [walk_failed(5, 'Z:locked.txt\\*')], cwd='np'),
        Case('no-backslash', 'prog locked', 0, [walk_failed(5, 'locked\\*')], cwd='np'),
        Case('forward-slash-delimits', 'prog sub/locked', 0, [walk_failed(5, 'sub/locked\\*')],
             cwd='np'),
        Case('full-path', f'prog {W["np"]}\\lock*', 0,
             [walk_failed(5, W['np'] + '\\locked\\*'), walk_failed(5, W['np'] + '\\locked.txt\\*')],
             check=any_order),
        Case('walk-reaches-last-directory', f'prog {W["reach"]}', 0,
             [walk_failed(5, win(t['reach-locked']) + '\\*')], timeout=120),
        Case('symlink-loop', f'prog {W["loop"]}', 0, [], unchanged='loop'),
        Case('symlink-itself', f'prog {W["loop"]}\\self', 0, []),
        Case('deep-tree', f'prog {W["deep"]}', 0, [], check=deep_tree, timeout=300),
        Case('big-tree', f'prog {W["big"]}', 0, [], unchanged='big', timeout=300),
        Case('big-tree-wildcard', f'prog {W["big"]}\\*', 0, [], unchanged='big', timeout=300),
        Case('non-ascii', f'prog {W["empty"]}\\grüße-ß-ä€', 2,
             [first_failed(2, W['empty'] + '\\grüße-ß-ä€')]),
        # Wine's wvsprintfW keeps 1,023 characters of a text it cuts; the line still ends.
        Case('message-cut', f'prog {long_missing}', 3, [long_message[:1023]]),
    ] + form_cases(W)
    for stderr in ('file', 'pipe'):
        cases += [
            Case(f'{stderr}-no-argument', 'prog', 160, [], stderr=stderr, same_exit_as='no-argument'),
            Case(f'{stderr}-missing-file', f'prog {W["empty"]}\\nothing*.txt', 2, [],
                 stderr=stderr, same_exit_as='missing-file'),
            Case(f'{stderr}-walk-failure', 'prog locked', 0, [], cwd='np', stderr=stderr,
                 same_exit_as='no-backslash'),
            Case(f'{stderr}-first-fails-second-succeeds',
                 f'prog {W["empty"]}\\missing {W["empty"]}\\*', 0, [], stderr=stderr,
                 same_exit_as='first-fails-second-succeeds'),
        ]
    return cases


def form_cases(W: Dict[str, str]) -> List[Case]:
    """Each form names photos' contents: the walk must report photos/docs/locked through the
    path as typed, and reach forms/docs/decoy only where the argument names forms."""
    decoy = lambda prefix: walk_failed(5, prefix + 'docs\\decoy\\*')
    slashes = W['photos'].replace('\\', '/')
    return [
        Case('form-dot', 'prog .', 0, [locked('.\\')], cwd='photos'),
        Case('form-dot-dot', 'prog ..', 0, [locked('..\\photos\\'), decoy('..\\')],
             cwd='photos', check=any_order),
        Case('form-directory-dot', 'prog photos\\.', 0, [locked('photos\\.\\')], cwd='forms'),
        Case('form-directory-dot-dot', 'prog photos\\docs\\..', 0,
             [locked('photos\\docs\\..\\')], cwd='forms'),
        Case('form-slashes', 'prog photos/*', 0, [locked('photos/')], cwd='forms'),
        Case('form-full-slashes', f'prog {slashes}/*', 0, [locked(slashes + '/')], cwd='forms'),
        Case('form-trailing-backslash', 'prog photos\\', 0, [locked('photos\\')], cwd='forms'),
        Case('form-bare-drive', 'prog Z:', 0, [locked('Z:photos\\'), decoy('Z:')], cwd='forms',
             check=any_order),
    ]


def slow_cases(t: Dict[str, str]) -> List[Case]:
    W = {k: win(v) for k, v in t.items()}
    slashes = W['photos'].replace('\\', '/')
    return [
        # Every form of the table above in one run: a start may cost minutes here.
        Case('i686-forms', f'prog . .. ..\\photos\\. ..\\photos\\docs\\.. ../photos/* {slashes}/* '
             '..\\photos\\ Z:', 0,
             [locked('.\\'), locked('..\\photos\\'), walk_failed(5, '..\\docs\\decoy\\*'),
              locked('..\\photos\\.\\'), locked('..\\photos\\docs\\..\\'), locked('../photos/'),
              locked(slashes + '/'), locked('..\\photos\\'), locked('Z:')],
             cwd='photos', check=any_order, timeout=900),
        Case('i686-no-argument', 'prog', 160, [NO_ARGUMENTS], timeout=900),
        Case('i686-missing-file', f'prog {W["empty"]}\\nothing*.txt', 2,
             [first_failed(2, W['empty'] + '\\nothing*.txt')], timeout=900),
        Case('i686-tree', f'prog {W["big"]}', 0, [], unchanged='big', timeout=900),
        Case('i686-file-missing-file', f'prog {W["empty"]}\\nothing*.txt', 2, [], stderr='file',
             timeout=900),
    ]


# Extra checks, for outcomes that a fixed list of lines cannot state.

def any_order(case: Case, outcome: Outcome, trees: Dict[str, str]) -> List[str]:
    """The file system decides the order of a directory's entries."""
    got = outcome.console.split('\n')
    if got and got[-1] == '':
        got.pop()
    if sorted(got) != sorted(case.output):
        return [f'console lines {got!r}, expected in any order {case.output!r}']
    return []


def deep_tree(case: Case, outcome: Outcome, trees: Dict[str, str]) -> List[str]:
    """Wine cannot open a Unix path over 4,096 bytes. The walk must go down as far as paths
    open (the locked directory beside the deepest openable level reports 5), report the
    level it cannot list (Wine says 31, ERROR_GEN_FAILURE), and stop there. Both paths are
    longer than a message holds, so each line is checked by its code and the start of its
    path, which must run along the chain."""
    lines = outcome.console.split('\n')
    if lines[-1] != '':
        return [f'console text does not end with a line feed: {outcome.console[-80:]!r}']
    lines.pop()
    faults = []
    codes = []
    chain = re.escape(win(trees['deep'])) + r'(\\' + DEEP_NAME + ')+'
    for line in lines:
        m = re.match(r"FindFirstFile\(\) returned error (\d+) for path '(" + chain + ')', line)
        if not m or len(line) < 1000:
            faults.append(f'unexpected line {line[:160]!r}...')
        else:
            codes.append(int(m.group(1)))
    if sorted(codes) != [5, 31]:
        faults.append(f'walk failure codes {codes}, expected 5 (the witness) and 31 (too deep)')
    return faults


# ---------------------------------------------------------------------------------------------


def expected_text(lines: List[str]) -> str:
    return ''.join(line + '\n' for line in lines)


def judge(case: Case, outcome: Outcome, trees: Dict[str, str], before: Dict[str, list],
          observed: Dict[str, Outcome]) -> List[str]:
    faults = []
    if outcome.timed_out:
        faults.append(f'no end within {case.timeout:.0f} s')
    if outcome.exit is None:
        faults.append(f'launcher: {outcome.launcher}')
    elif outcome.exit != case.exit:
        faults.append(f'exit status {outcome.exit}, expected {case.exit}')
    if case.check:
        faults += case.check(case, outcome, trees)
    elif outcome.console != expected_text(case.output):
        faults.append(f'console text {outcome.console!r}, expected {expected_text(case.output)!r}')
    if case.stderr != 'console' and outcome.redirected:
        faults.append(f'{outcome.redirected[:200]!r} reached the redirected standard error')
    if case.same_exit_as:
        other = observed.get(case.same_exit_as)
        if other is None:
            faults.append(f'no run of {case.same_exit_as} to compare with')
        elif other.exit != outcome.exit:
            faults.append(f'exit status {outcome.exit}, on the console {other.exit}')
    if case.unchanged and listing(trees[case.unchanged]) != before[case.unchanged]:
        faults.append(f'tree {case.unchanged} changed')
    return faults


def run_suite(args, cases_of, big) -> int:
    wine = Wine(args.prefix)
    if not os.path.exists(os.path.join(wine.prefix, 'system.reg')):
        print(f'no Wine prefix in {wine.prefix}: run "runner.py setup" first', file=sys.stderr)
        return 1
    started = time.monotonic()
    work = os.path.abspath(args.work)
    trees = build_trees(work, big)
    runs = os.path.join(work, 'runs')
    cases = cases_of(trees)
    if args.only:
        cases = [c for c in cases if re.search(args.only, c.name)]
    before = {c.unchanged: listing(trees[c.unchanged]) for c in cases if c.unchanged}
    for name, entries in before.items():
        print(f'tree {name}: {len(entries)} entries')
    print(f'trees built in {time.monotonic() - started:.1f} s')
    wine.start_server()

    program = os.path.abspath(args.exe)
    launcher = os.path.abspath(args.launcher)
    directory = lambda c: trees[c.cwd] if c.cwd else trees['empty']
    observed: Dict[str, Outcome] = {}

    def run(case):
        return case, launch_again(wine, launcher, runs, case.name, program, case.command_line,
                                  directory(case), case.stderr, case.timeout)

    failures = 0
    # Cases that compare with another case's run come after it.
    batches = ([c for c in cases if not c.same_exit_as], [c for c in cases if c.same_exit_as])
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for batch in batches:
            for case, outcome in pool.map(run, batch):
                observed[case.name] = outcome
                faults = judge(case, outcome, trees, before, observed)
                status = 'FAIL' if faults else 'ok'
                failures += status == 'FAIL'
                print(f'{status:4} {case.name} ({outcome.seconds:.1f} s, exit {outcome.exit})')
                for fault in faults:
                    print(f'       {fault}')
                sys.stdout.flush()
    unlock_all(work)
    print(f'{len(cases) - failures} of {len(cases)} cases as expected, '
          f'in {time.monotonic() - started:.1f} s')
    return 1 if failures else 0


# ---------------------------------------------------------------------------------------------
# The volume with short names: vfatfs answers the ioctl through which Wine reads 8.3 names, so
# here the program meets case-only pairs and its renames reach a file system.

SKIP = 77  # CTest's code for a suite that cannot run here


def tree_line(text: str) -> Tuple[str, str, str, str, str]:
    """'KIND|PATH|SHORT|FLAGS|TARGET', trailing fields optional, as a tuple of five."""
    fields = text.split('|') + [''] * 4
    return tuple(fields[:5])  # type: ignore


# The argument forms' tree: photos qualifies itself, holds pairs at two levels and entries to
# leave alone, and has a sibling that only forms naming the row's root may reach.
PHOTOS = ['d|photos|PHOTOS', 'f|photos/readme.txt|README.TXT', 'f|photos/notes.txt',
          'f|photos/README.1ST', 'd|photos/Holiday 2019', 'd|photos/docs|DOCS',
          'f|photos/docs/index.txt|INDEX.TXT', 'd|photos/sub', 'f|photos/sub/x.txt|X.TXT',
          'd|other|OTHER', 'f|other/a.txt|A.TXT']
INSIDE = ['photos/readme.txt', 'photos/docs', 'photos/docs/index.txt', 'photos/sub/x.txt']
ALL_PHOTOS = ['photos'] + INSIDE
EVERYTHING = ALL_PHOTOS + ['other', 'other/a.txt']


@dataclasses.dataclass
class Row:
    """One run on the volume. In line, output and cwd, {R} stands for the Windows path of the
    row's own directory and {D} for the drive letter mapped to it."""
    name: str
    tree: List[str]                  # tree_line texts, below the row's directory
    line: str
    renamed: List[str]               # entries (as first spelled) that end up with their short name
    output: List[str] = dataclasses.field(default_factory=list)
    exit: int = 0
    cwd: Optional[str] = None        # a Windows path; None: the row's directory
    drive: bool = False
    any_order: bool = False
    repeat: bool = False             # a second run must rename nothing
    after: Optional[List[Tuple[str, str]]] = None  # the listing afterwards, where renamed can't say
    wine_after: Optional[List[Tuple[str, str]]] = None  # the same, where Wine differs from Windows
    linux: Optional[bool] = None     # True: on Linux only; False: under Wine only
    emulated: bool = False           # also run where 32-bit code is emulated
    listed: List[str] = dataclasses.field(default_factory=list)  # Linux's standard output
    during: Optional[Callable[['Row', str, str, threading.Event], dict]] = None
    check: Optional[Callable[['Row', str, Outcome, List[str], dict], List[str]]] = None
    timeout: float = 120


def volume_rows() -> List[Row]:
    def form(name, line, renamed, cwd=None, drive=False, linux=None):
        return Row('form-' + name, PHOTOS, line, renamed, cwd=cwd, drive=drive, emulated=True,
                   linux=linux)
    return [
        # As the README shows it: E:\\Photos\\ names the contents, so Photos keeps its spelling.
        Row('readme-example', ['d|Photos', 'd|Photos/docs|DOCS', 'd|Photos/Holiday 2019',
                               'f|Photos/readme.txt|README.TXT'],
            'prog {D}\\Photos\\', ['Photos/docs', 'Photos/readme.txt'], drive=True,
            emulated=True),
        form('directory', 'prog photos', ALL_PHOTOS),
        form('backslash', 'prog photos\\', INSIDE),
        form('slash', 'prog photos/', INSIDE),
        form('dot', 'prog .', INSIDE, cwd='{R}\\photos'),
        form('dot-dot', 'prog ..', INSIDE, cwd='{R}\\photos\\sub'),
        form('directory-dot', 'prog photos\\.', INSIDE),
        form('star', 'prog *', EVERYTHING),
        form('directory-star', 'prog photos\\*', INSIDE),
        form('slash-txt', 'prog photos/*.txt', ['photos/readme.txt']),
        form('bare-drive', 'prog {D}', INSIDE, cwd='{D}\\photos', drive=True, linux=False),
        form('drive-root', 'prog {D}\\', EVERYTHING, drive=True, linux=False),
        form('long-prefix', 'prog \\\\?\\{D}\\photos', ALL_PHOTOS, drive=True, linux=False),
        # Each directory is renamed before its walk, which goes on under the new name: the
        # refused entry deepest down is reported through A\\B.
        Row('directories', ['d|a|A', 'd|a/b|B', 'f|a/b/c.txt|C.TXT',
                            'f|a/b/locked.txt|LOCKED.TXT|refuse', 'd|a/Mixed',
                            'f|a/Mixed/Inner.Txt'],
            'prog {R}\\a', ['a', 'a/b', 'a/b/c.txt', 'a/Mixed', 'a/Mixed/Inner.Txt'],
            ['MoveFile("{R}\\A\\B\\locked.txt", "{R}\\A\\B\\LOCKED.TXT") returned error 5']),
        Row('left-alone', ['d|keep', 'd|keep/Holiday 2019', 'f|keep/notes.txt',
                           'f|keep/README.1ST', 'f|keep/A Long Name.txt',
                           'f|keep/straße.txt|STRASSE.TXT'], 'prog {R}\\keep', []),
        Row('non-ascii', ['d|intl', 'f|intl/café.txt|CAFÉ.TXT', 'd|intl/Übung|ÜBUNG'],
            'prog {R}\\intl', ['intl/café.txt', 'intl/Übung']),
        # Wine lists a link to a directory as a reparse point (0x410): the program renames it
        # and never enters it, so the pair behind it keeps its spelling. Wine 8's server moves
        # a file by its real path, so the link's rename moves the directory it points to and
        # leaves the link behind; Windows would rename the link itself.
        Row('symbolic-link', ['d|arg', 'l|arg/link|LINK||../target', 'd|target',
                              'f|target/inner.txt|INNER.TXT'], 'prog {R}\\arg', ['arg/link'],
            wine_after=[('arg', 'dir'), ('arg/LINK', 'dir'), ('arg/LINK/inner.txt', 'file'),
                   ('arg/link', 'link')]),
        # Failed renames: reported, nothing lost, the directory walked under its old name.
        Row('refused', ['d|r', 'f|r/locked.txt|LOCKED.TXT|refuse', 'd|r/docs|DOCS|refuse',
                        'f|r/docs/index.txt|INDEX.TXT'], 'prog {R}\\r', ['r/docs/index.txt'],
            ['MoveFile("{R}\\r\\locked.txt", "{R}\\r\\LOCKED.TXT") returned error 5',
             'MoveFile("{R}\\r\\docs", "{R}\\r\\DOCS") returned error 5'], any_order=True),
        Row('taken', ['d|t', 'f|t/readme.txt|README.TXT', 'f|t/README.TXT', 'd|t/docs|DOCS',
                      'f|t/docs/index.txt|INDEX.TXT', 'd|t/DOCS'], 'prog {R}\\t',
            ['t/docs/index.txt'],
            ['MoveFile("{R}\\t\\readme.txt", "{R}\\t\\README.TXT") returned error 183',
             'MoveFile("{R}\\t\\docs", "{R}\\t\\DOCS") returned error 183'], any_order=True),
        Row('repeat', PHOTOS, 'prog photos', ALL_PHOTOS, repeat=True),
        Row('bulk', bulk_tree(), 'prog {R}\\bulk', [], check=bulk_renamed, timeout=300),
        Row('concurrent', concurrent_tree(), 'prog {R}\\c', [], during=change_subtrees,
            check=concurrent_outcome, timeout=600),
        # Linux renames in two steps through a temporary name: a second step that fails is
        # undone; an undo that fails too says where the entry is; a temporary name left by a
        # killed run is no obstacle.
        Row('second-step-fails', ['d|s', 'f|s/readme.txt|README.TXT|fail=2'], 'prog {R}\\s', [],
            ['MoveFile("{R}\\s\\readme.txt", "{R}\\s\\README.TXT") returned error 5'],
            linux=True),
        # The listing then meets what an earlier run left under the first temporary name, and
        # finishes it: README.TXT is free.
        Row('undo-fails', ['d|u', 'f|u/readme.txt|README.TXT|fail=2,3',
                           'f|u/README.TXT.shortcase-renaming'], 'prog {R}\\u',
            ['u/README.TXT.shortcase-renaming'],
            ["'{R}\\u\\readme.txt' is now named '{R}\\u\\README.TXT.shortcase-renaming-2': "
             'renaming it back failed with error 5',
             'MoveFile("{R}\\u\\readme.txt", "{R}\\u\\README.TXT") returned error 5'],
            after=[('u', 'dir'), ('u/README.TXT', 'file'),
                   ('u/README.TXT.shortcase-renaming-2', 'file')], linux=True),
        # A name is found by its short name too, typed in any case and with wildcards; the
        # entries listed before it are not taken for it.
        Row('typed-short-name', ['d|n', 'f|n/first.txt|FIRST.TXT', 'd|n/Holiday 2019',
                                 'f|n/Holiday 2019/notes.txt|NOTES.TXT'], 'prog {R}\\n\\holida~1',
            ['n/Holiday 2019/notes.txt'], linux=True),
        Row('typed-short-pattern', ['d|w', 'f|w/first.txt|FIRST.TXT', 'd|w/Holiday 2019',
                                    'f|w/Holiday 2019/notes.txt|NOTES.TXT'],
            'prog {R}\\w\\HOLIDA~*', ['w/Holiday 2019/notes.txt'], linux=True),
        Row('left-from-a-kill', ['d|k', 'f|k/readme.txt|README.TXT',
                                 'f|k/README.TXT.shortcase-renaming'], 'prog {R}\\k',
            ['k/readme.txt'], ["'{R}\\k\\README.TXT.shortcase-renaming' was left by a run that "
                               "was stopped: '{R}\\k\\README.TXT' is taken, so it waits for you "
                               "to rename it"], linux=True),
        # A mount may show short names in lower case (shortname=lower); FAT stores them in upper
        # case, and that is the name to take. Where the code page alone knows a letter's stored
        # case, the entry is left alone. -v lists each rename made.
        Row('shown-lower', ['d|l', 'f|l/ReadMe.txt|readme.txt', 'd|l/Photos|photos',
                            'f|l/Photos/a.txt|A.TXT', 'f|l/Café.txt|café.txt'], 'prog -v {R}\\l',
            ['l/ReadMe.txt', 'l/Photos', 'l/Photos/a.txt'],
            listed=[f"renamed '{{R}}\\l\\{a}' -> '{{R}}\\l\\{b}'" for a, b in
                    [('ReadMe.txt', 'README.TXT'), ('Photos', 'PHOTOS'),
                     ('PHOTOS\\a.txt', 'PHOTOS\\A.TXT')]],
            after=[('l', 'dir'), ('l/Café.txt', 'file'), ('l/PHOTOS', 'dir'),
                   ('l/PHOTOS/A.TXT', 'file'), ('l/README.TXT', 'file')], linux=True),
        # Options stand anywhere before --; an unknown one is refused before
        # anything is touched, and so is a command line longer than Windows allows.
        Row('cli-unknown-option', ['d|o', 'f|o/readme.txt|README.TXT'], 'prog -x {R}\\o', [],
            ["shortcase: unknown option '-x'", 'Usage: shortcase [OPTION]... NAME [NAME ...]',
             "Try 'shortcase --help' for more information."], exit=160, linux=True),
        Row('cli-ambiguous-option', ['d|o', 'f|o/readme.txt|README.TXT'], 'prog --ver {R}\\o',
            [], ["shortcase: option '--ver' is ambiguous", 'Usage: shortcase [OPTION]... NAME '
                 '[NAME ...]', "Try 'shortcase --help' for more information."], exit=160,
            linux=True),
        Row('cli-option-after-name', ['d|a', 'f|a/readme.txt|README.TXT'], 'prog {R}\\a -n', [],
            listed=["would rename '{R}\\a\\readme.txt' -> '{R}\\a\\README.TXT'"], linux=True),
        Row('cli-end-of-options', ['d|-n', 'f|-n/readme.txt|README.TXT'], 'prog -- -n',
            ['-n/readme.txt'], linux=True),
        Row('cli-no-name', ['d|e'], 'prog', [], ['No arguments: at least one (wildcard) '
                                              'directory or file name must be given!'],
            exit=160, linux=True),
        Row('cli-too-long', ['d|z'], 'prog ' + 'z' * 32767, [],
            ['The command line exceeds 32,767 characters!'], exit=206, linux=True),
        # -n renames nothing, lists what it would, and reports what a real run would find.
        Row('dry-run', ['d|y', 'd|y/Photos|PHOTOS', 'f|y/Photos/readme.txt|README.TXT',
                        'f|y/Photos/a.txt|A.TXT', 'f|y/Photos/A.TXT'], 'prog -n {R}\\y\\Photos',
            [], ['MoveFile("{R}\\y\\PHOTOS\\a.txt", "{R}\\y\\PHOTOS\\A.TXT") returned error 183'],
            listed=["would rename '{R}\\y\\Photos' -> '{R}\\y\\PHOTOS'",
                    "would rename '{R}\\y\\PHOTOS\\readme.txt' -> '{R}\\y\\PHOTOS\\README.TXT'"],
            linux=True),
    ]


def bulk_tree() -> List[str]:
    """2,000 entries, 500 of them pairs: 20 directories of 99 entries each."""
    lines = ['d|bulk']
    for d in range(20):
        lines.append(f'd|bulk/d{d:02d}')
        for n in range(25):
            lines += [f'f|bulk/d{d:02d}/pair{n:02d}.txt|PAIR{n:02d}.TXT',
                      f'f|bulk/d{d:02d}/Long File {n:02d}.txt', f'f|bulk/d{d:02d}/plain{n:02d}.txt']
            if n < 24:
                lines.append(f'f|bulk/d{d:02d}/OK{n:02d}.TXT')
    return lines


CONCURRENT = (200, 25)  # top directories, pairs in each: 20,201 entries in all


def concurrent_tree() -> List[str]:
    top, pairs = CONCURRENT
    lines = ['d|c']
    for d in range(top):
        lines.append(f'd|c/d{d:03d}')
        for n in range(pairs):
            lines += [f'f|c/d{d:03d}/pair{n:02d}.txt|PAIR{n:02d}.TXT',
                      f'f|c/d{d:03d}/Long Name {n:02d}.txt', f'f|c/d{d:03d}/plain{n:02d}.txt',
                      f'f|c/d{d:03d}/OK{n:02d}.TXT']
    return lines


TEMPORARY = re.compile(r'\.shortcase-renaming(-\d)?$')


def renames_in(log: List[str], prefix: str) -> List[Tuple[str, str]]:
    """The (old, new) paths the volume renamed below prefix, relative to it. A rename in two
    steps through a temporary name (on Linux) counts once, and one undone not at all."""
    found = []
    through = {}
    for entry in log:
        fields = entry.split('\t')
        if fields[0] != 'rename' or not fields[1].startswith(prefix + '/'):
            continue
        old, new = fields[1][len(prefix) + 1:], fields[2][len(prefix) + 1:]
        if TEMPORARY.search(new):
            through[new] = old
        elif not TEMPORARY.search(old):
            found.append((old, new))
        elif TEMPORARY.sub('', old) == new:
            found.append((through.get(old, old), new))
    return found


def bulk_renamed(row: Row, root: str, outcome: Outcome, log: List[str], _: dict) -> List[str]:
    renames = renames_in(log, row.name)
    pairs = [p for p, _ in listing(root) if re.search(r'/pair\d\d\.txt$', p, re.I)]
    faults = [] if len(renames) == 500 else [f'the volume renamed {len(renames)}, expected 500']
    if len(pairs) != 500 or any(not p.endswith('.TXT') for p in pairs):
        faults.append(f'{len(pairs)} pairs, not all renamed: {pairs[:5]}')
    if outcome.console:
        faults.append(f'console text {outcome.console[:300]!r}')
    print(f'     bulk: the volume renamed {len(renames)} entries')
    return faults


def change_subtrees(row: Row, root: str, log_path: str, done: threading.Event) -> dict:
    """While the program walks, renames, deletes and re-creates whole subtrees through the
    mount, one every few milliseconds, starting once the walk has renamed its first entry."""
    rng = random.Random(11)
    top, pairs = CONCURRENT
    order = rng.sample(range(top), 60)
    base = os.path.join(root, 'c')
    touched: set = set()
    created: set = set()
    removed: set = set()
    deadline = time.monotonic() + 60
    while not done.is_set() and time.monotonic() < deadline:
        with open(log_path) as f:
            if f'\t{row.name}/c/' in f.read():
                break
        time.sleep(0.005)
    ops = 0
    for i, d in enumerate(order):
        if done.is_set():
            break
        name = f'd{d:03d}'
        old = os.path.join(base, name)
        # An entry caught between the two steps of a Linux rename is the entry all the same.
        before = {TEMPORARY.sub('', p).lower() for p, _ in listing(old)}
        kind = i % 3
        if kind == 0:  # moved under a name that is no pair
            new = old + ' moved'
            os.rename(old, new)
            created |= {f'c/{name} moved/{p}' for p in before} | {f'c/{name} moved'}
        else:  # deleted, again while anything is left: on Linux the program may have moved
            # an entry to its temporary name after rmtree listed the directory
            while os.path.lexists(old):
                shutil.rmtree(old, ignore_errors=True)
        if kind == 2:  # and made again, with other entries
            os.mkdir(old)
            for n in range(5):
                with open(os.path.join(old, f'New{n}.Txt'), 'w') as f:
                    f.write('x')
                created.add(f'c/{name}/new{n}.txt')
            created.add(f'c/{name}')
        removed |= {f'c/{name}/{p}' for p in before} | {f'c/{name}'}
        touched.add(name)
        ops += 1
        time.sleep(0.01)
    return {'touched': touched, 'created': created, 'removed': removed, 'ops': ops}


def linux_exit(status: int, messages: List[str]) -> int:
    """The status a Linux run ends with: the product's own where it is not 0; else the code of
    the last failure its messages report (a leftover it must leave is 183), else that of a lost
    list of renames, else 0; 255 for a code that does not fit."""
    failed = [183 if ' was left by a run that was stopped: ' in line else int(m.group(1))
              for line in messages if (m := re.search(r"returned error (\d+)(?: for (?:path|"
                                                      r"argument) '.*')?$", line))
              or ' was left by a run that was stopped: ' in line]
    lost = [int(m.group(1)) for line in messages if (m := re.fullmatch(
        r'The renames cannot be listed: writing to standard output failed with error (\d+)',
        line))]
    return min(status or (failed or lost or [0])[-1], 255)


def race_faults(lines: List[str], c: str, touched: set) -> List[str]:
    """The messages of a run that raced with another process, judged: each must be one of the
    program's forms and name a path in a subtree of c (c spelled with its final separator) that
    the other process moved, deleted or re-created (as the walk spelled it: a moved one under
    its old name), or the listing of c, whose entries it changed; whatever code the race gave
    (Wine's server has answered 2, 3, 6 and 8). A message about any other subtree is a fault.
    The undo's message is Linux's alone."""
    sep = c[-1]
    forms = re.compile(r'MoveFile\("(.*)", "(.*)"\) returned error \d+|(?:FindFirstFile|'
                       r"FindNextFile|FindClose)\(\) returned error \d+ for path '(.*)'" +
                       (r"|'(.*)' is now named '(.*)': renaming it back failed with error \d+"
                        if sep == '/' else ''))
    inside = lambda p: p == c + '*' or p.startswith(c) and \
        p[len(c):].split(sep)[0].removesuffix(' moved') in touched
    return [f'unexpected message {line[:200]!r}' for line in lines
            if not (m := forms.fullmatch(line)) or
            not all(inside(p) for p in m.groups() if p is not None)]


def concurrent_outcome(row: Row, root: str, outcome: Outcome, log: List[str],
                       changes: dict) -> List[str]:
    sep = changes['spelled'][-1]
    lines = outcome.console.removesuffix('\n').split('\n') if outcome.console else []
    faults = race_faults(lines, changes['spelled'] + 'c' + sep, changes['touched'])
    before = {tree_line(text)[1].lower() for text in row.tree}
    after = {('c/' + p).lower() for p, _ in listing(os.path.join(root, 'c'))} | {'c'}
    wanted = (before - changes['removed']) | changes['created']
    if after != wanted:
        faults.append(f'names lost {sorted(wanted - after)[:5]}, '
                      f'gained {sorted(after - wanted)[:5]}')
    untouched = [p for p, _ in listing(os.path.join(root, 'c'))
                 if p.split('/')[0].split(' ')[0] not in changes['touched']
                 and re.search(r'/pair\d\d\.txt$', p, re.I)]
    top, pairs = CONCURRENT
    expected = (top - len(changes['touched'])) * pairs
    wrong = [p for p in untouched if not p.endswith('.TXT')]
    if len(untouched) != expected or wrong:
        faults.append(f'{len(untouched)} untouched pairs (expected {expected}), '
                      f'not renamed: {wrong[:5]}')
    if changes['ops'] < 3:
        faults.append(f'only {changes["ops"]} subtrees changed while the program ran')
    renamed = len(renames_in(log, row.name))
    messages = outcome.console.count('\n')
    codes = sorted({int(n) for n in re.findall(r'error (\d+)', outcome.console)})
    print(f'     concurrent: {changes["ops"]} subtrees changed during the run, '
          f'the volume renamed {renamed} entries, {messages} messages (codes {codes})')
    return faults


def expected_listing(row: Row) -> List[Tuple[str, str]]:
    """The row's tree as listing() should find it afterwards: each renamed entry spelled as its
    short name (given, or else its upper-case 8.3 form), in its own path and those below it."""
    entries = [tree_line(text) for text in row.tree]
    new = {path: short or os.path.basename(path).upper()
           for _, path, short, _, _ in entries if path in row.renamed}
    def spelled(path):
        parts = path.split('/')
        return '/'.join(new.get('/'.join(parts[:i + 1]), part) for i, part in enumerate(parts))
    kinds = {'d': 'dir', 'f': 'file', 'l': 'link'}
    return sorted((spelled(path), kinds[kind]) for kind, path, _, _, _ in entries)


class Volume:
    """vfatfs mounted on work/mnt, serving every row's tree, each in a directory of its own."""

    def __init__(self, binary: str, work: str, rows: List[Row]):
        self.mount = os.path.join(work, 'mnt')
        self.log_path = os.path.join(work, 'volume.log')
        tree = os.path.join(work, 'volume.tree')
        os.makedirs(self.mount, exist_ok=True)
        with open(tree, 'w') as f:
            for row in rows:
                f.write(f'd\t{row.name}\n')
                for text in row.tree:
                    kind, path, short, flags, target = tree_line(text)
                    f.write(f'{kind}\t{row.name}/{path}\t{short}\t{flags}\t{target}\n')
        open(self.log_path, 'w').close()
        self.process = subprocess.Popen([binary, self.mount, tree, self.log_path],
                                        stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while 'mounted' not in self.log():
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f'vfatfs did not mount {self.mount}')
            time.sleep(0.02)

    def log(self) -> List[str]:
        with open(self.log_path, encoding='utf-8', errors='replace') as f:
            return f.read().split('\n')

    def stop(self) -> None:
        """Ends the volume; it unmounts on SIGTERM, and a lazy unmount catches the rest."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if os.path.ismount(self.mount):
            subprocess.run(['umount', '-l', self.mount], check=False)


def unmount_stale(work: str) -> None:
    """Unmounts what an earlier run left mounted, also a volume whose process was killed,
    which no longer answers even the question whether it is a mount point."""
    mount = os.path.join(work, 'mnt')
    with open('/proc/self/mounts') as f:
        if any(line.split(' ')[1] == mount for line in f):
            subprocess.run(['umount', '-l', mount], check=False)


def run_volume(args) -> int:
    """Every row of volume_rows() on the volume: one start per row, and a second for rows that
    repeat; where 32-bit code is emulated, only the rows marked so, in as few starts as the
    current directories allow."""
    if not os.path.exists('/dev/fuse'):
        print('skipped: there is no /dev/fuse, so no volume with short names can be mounted')
        return SKIP
    if os.geteuid() != 0:
        print('skipped: mounting the volume without fusermount needs root')
        return SKIP
    wine = Wine(args.prefix)
    if not os.path.exists(os.path.join(wine.prefix, 'system.reg')):
        print(f'no Wine prefix in {wine.prefix}: run "runner.py setup" first', file=sys.stderr)
        return 1
    started = time.monotonic()
    # Under qemu a 32-bit caller's request arrives in the 64-bit form.
    qemu = args.image == 'i686' and not native_i386()
    emulated = qemu or args.as_emulated
    rows = [r for r in volume_rows() if (r.emulated or not emulated) and r.linux is not True
            and (not args.only or re.search(args.only, r.name))]
    work = os.path.abspath(args.work)
    unmount_stale(work)
    shutil.rmtree(work, ignore_errors=True)
    runs = os.path.join(work, 'runs')
    os.makedirs(runs)
    volume = Volume(args.vfatfs, work, rows)
    letters = {}
    dosdevices = os.path.join(wine.prefix, 'dosdevices')
    try:
        free = [c for c in 'efghijklmnopqrstuvwxy'
                if not os.path.lexists(os.path.join(dosdevices, c + ':'))]
        for row in (r for r in rows if r.drive):
            letters[row.name] = free.pop(0)
            os.symlink(os.path.join(volume.mount, row.name),
                       os.path.join(dosdevices, letters[row.name] + ':'))
        print(f'volume mounted in {time.monotonic() - started:.1f} s; ' +
              ('32-bit code runs emulated: the rows marked for it, combined' if emulated else
               f'{len(rows)} rows'))
        wine.start_server()
        checks, failures = run_rows(args, wine, volume, rows, letters, runs, emulated, qemu)
    finally:
        for letter in letters.values():
            os.unlink(os.path.join(dosdevices, letter + ':'))
        volume.stop()
    # The image must have asked in its own size: 268-byte entries from a native 32-bit caller.
    seen = sorted({line for line in volume.log() if line.startswith('ioctl\t')})
    wanted = ['ioctl\t268\tcompat'] if args.image == 'i686' and not qemu else ['ioctl\t280\tnative']
    print('short-name requests: ' + ', '.join(s.replace('\t', ' ')[6:] for s in seen))
    if seen != wanted:
        print(f'FAIL short-name requests {seen}, expected {wanted}')
        failures += 1
    print(f'{checks + 1 - failures} of {checks + 1} volume checks as expected, '
          f'in {time.monotonic() - started:.1f} s')
    return 1 if failures else 0


def run_linux(args) -> int:
    """The volume rows that Linux has (no drive letters, no \\\\?\\), and its own, run by the
    Linux build on vfatfs: its renames reach the volume in two steps each."""
    if not os.path.exists('/dev/fuse') or os.geteuid() != 0:
        print('skipped: mounting the volume needs /dev/fuse and root')
        return SKIP
    started = time.monotonic()
    rows = [r for r in volume_rows() if r.linux is not False
            and (not args.only or re.search(args.only, r.name))]
    work = os.path.abspath(args.work)
    unmount_stale(work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    volume = Volume(args.vfatfs, work, rows)
    try:
        checks, failures = run_rows(args, None, volume, rows, {}, work, False, False)
    finally:
        volume.stop()
    print(f'{checks - failures} of {checks} Linux volume checks as expected, '
          f'in {time.monotonic() - started:.1f} s')
    return 1 if failures else 0


def run_rows(args, wine: Optional[Wine], volume: Volume, rows: List[Row],
             letters: Dict[str, str], runs: str, emulated: bool, qemu: bool) -> Tuple[int, int]:
    """Runs the rows and prints a line for each run; returns how many runs were judged and
    how many of them failed. Without Wine, args.exe is the Linux build, which is given each
    row's command line as the words a shell would pass, with '/' for every backslash."""
    program = os.path.abspath(args.exe)
    linux = wine is None
    # Under qemu every 32-bit start costs about a minute, more with several at a time.
    slowest = 900 if qemu else 0

    def fill(row: Row, text: str) -> str:
        if linux:
            root = os.path.join(volume.mount, row.name)
            return text.replace('{R}', root).replace('{D}', root).replace('\\', '/')
        drive = letters.get(row.name, '?').upper() + ':'
        return text.replace('{R}', win(os.path.join(volume.mount, row.name))).replace('{D}', drive)

    def start(name: str, line: str, cwd: str, timeout: float) -> Outcome:
        if linux:
            started = time.monotonic()
            try:
                done = subprocess.run([program] + line.split(' ')[1:], cwd=cwd, timeout=timeout,
                                      stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE)
            except subprocess.TimeoutExpired:
                return Outcome(None, '', b'', timeout, True, 'timed out')
            return Outcome(done.returncode, done.stderr.decode('utf-8', 'replace'), done.stdout,
                           time.monotonic() - started, False, f'exit {done.returncode}')
        launcher = os.path.abspath(args.launcher)
        return launch_again(wine, launcher, runs, name, program, line, cwd, 'console', timeout)

    def judge_row(row: Row, outcome: Outcome, expected_output: str, renames: int,
                  changes: dict, wanted_renames: Optional[int] = None) -> List[str]:
        root = os.path.join(volume.mount, row.name)
        faults = []
        if outcome.timed_out:
            faults.append(f'no end within {row.timeout:.0f} s')
        status = linux_exit(row.exit, outcome.console.split('\n')) if linux else row.exit
        if outcome.exit != status:
            faults.append(f'exit status {outcome.exit} ({outcome.launcher}), expected {status}')
        if row.check:
            return faults + row.check(row, root, outcome, volume.log(), changes)
        got = outcome.console
        if row.any_order:
            got, expected_output = sorted(got.split('\n')), sorted(expected_output.split('\n'))
        if got != expected_output:
            faults.append(f'console text {outcome.console!r}, expected {expected_output!r}')
        listed = expected_text([fill(row, line) for line in row.listed])
        if linux and outcome.redirected.decode('utf-8', 'replace') != listed:
            faults.append(f'standard output {outcome.redirected!r}, expected {listed!r}')
        after = (None if linux else row.wine_after) or row.after or expected_listing(row)
        if listing(root) != after:
            faults.append(f'tree {listing(root)}, expected {after}')
        wanted = len(row.renamed) if wanted_renames is None else wanted_renames
        if renames != wanted:
            faults.append(f'the volume renamed {renames} entries, expected {wanted}')
        return faults

    def run(group: List[Row]) -> List[Tuple[Row, List[str], Outcome]]:
        row = group[0]
        if len(group) == 1:
            line, cwd = fill(row, row.line), fill(row, row.cwd) if row.cwd else None
            cwd = cwd or os.path.join(volume.mount, row.name)
            name, output = row.name, expected_text([fill(row, l) for l in row.output])
        else:  # one start: each row's argument, spelled from its own directory
            arguments = []
            for r in group:
                argument = r.line[len('prog '):]
                if not argument.startswith(('{', '\\')):
                    argument = '{R}\\' + argument
                arguments.append(fill(r, argument))
            line, cwd, name = 'prog ' + ' '.join(arguments), volume.mount, 'combined'
            output = expected_text([fill(r, l) for r in group for l in r.output])
        count = lambda: {r.name: len(renames_in(volume.log(), r.name)) for r in group}
        done = threading.Event()
        changes: dict = {'spelled': fill(row, '{R}\\')}  # the row's directory + separator
        helper = None
        if row.during:
            root = os.path.join(volume.mount, row.name)
            helper = threading.Thread(
                target=lambda: changes.update(row.during(row, root, volume.log_path, done)))
            helper.start()
        outcome = start(name, line, cwd, max([slowest] + [r.timeout for r in group]))
        done.set()
        if helper:
            helper.join()
        first = count()
        results = [(r, judge_row(r, outcome, output, first[r.name], changes), outcome)
                   for r in group]
        if row.repeat:
            again = start(name + '-again', line, cwd, max(slowest, row.timeout))
            renamed = count()[row.name] - first[row.name]
            faults = [f'second run: {f}'
                      for f in judge_row(row, again, output, renamed, changes, 0)]
            results.append((dataclasses.replace(row, name=row.name + '-again'), faults, again))
        return results

    if emulated:
        groups = [[r for r in rows if not r.cwd]] + [[r] for r in rows if r.cwd]
        groups = [g for g in groups if g]
    else:
        groups = [[r] for r in rows]
    checks = failures = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for results in pool.map(run, groups):
            for row, faults, outcome in results:
                checks += 1
                failures += bool(faults)
                print(f'{"FAIL" if faults else "ok":4} volume-{row.name} '
                      f'({outcome.seconds:.1f} s, exit {outcome.exit})')
                for fault in faults:
                    print(f'       {fault}')
                sys.stdout.flush()
    return checks, failures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('suite', choices=['setup', 'fast', 'slow', 'volume', 'linux'])
    parser.add_argument('--prefix', help='the Wine prefix directory')
    parser.add_argument('--exe', help='the shortcase.exe to run')
    parser.add_argument('--launcher', help='launcher.exe (x86-64)')
    parser.add_argument('--work', help='scratch directory for the trees (emptied first)')
    parser.add_argument('--jobs', type=int, default=1, help='runs at a time')
    parser.add_argument('--only', help='run only the cases whose name matches this regex')
    parser.add_argument('--timeout', type=float, default=900, help='prefix creation limit (s)')
    parser.add_argument('--vfatfs', help='the volume program, for the volume suite')
    parser.add_argument('--image', choices=['x86_64', 'i686'], default='x86_64',
                        help='which image --exe is, for the volume suite')
    parser.add_argument('--as-emulated', action='store_true',
                        help='run the volume suite as where 32-bit code is emulated')
    args = parser.parse_args()

    if args.suite == 'linux':
        if not (args.exe and args.vfatfs and args.work):
            parser.error('--exe, --vfatfs and --work are required for the linux suite')
        return run_linux(args)
    if not args.prefix:
        parser.error('--prefix is required')
    if args.suite == 'setup':
        seconds = Wine(args.prefix).create_prefix(args.timeout)
        print(f'Wine prefix {args.prefix}: ' +
              (f'created in {seconds:.0f} s' if seconds else 'present, reused'))
        return 0
    for option in ('exe', 'launcher', 'work') + (('vfatfs',) if args.suite == 'volume' else ()):
        if not getattr(args, option):
            parser.error(f'--{option} is required for the {args.suite} suite')
    for path in (args.exe, args.launcher):
        if not os.path.isfile(path):
            print(f'missing {path}', file=sys.stderr)
            return 1
    if args.suite == 'volume':
        return run_volume(args)
    if args.suite == 'fast':
        return run_suite(args, fast_cases, (50, 200))
    if native_i386():
        print('32-bit code runs natively: the full table on the real image too')
        return run_suite(args, lambda t: slow_cases(t) + fast_cases(t), (50, 200))
    print('32-bit code runs emulated: the real image runs its own five cases only')
    return run_suite(args, slow_cases, (10, 30))


if __name__ == '__main__':
    sys.exit(main())
