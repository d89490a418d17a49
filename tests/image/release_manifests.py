#!/usr/bin/env python3
"""What a release ships and the winget and Scoop manifests of it, one table. Each row runs either
`make release` in a copy of the build files (a stand-in image, an earlier run's manifests and
files of someone else's in its dist/) or tools/manifests.py on a small zip of its own, and must
give:
  manifests: the zip's SHA-256 and its address (the folder plus the zip's name) in every file,
    the version and identifier asked for, a member of the zip as the command, and the same bytes
    from a second run; through make, the hash in SHA256SUMS, the version's section of the
    changelog as the ReleaseNotes, and the earlier run's gone;
  no manifests: the one line saying so;
  refused: status 1 (make: not 0), one line naming the fault, nothing written.
Through make, the zip must also hold the manual as README.txt (every heading of README.md but
the builder's section, none of the builder's words, no name of a file it does not hold) and
CHANGELOG.md as CHANGELOG.txt, both in CRLF lines; and each Debian package its files, control
fields and the changelog in Debian's format. The row with the built binaries also runs lintian,
installs the amd64 package with apt-get (and removes it) and the arm64 binary under qemu.

release_manifests.py ROOT                 — every row
release_manifests.py ROOT --schemas DIR   — the rows that write manifests, each file validated
    against the official schemas in DIR; status 77 (skipped) where DIR does not exist.
"""
import calendar
import email.utils
import gzip
import hashlib
import io
import json
import os
import re
import shutil
import subprocess
import tarfile
import sys
import tempfile
import time
import zipfile

import yaml

ROOT = os.path.abspath(sys.argv[1])
SCHEMAS = sys.argv[3] if sys.argv[2:3] == ['--schemas'] else None
VERSION = open(os.path.join(ROOT, 'VERSION')).read().strip()
GENERATOR = os.path.join(ROOT, 'tools', 'manifests.py')
ADDRESS = 'https://example.org/shortcase/releases/download/v{version}'
FOLDER = 'https://example.org/shortcase'  # for the versions an address could not hold
P32 = 'p' * 32
# A changelog of the row's own instead of the checkout's: a newer version whose number begins
# with the one asked for lies above it, an older one below, and link definitions close the file.
CHANGELOG = 'CHANGELOG.md'
BUILT = 'the built binaries'  # a row with this key packs dist/shortcase and its aarch64 twin
MAINTAINER = 'The shortcase authors <shortcase@example.org>'
EPOCH = 1765000000
OWN_CHANGELOG = """# Changelog

## [Unreleased]

- Nothing yet.

## [0.9.10] - 2026-03-01

- Not the notes of 0.9.1.

## [0.9.1] - 2026-02-01

### Changed

- key: value # not a comment, "quoted", 'single', *star, &anchor, |pipe, {brace}: [list]
    - indented further, with a\ttab

### Fixed

- 0.9.0 renamed «café.txt» beside «CAFÉ.TXT».

## [0.9.0] - 2026-01-01

The first.

[0.9.1]: https://example.org/v0.9.1
[0.9.0]: https://example.org/v0.9.0
"""

WRITES, NONE = 'manifests', 'no manifests'
ROWS = [  # (case, via, version, variables, outcome, the one line: regex)
    ('make release with an address: an earlier run\'s manifests go, other files stay',
     'make', VERSION, {'SHORTCASE_RELEASE_URL': ADDRESS}, WRITES, None),
    ('make release without an address', 'make', VERSION, {}, NONE,
     r'no winget or Scoop manifests: SHORTCASE_RELEASE_URL is not set'),
    ('make release with an http address fails, dist/ as it was', 'make', VERSION,
     {'SHORTCASE_RELEASE_URL': 'http://example.org/v{version}'}, 1,
     r"SHORTCASE_RELEASE_URL must be an https:// address, not 'http://example.org/v"),
    ('make release of a version the changelog has no section for, only one it begins',
     'make', VERSION.rsplit('.', 1)[0], {'SHORTCASE_RELEASE_URL': ADDRESS}, 1,
     r"CHANGELOG\.md has no notes for version " + re.escape(VERSION.rsplit('.', 1)[0]) +
     r": a section headed '## \["),
    ('make release of a version between a newer and an older one', 'make', '0.9.1',
     {'SHORTCASE_RELEASE_URL': ADDRESS, CHANGELOG: OWN_CHANGELOG}, WRITES, None),
    ('make release of the oldest version, the link definitions below it', 'make', '0.9.0',
     {'SHORTCASE_RELEASE_URL': ADDRESS, CHANGELOG: OWN_CHANGELOG}, WRITES, None),
    ('make release of the built binaries: lintian, apt-get install and remove, qemu', 'make',
     VERSION, {BUILT: ''}, NONE, r'no winget or Scoop manifests'),
    ('make release with a maintainer without an address', 'make', VERSION,
     {'SHORTCASE_MAINTAINER': 'The shortcase authors'}, 1, r"the packages need a maintainer "
     r"'Name <address>' in SHORTCASE_MAINTAINER, not 'The shortcase authors'"),
    ('publisher of three parts, home page, folder with a slash, a version YAML reads as a number',
     'generator', '1.10', {'SHORTCASE_RELEASE_URL': 'https://dl.example.org/shortcase/{version}/',
                           'SHORTCASE_PUBLISHER': 'org.example.tools',
                           'SHORTCASE_HOMEPAGE': 'https://example.org/shortcase#download'},
     WRITES, None),
    ('identifier of 128 characters, parts of 32; version with + and _', 'generator',
     '2.0.0-rc_1+build.7', {'SHORTCASE_RELEASE_URL': ADDRESS,
                            'SHORTCASE_PUBLISHER': f'{P32}.{P32}.{P32}.{"p" * 19}'},
     WRITES, None),
    ('identifier of 8 parts', 'generator', '1.0.0',
     {'SHORTCASE_RELEASE_URL': ADDRESS, 'SHORTCASE_PUBLISHER': 'a.b.c.d.e.f.g'}, WRITES, None),
    ('address not https', 'generator', '1.0.0', {'SHORTCASE_RELEASE_URL': 'ftp://example.org/'},
     1, r"SHORTCASE_RELEASE_URL must be an https:// address, not 'ftp://example.org/'"),
    ('address without a host', 'generator', '1.0.0', {'SHORTCASE_RELEASE_URL': 'https:///v1'},
     1, r"SHORTCASE_RELEASE_URL must be an https:// address, not 'https:///v1'"),
    ('address with a space', 'generator', '1.0.0',
     {'SHORTCASE_RELEASE_URL': 'https://example.org/my files'}, 1,
     r"SHORTCASE_RELEASE_URL holds ' ', which the address of a folder here cannot: "
     r"'https://example.org/my files' \(percent-encode it\)"),
    ('address with a query', 'generator', '1.0.0',
     {'SHORTCASE_RELEASE_URL': 'https://example.org/get?v=1'}, 1,
     r"SHORTCASE_RELEASE_URL holds '\?', which the address of a folder here cannot"),
    ('address with a $, which Scoop reads as a variable', 'generator', '1.0.0',
     {'SHORTCASE_RELEASE_URL': 'https://example.org/$v'}, 1,
     r"SHORTCASE_RELEASE_URL holds '\$', which the address of a folder here cannot"),
    ('address too long for winget with the zip\'s name', 'generator', '1.0.0',
     {'SHORTCASE_RELEASE_URL': 'https://example.org/' + 'a' * 2003}, 1,
     r"SHORTCASE_RELEASE_URL with the zip's name is longer than the 2048 characters winget"),
    ('home page not https', 'generator', '1.0.0',
     {'SHORTCASE_RELEASE_URL': ADDRESS, 'SHORTCASE_HOMEPAGE': 'http://example.org/'}, 1,
     r"SHORTCASE_HOMEPAGE must be an https:// address, not 'http://example.org/'"),
    ('version with a slash, which winget refuses', 'generator', '1.0/2',
     {'SHORTCASE_RELEASE_URL': FOLDER}, 1,
     r"version '1\.0/2' is not one that both winget and Scoop accept"),
    ('version of 129 characters, too long for winget', 'generator', '1' * 129,
     {'SHORTCASE_RELEASE_URL': FOLDER}, 1, r"version '1{129}' is not one that both"),
    ('version with a space, which Scoop refuses', 'generator', '1.0 beta',
     {'SHORTCASE_RELEASE_URL': FOLDER}, 1, r"version '1\.0 beta' is not one that both"),
    ('version "..", which names no folder', 'generator', '..',
     {'SHORTCASE_RELEASE_URL': FOLDER}, 1, r"version '\.\.' is not one that both"),
    ('publisher with spaces', 'generator', '1.0.0',
     {'SHORTCASE_RELEASE_URL': ADDRESS, 'SHORTCASE_PUBLISHER': 'The shortcase authors'}, 1,
     r"SHORTCASE_PUBLISHER 'The shortcase authors' makes the winget identifier "
     r"'The shortcase authors\.shortcase', which winget refuses"),
    ('publisher part of 33 characters', 'generator', '1.0.0',
     {'SHORTCASE_RELEASE_URL': ADDRESS, 'SHORTCASE_PUBLISHER': 'p' * 33}, 1,
     r"SHORTCASE_PUBLISHER 'p{33}' makes the winget identifier"),
    ('identifier of 9 parts', 'generator', '1.0.0',
     {'SHORTCASE_RELEASE_URL': ADDRESS, 'SHORTCASE_PUBLISHER': 'a.b.c.d.e.f.g.h'}, 1,
     r"SHORTCASE_PUBLISHER 'a\.b\.c\.d\.e\.f\.g\.h' makes the winget identifier"),
    ('identifier of 129 characters', 'generator', '1.0.0',
     {'SHORTCASE_RELEASE_URL': ADDRESS, 'SHORTCASE_PUBLISHER': f'{P32}.{P32}.{P32}.{"p" * 20}'},
     1, r"SHORTCASE_PUBLISHER 'p{32}\.p{32}\.p{32}\.p{20}' makes the winget identifier"),
    ('publisher with an empty part', 'generator', '1.0.0',
     {'SHORTCASE_RELEASE_URL': ADDRESS, 'SHORTCASE_PUBLISHER': 'example.'}, 1,
     r"SHORTCASE_PUBLISHER 'example\.' makes the winget identifier"),
]

# An earlier run's manifests, for another publisher and version, beside files that are not ours.
EARLIER = {'winget/old.shortcase/0.9.0/old.shortcase.yaml': 'old',
           'winget/old.shortcase/0.9.0/old.shortcase.installer.yaml': 'old',
           'winget/old.shortcase/0.9.0/old.shortcase.locale.en-US.yaml': 'old',
           'winget/old.shortcase/0.9.0/notes.txt': 'not ours',
           'scoop/shortcase.json': '{}',
           'scoop/bucket.txt': 'not ours'}
FOREIGN = ['scoop/bucket.txt', 'winget/old.shortcase/0.9.0/notes.txt']
KINDS = {'': 'version', '.installer': 'installer', '.locale.en-US': 'defaultLocale'}


def tree(folder):
    found = {}
    for top, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(top, name)
            with open(path, 'rb') as f:
                found[os.path.relpath(path, folder)] = f.read()
    return found


def environment(variables, version):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith('SHORTCASE_') and k not in ('MAKEFLAGS', 'MFLAGS', 'MAKELEVEL')}
    env.update(SOURCE_DATE_EPOCH=str(EPOCH), SHORTCASE_MAINTAINER=MAINTAINER)
    env.update({k: v.format(version=version) for k, v in variables.items()
                if k.startswith('SHORTCASE_')})
    return env


def make_release(work, version, variables):
    """`make release` in a copy of what it reads, with a stand-in image already "built"; the
    outcome, and the dist/ it left."""
    copy = os.path.join(work, 'copy')
    if not os.path.isdir(copy):
        os.makedirs(os.path.join(copy, 'dist'))
        for name in ('Makefile', 'README.md', 'CHANGELOG.md', 'LICENSE'):
            shutil.copy(os.path.join(ROOT, name), copy)
        if CHANGELOG in variables:
            with open(os.path.join(copy, CHANGELOG), 'w') as f:
                f.write(variables[CHANGELOG])
        shutil.copytree(os.path.join(ROOT, 'tools'), os.path.join(copy, 'tools'))
        os.makedirs(os.path.join(copy, 'linux'))
        shutil.copy(os.path.join(ROOT, 'linux', 'shortcase.1'), os.path.join(copy, 'linux'))
        for arch, binary in BINARIES.items():
            os.makedirs(os.path.dirname(os.path.join(copy, binary)), exist_ok=True)
            if BUILT in variables:
                shutil.copy(os.path.join(ROOT, binary), os.path.join(copy, binary))
                continue
            with open(os.path.join(copy, binary), 'wb') as f:
                f.write(b'\x7fELF stand-in ' + arch.encode())
        with open(os.path.join(copy, 'VERSION'), 'w') as f:
            f.write(version + '\n')
        with open(os.path.join(copy, 'dist', 'shortcase.exe'), 'wb') as f:
            f.write(b'MZ stand-in image')
        for path, text in EARLIER.items():
            os.makedirs(os.path.dirname(os.path.join(copy, 'dist', path)), exist_ok=True)
            with open(os.path.join(copy, 'dist', path), 'w') as f:
                f.write(text)
    run = subprocess.run(['make', '-s', '-C', copy, '-o', 'deps', '-o', 'dist/shortcase.exe'] +
                         [option for binary in BINARIES.values() for option in ('-o', binary)] +
                         ['release'], env=environment(variables, version),
                         capture_output=True, text=True)
    return run, os.path.join(copy, 'dist'), os.path.join(copy, 'dist',
                                                        f'shortcase-{version}-win32.zip')


def generate(work, version, variables, out):
    """tools/manifests.py on a small zip holding a shortcase.exe."""
    zip_path = os.path.join(work, 'shortcase-' + version.replace('/', '_') + '-win32.zip')
    if not os.path.exists(zip_path):
        with zipfile.ZipFile(zip_path, 'w') as z:
            z.writestr(zipfile.ZipInfo('shortcase.exe', (2026, 1, 1, 0, 0, 0)), version)
    run = subprocess.run([sys.executable, GENERATOR, zip_path, version, out],
                         env=environment(variables, version), capture_output=True, text=True)
    return run, out, zip_path


def manifest_files(dist):
    return {path: data for path, data in tree(dist).items()
            if path.startswith(('winget/', 'scoop/')) and path not in FOREIGN}


def section(changelog, version):
    """The lines below VERSION's heading, up to the next heading or the link definitions."""
    found = re.search(r'^## \[' + re.escape(version) + r'\][^\n]*\n(.*?)'
                      r'(?=^## |^\[[^\n]*\]: |\Z)', changelog, re.M | re.S)
    return found.group(1).strip('\n') if found else None


# Words of the notes for those who build shortcase, which a user of the zip has no use for.
BUILDER_WORDS = ['Debian 12', 'make test', 'make release', 'Wine', 'FUSE', 'osslsigncode', 'CTest',
                 'valgrind', 'SHORTCASE_', 'docs/', '.md']


BINARIES = {'x86_64': 'dist/shortcase', 'aarch64': 'build/aarch64/shortcase'}


def check_tarballs(zip_path, copy, version):
    """Each Linux binary's tarball: the binary, the zip's manual and changelog with Linux line
    ends, the license and the man page, in a folder of its own name; listed in SHA256SUMS."""
    with zipfile.ZipFile(zip_path) as z:
        manual = z.read('README.txt').decode().replace('\r\n', '\n')
    with open(os.path.join(copy, 'dist', 'SHA256SUMS')) as f:
        sums = f.read().splitlines()
    for arch, binary in BINARIES.items():
        name = f'shortcase-{version}-linux-{arch}'
        path = os.path.join(copy, 'dist', name + '.tar.gz')
        with open(path, 'rb') as f:
            assert f'{hashlib.sha256(f.read()).hexdigest()}  {name}.tar.gz' in sums, sums
        with tarfile.open(path) as t:
            members = {m.name: m for m in t.getmembers()}
            files = {n: t.extractfile(m).read() for n, m in members.items() if m.isfile()}
        expected = {'': 0o755, '/shortcase': 0o755, '/README.md': 0o644, '/CHANGELOG.md': 0o644,
                    '/LICENSE': 0o644, '/shortcase.1': 0o644}
        assert {n: m.mode for n, m in members.items()} == \
            {name + k: mode for k, mode in expected.items()}, members
        assert all((m.uid, m.gid, m.uname) == (0, 0, '') for m in members.values()), members
        with open(os.path.join(copy, binary), 'rb') as f:
            assert files[name + '/shortcase'] == f.read()
        readme = files[name + '/README.md'].decode()
        assert '`LICENSE`' in readme and readme.replace('`LICENSE`', '`LICENSE.txt`') == manual
        for text in ('CHANGELOG.md', 'LICENSE', 'linux/shortcase.1'):
            with open(os.path.join(copy, text), 'rb') as f:
                assert files[name + '/' + os.path.basename(text)] == f.read(), text


DEBIAN = {'x86_64': 'amd64', 'aarch64': 'arm64'}
DOC, MAN = './usr/share/doc/shortcase/', './usr/share/man/man1/shortcase.1.gz'
PACKAGED = {'./usr/bin/shortcase': 0o755, MAN: 0o644, DOC + 'copyright': 0o644,
            DOC + 'changelog.gz': 0o644, './usr/share/lintian/overrides/shortcase': 0o644}


def out(*command, text=True):
    return subprocess.run(command, capture_output=True, text=text).stdout


def fields(stanza):  # of a Debian control stanza, continuation lines and all
    return dict(re.findall(r'^([^\s:]+): ?(.*(?:\n .*)*)', stanza, re.M))


def words(text):
    return [w.rstrip(':') for w in re.sub('^- ', '* ', text, flags=re.M).split()
            if w not in ('###', '.')]


def check_packages(copy, version, sums):
    """Each Debian package: listed in SHA256SUMS; its control fields; its files, owned by root,
    stamped with the commit's time; the binary and man page as built, the license as the
    copyright file; the changelog an entry per version from this one down."""
    with open(os.path.join(copy, CHANGELOG)) as f:
        changelog = f.read()
    versions = re.findall(r'^## \[([^]]*)\]', changelog, re.M)
    versions = versions[versions.index(version):]
    with open(os.path.join(copy, 'LICENSE')) as f:
        holder, text = re.search(r'^Copyright \(c\) (.*)\n\n((?s:.*))\n', f.read(), re.M).groups()
    for arch, binary in BINARIES.items():
        deb = os.path.join(copy, 'dist', f'shortcase_{version}_{DEBIAN[arch]}.deb')
        with open(deb, 'rb') as f:
            assert f'{hashlib.sha256(f.read()).hexdigest()}  {os.path.basename(deb)}' in sums
        data = out('dpkg-deb', '--fsys-tarfile', deb, text=False)
        with tarfile.open(fileobj=io.BytesIO(data)) as t:
            members = {m.name: m for m in t.getmembers()}
            files = {n: t.extractfile(m).read() for n, m in members.items() if m.isfile()}
        assert {n: m.mode for n, m in members.items() if n in files} == PACKAGED, members
        assert all((m.uid, m.gid, m.uname, m.gname, m.mtime) == (0, 0, 'root', 'root', EPOCH)
                   for m in members.values()), members
        control = fields(out('dpkg-deb', '-f', deb))
        description, size = control.pop('Description').split('\n '), control.pop('Installed-Size')
        assert control == {'Package': 'shortcase', 'Version': version, 'Maintainer': MAINTAINER,
                           'Architecture': DEBIAN[arch], 'Section': 'utils',
                           'Priority': 'optional'}, control
        assert len(description) in (3, 4) and 'short name' in ' '.join(description), description
        assert 0 <= int(size) - sum(map(len, files.values())) / 1024 <= len(members), size
        with open(os.path.join(copy, binary), 'rb') as f:
            assert files['./usr/bin/shortcase'] == f.read()
        with open(os.path.join(copy, 'linux', 'shortcase.1'), 'rb') as f:
            assert gzip.decompress(files[MAN]) == f.read()
        assert files[DOC + 'copyright'].decode().endswith(
            f'Copyright: {holder}\nLicense: Expat\n' + ''.join(f' {line or "."}\n'
                                                                for line in text.split('\n')))
        parsed = subprocess.run(['dpkg-parsechangelog', '-l', '-', '--all', '--format', 'rfc822'],
                                input=gzip.decompress(files[DOC + 'changelog.gz']).decode(),
                                capture_output=True, text=True)
        entries = [fields(e) for e in parsed.stdout.strip().split('\n\n')]
        assert not parsed.stderr and [e['Version'] for e in entries] == versions, parsed
        for number, (entry, v) in enumerate(zip(entries, versions)):
            day = re.search(r'^## \[' + re.escape(v) + r'\] - (\d{4}-\d\d-\d\d)$', changelog, re.M)
            when = calendar.timegm(time.strptime(day[1], '%Y-%m-%d')) if number and day else EPOCH
            assert (email.utils.parsedate_to_datetime(entry['Date']).timestamp(),
                    entry['Maintainer']) == (when, MAINTAINER), entry
            assert words(entry['Changes'])[4:] == words(section(changelog, v)), entry['Changes']


def check_installed(copy, version):
    """lintian on both packages, the arm64 binary under qemu, and the amd64 package installed
    with apt-get as a user would, then removed (also when a check fails)."""
    debs = [os.path.join(copy, 'dist', f'shortcase_{version}_{a}.deb') for a in DEBIAN.values()]
    lint = subprocess.run(['lintian', '--fail-on', 'error,warning'] + debs,
                          capture_output=True, text=True)
    assert lint.returncode == 0 and not re.search('^[EW]: ', lint.stdout, re.M), lint
    with tempfile.TemporaryDirectory() as unpacked:
        subprocess.run(['dpkg-deb', '-x', debs[1], unpacked], check=True)
        assert out('qemu-aarch64-static', unpacked + '/usr/bin/shortcase', '--version') == \
            f'shortcase {version}\n'
    query = ('dpkg-query', '-W', '-f', '${Status}', 'shortcase')
    assert not out(*query).endswith(' installed'), \
        'a shortcase package is installed here: remove it to let this row install its own'
    apt, start = ['apt-get', '-qq', '-y', '-o', 'DPkg::Lock::Timeout=300'], time.monotonic()
    try:
        subprocess.run(apt + ['install', debs[0]], capture_output=True, check=True)
        print(f'     apt-get install: {time.monotonic() - start:.1f} s')
        # By path: a shortcase from `make install` in /usr/local/bin would come first.
        assert out('/usr/bin/shortcase', '--version') == f'shortcase {version}\n'
        assert MAN[1:] in out('man', '-aw', 'shortcase').split()
        assert {name[1:] for name in PACKAGED} <= set(out('dpkg', '-L', 'shortcase').split())
    finally:
        start = time.monotonic()
        subprocess.run(apt + ['remove', 'shortcase'], capture_output=True, check=True)
        print(f'     apt-get remove: {time.monotonic() - start:.1f} s')
    assert not os.path.exists('/usr/bin/shortcase') and not out(*query).endswith(' installed')
    assert MAN[1:] not in out('man', '-aw', 'shortcase')


def check_zip(zip_path, copy):
    """The manual and the changelog as the zip ships them, against the files they come from."""
    with zipfile.ZipFile(zip_path) as z:
        members = z.namelist()
        texts = {name: z.read(name).decode() for name in members if name.endswith('.txt')}
    assert members == ['shortcase.exe', 'README.txt', 'CHANGELOG.txt', 'LICENSE.txt'], members
    for name, text in texts.items():
        assert text.endswith('\r\n') and text.count('\n') == text.count('\r\n'), name
    with open(os.path.join(copy, CHANGELOG)) as f:
        assert texts['CHANGELOG.txt'] == f.read().replace('\n', '\r\n')
    manual = texts['README.txt'].replace('\r\n', '\n')
    with open(os.path.join(copy, 'README.md')) as f:
        headings = re.findall(r'^#+ .*$', f.read(), re.M)
    assert '## Building from source' in headings, headings
    shipped = re.findall(r'^#+ .*$', manual, re.M)
    assert shipped == [h for h in headings if h != '## Building from source'], shipped
    said = [word for word in BUILDER_WORDS if word in manual]
    assert not said, said
    # Every file the manual names, in code or as a link, is one the zip holds.
    top = set(os.listdir(ROOT))
    named = re.findall(r'`([^`\n]+)`', manual) + re.findall(r'\]\(([^)]*)\)', manual)
    elsewhere = [name for name in named if name not in members
                 and (re.split(r'[/\\]', name)[0] in top or '://' in name)]
    assert not elsewhere, elsewhere


def check_manifests(files, zip_path, version, variables, sums, notes):
    """The fields a user's install depends on, against the zip itself."""
    env = environment(variables, version)
    identifier = env.get('SHORTCASE_PUBLISHER', 'shortcase') + '.shortcase'
    homepage = env.get('SHORTCASE_HOMEPAGE')
    with open(zip_path, 'rb') as f:
        sha256 = hashlib.sha256(f.read()).hexdigest()
    with zipfile.ZipFile(zip_path) as z:
        members = z.namelist()
    url = env['SHORTCASE_RELEASE_URL'].rstrip('/') + '/' + os.path.basename(zip_path)
    if sums is not None:
        assert f'{sha256}  {os.path.basename(zip_path)}' in sums.splitlines(), sums
    base = f'winget/{identifier}/{version}/{identifier}'
    expected = sorted([f'{base}{suffix}.yaml' for suffix in KINDS] + ['scoop/shortcase.json'])
    assert sorted(files) == expected, sorted(files)

    winget = {}
    for suffix, kind in KINDS.items():
        text = files[f'{base}{suffix}.yaml'].decode()
        first = text.split('\n', 1)[0]
        assert first == ('# yaml-language-server: $schema=https://aka.ms/winget-manifest.'
                         f'{kind}.1.10.0.schema.json'), first
        winget[kind] = doc = yaml.safe_load(text)
        assert (doc['PackageIdentifier'], doc['PackageVersion'], doc['ManifestType']) == \
            (identifier, version, kind), doc
    installer = winget['installer']
    assert installer['Installers'] == [{'Architecture': 'x86', 'InstallerUrl': url,
                                        'InstallerSha256': sha256.upper()}], installer
    assert (installer['InstallerType'], installer['NestedInstallerType']) == ('zip', 'portable')
    command = installer['NestedInstallerFiles']
    assert command == [{'RelativeFilePath': 'shortcase.exe', 'PortableCommandAlias': 'shortcase'}]
    assert command[0]['RelativeFilePath'] in members, members
    assert installer['Commands'] == ['shortcase'] and installer['MinimumOSVersion'] == '5.1.2600.0'
    locale = winget['defaultLocale']
    assert (locale['License'], locale['Moniker'], locale.get('PackageUrl')) == \
        ('MIT', 'shortcase', homepage), locale
    assert locale.get('ReleaseNotes') == notes, (locale.get('ReleaseNotes'), notes)
    with open(os.path.join(ROOT, 'LICENSE')) as f:
        assert f.readline().strip() == 'MIT License'

    scoop = json.loads(files['scoop/shortcase.json'])
    assert (scoop['version'], scoop['url'], scoop['hash'], scoop['license']) == \
        (version, url, sha256, 'MIT'), scoop
    assert scoop['bin'] in members, scoop
    assert scoop['homepage'] == (homepage or env['SHORTCASE_RELEASE_URL']), scoop
    # checkver finds this zip's name on the home page, and autoupdate makes its address again.
    found = re.search(scoop['checkver']['regex'], os.path.basename(zip_path))
    assert found and found.group(1) == version, scoop['checkver']
    assert scoop['checkver']['url'] == scoop['homepage'], scoop
    update = scoop['autoupdate']['url']
    assert update.endswith('/shortcase-$version-win32.zip') and \
        update.replace('$version', version) == url, update
    assert scoop['autoupdate']['hash'] == {'url': '$baseurl/SHA256SUMS'}, scoop


def check_schemas(files):
    import jsonschema  # only these rows need it
    schemas = {}
    for kind in KINDS.values():
        with open(os.path.join(SCHEMAS, 'winget-1.10.0', f'manifest.{kind}.1.10.0.json')) as f:
            schemas[kind] = json.load(f)
    with open(os.path.join(SCHEMAS, 'scoop', 'schema.json')) as f:
        schemas['scoop'] = json.load(f)
    for path, data in sorted(files.items()):
        text = data.decode()
        if path.startswith('scoop/'):
            schema, document = schemas['scoop'], json.loads(text)
        else:
            schema = schemas[next(kind for suffix, kind in KINDS.items()
                                  if path.endswith(f'.shortcase{suffix}.yaml'))]
            # The editor's schema line names the schema the file claims (aka.ms ignores case).
            first = text.split('\n', 1)[0]
            assert first.lower() == f'# yaml-language-server: $schema={schema["$id"]}'.lower(), \
                (first, schema['$id'])
            document = yaml.safe_load(text)
        jsonschema.Draft7Validator(schema, format_checker=jsonschema.FormatChecker()).validate(
            document)


def run_row(work, via, version, variables, outcome, line):
    if via == 'make':
        run, dist, zip_path = make_release(work, version, variables)
    else:
        run, dist, zip_path = generate(work, version, variables, os.path.join(work, 'out'))
    said = run.stderr if outcome == 1 else run.stdout
    if outcome == 1:
        assert run.returncode != 0 if via == 'make' else run.returncode == 1, run
        ours = [x for x in said.splitlines() if x.startswith(('manifests.py: ', 'release.sh: '))]
        assert len(ours) == 1 and re.match(r'(manifests\.py|release\.sh): ' + line, ours[0]), said
        if via == 'generator':
            assert said.count('\n') == 1 and not run.stdout, run
            assert not os.path.exists(dist), tree(dist)
        else:
            before = {path: text.encode() for path, text in EARLIER.items()}
            assert tree(dist) == dict(before, **{'shortcase.exe': b'MZ stand-in image',
                                                 'shortcase': b'\x7fELF stand-in x86_64'}), \
                sorted(tree(dist))
        return None
    assert run.returncode == 0, run
    files = manifest_files(dist)
    notes = None
    if via == 'make':
        check_zip(zip_path, os.path.dirname(dist))
        check_tarballs(zip_path, os.path.dirname(dist), version)
        with open(os.path.join(dist, 'SHA256SUMS')) as f:
            check_packages(os.path.dirname(dist), version, f.read())
        if BUILT in variables:
            check_installed(os.path.dirname(dist), version)
        with open(os.path.join(os.path.dirname(dist), CHANGELOG)) as f:
            notes = section(f.read(), version)
        # The earlier run's manifests went (none are left, or only this run's), someone
        # else's files stayed.
        left = tree(dist)
        assert all(left.get(p) == EARLIER[p].encode() for p in FOREIGN), sorted(left)
    if outcome == NONE:
        assert len(re.findall(line, said)) == 1 and not files, (said, sorted(files))
        return None
    if via == 'make':
        with open(os.path.join(dist, 'SHA256SUMS')) as f:
            sums = f.read()
        again, _, _ = make_release(work, version, variables)
        assert again.returncode == 0, again
    else:
        sums = None
        again, _, _ = generate(work, version, variables, os.path.join(work, 'again'))
        assert again.returncode == 0, again
    twice = manifest_files(dist if via == 'make' else os.path.join(work, 'again'))
    assert twice == files, 'a second run wrote other bytes'
    check_manifests(files, zip_path, version, variables, sums, notes)
    return files


def main():
    if SCHEMAS is not None and not os.path.isdir(SCHEMAS):
        print(f'SKIPPED: no schemas at {SCHEMAS} (a clone on its own); the rows that check '
              'against them did not run')
        return 77
    failed = 0
    for number, (case, via, version, variables, outcome, line) in enumerate(ROWS, 1):
        if SCHEMAS is not None and outcome != WRITES:
            continue
        work = tempfile.mkdtemp(prefix='shortcase-manifests-')
        try:
            files = run_row(work, via, version, variables, outcome, line)
            if SCHEMAS is not None:
                check_schemas(files)
            print(f'ok   {number:2} {case}')
        except Exception as e:  # noqa: BLE001 -- every row reports, then the run fails
            failed += 1
            text = str(e) if not isinstance(e, AssertionError) else repr(e.args)[:3000]
            print(f'FAIL {number:2} {case}: {type(e).__name__}: {text}')
        finally:
            shutil.rmtree(work)
    print(f'{failed} of {sum(SCHEMAS is None or r[4] == WRITES for r in ROWS)} rows failed'
          if failed else 'all rows pass')
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
