#!/usr/bin/env python3
"""Proves the image check can fail: relinks the image with one property broken at a time and
expects check_image.py to name exactly that property.

breakage.py ROOT — ROOT is the checkout with build/win (objects, import libraries) built.

Each case changes one thing: a linker flag dropped or changed, an object added or left out,
a resource script or manifest edited, or a byte of the finished image patched where the
linker offers no way to get it wrong. A relink with the build's own flags must pass first, so
that a case fails for its own change and for nothing else.
"""
import concurrent.futures
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'check_image.py')
ROOT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else '.')
WIN = os.path.join(ROOT, 'build/win')
WORK = tempfile.mkdtemp(prefix='shortcase-breakage-')


def run(*command, cwd=None):
    done = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f'{" ".join(command)} failed:\n{done.stdout}{done.stderr}')
    return done.stdout


def make_variable(name):
    return run('make', '-s', '--no-print-directory', '-C', ROOT, '--eval',
               'print-%: ; @echo $($*)', f'print-{name}').strip()


LDFLAGS = make_variable('LDFLAGS_WIN').split()
OBJECTS = [os.path.join(ROOT, o) for o in make_variable('OBJECTS').split()]
VERSION = open(os.path.join(ROOT, 'VERSION')).read().strip()
CXX = ['clang++', '--target=i686-pc-windows-msvc', '-ffreestanding', '-O2', '-c']


# --- building blocks of a variant -----------------------------------------------------------

def resources(rc_edit=None, manifest_edit=None, icon=None, version=VERSION):
    """A .res from a copy of resources/, edited."""
    folder = tempfile.mkdtemp(dir=WORK)
    for name in ('shortcase.rc', 'shortcase.manifest', 'shortcase.ico'):
        shutil.copy(os.path.join(ROOT, 'resources', name), folder)
    for name, edit in (('shortcase.rc', rc_edit), ('shortcase.manifest', manifest_edit)):
        if edit:
            path = os.path.join(folder, name)
            text = open(path).read()
            changed = edit(text)
            assert changed != text, f'edit of {name} changed nothing'
            open(path, 'w').write(changed)
    if icon:
        open(os.path.join(folder, 'shortcase.ico'), 'wb').write(icon)
    # The two macros the Makefile passes, substituted here: the preprocessor is a clang start
    # per case, and the script uses nothing else from it.
    rc = os.path.join(folder, 'shortcase.rc')
    text = open(rc).read().replace('VERSION_COMMA', version.replace('.', ',') + ',0')
    open(rc, 'w').write(text.replace('VERSION_TEXT', f'"{version}"'))
    out = os.path.join(folder, 'shortcase.res')
    run('llvm-rc', '/nologo', '/no-preprocess', '/fo', out, rc)
    return out


def compile_object(source):
    folder = tempfile.mkdtemp(dir=WORK)
    path = os.path.join(folder, 'extra.cpp')
    open(path, 'w').write(source)
    run(*CXX, path, '-o', os.path.join(folder, 'extra.obj'))
    return os.path.join(folder, 'extra.obj')


def import_library(dll, extra_function):
    """kernel32.lib (or user32.lib) with one more export, so an extra import can be linked."""
    folder = tempfile.mkdtemp(dir=WORK)
    lines = open(os.path.join(ROOT, 'win32', dll + '.def')).read().splitlines() + [extra_function]
    open(os.path.join(folder, dll + '.def'), 'w').write('\n'.join(lines) + '\n')
    run('llvm-dlltool', '-m', 'i386', '-k', '-d', os.path.join(folder, dll + '.def'),
        '-l', os.path.join(folder, dll + '.lib'))
    return os.path.join(folder, dll + '.lib')


_linked = {}


def link(drop=(), add=(), objects=None, extra=(), res=None, kernel32=None):
    """The image linked with the build's flags, less DROP (prefixes) and plus ADD. Cases that
    only patch or sign an image share the link; every consumer copies it before changing it."""
    key = repr((drop, add, objects, extra, res, kernel32))
    if key not in _linked:
        _linked[key] = _link(drop, add, objects, extra, res, kernel32)
    return _linked[key]


def _link(drop, add, objects, extra, res, kernel32):
    flags = [f for f in LDFLAGS if not any(f.lower().startswith(d) for d in drop)] + list(add)
    out = os.path.join(tempfile.mkdtemp(dir=WORK), 'shortcase.exe')
    run('lld-link', *flags, f'/out:{out}', *(objects or OBJECTS), *extra,
        kernel32 or os.path.join(WIN, 'kernel32.lib'), os.path.join(WIN, 'user32.lib'),
        res or os.path.join(WIN, 'shortcase.res'))
    return out


def patched(image, where, new):
    """A copy of IMAGE with bytes replaced at the offset where(image bytes) returns; NEW is
    the bytes, or a function of the image and that offset that makes them."""
    data = bytearray(open(image, 'rb').read())
    offset = where(bytes(data))
    if callable(new):
        new = new(bytes(data), offset)
    data[offset:offset + len(new)] = new
    out = os.path.join(tempfile.mkdtemp(dir=WORK), 'shortcase.exe')
    open(out, 'wb').write(data)
    return out


def pe(data):
    return struct.unpack_from('<I', data, 0x3C)[0]


def file_offset(data, rva):
    """Where RVA lies in the file, through the section table."""
    header = pe(data)
    count, size = struct.unpack_from('<H', data, header + 6)[0], struct.unpack_from('<H', data, header + 20)[0]
    for i in range(count):
        vsize, va, _, raw = struct.unpack_from('<IIII', data, header + 24 + size + 40 * i + 8)
        if va <= rva < va + vsize:
            return raw + rva - va
    raise ValueError(f'RVA {rva:#x} in no section')


def directory(data, index):
    return struct.unpack_from('<I', data, pe(data) + 24 + 96 + 8 * index)[0]


def load_config_offset(data):
    return file_offset(data, directory(data, 10))


def resource_offset(data, type_id):
    """File offset of the first resource of TYPE_ID: type, name and language levels down."""
    base = file_offset(data, directory(data, 2))
    table, wanted = base, type_id
    for _ in range(3):
        named, ids = struct.unpack_from('<HH', data, table + 12)
        entries = [struct.unpack_from('<II', data, table + 16 + 8 * i) for i in range(named + ids)]
        target = next(t for key, t in entries if wanted is None or key == wanted)
        table, wanted = base + (target & 0x7FFFFFFF), None
    return file_offset(data, struct.unpack_from('<I', data, table)[0])


def sign(image, digests=('sha1', 'sha256'), unrelated=()):
    """IMAGE signed once per digest, each signature after the first nested in the primary, by
    the build's throwaway signer or, for the indexes in UNRELATED, by a fresh unrelated one."""
    folder = tempfile.mkdtemp(dir=WORK)
    other = os.path.join(folder, 'other')
    if unrelated:
        run('openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '1',
            '-subj', '/CN=unrelated signer', '-addext', 'extendedKeyUsage=codeSigning',
            '-keyout', other + '.key', '-out', other + '.pem')
    for i, digest in enumerate(digests):
        signer = other if i in unrelated else os.path.join(ROOT, 'build/sign/signer')
        out = os.path.join(folder, f'signed{i}.exe')
        run('osslsigncode', 'sign', *(['-nest'] if i else []), '-certs', signer + '.pem',
            '-key', signer + '.key', '-h', digest, '-n', 'shortcase', '-in', image, '-out', out)
        image = out
    return image


def tiny_icon(png=False, size=16, bits=4):
    """An .ico of one blank image: a bitmap of the given size and depth, or a PNG stub."""
    if png:
        body = b'\x89PNG\r\n\x1a\n' + b'\0' * 60
    else:
        row = (size * bits + 31) // 32 * 4
        mask = (size + 31) // 32 * 4
        palette = 4 << bits if bits <= 8 else 0
        body = struct.pack('<IiiHHIIiiII', 40, size, 2 * size, 1, bits, 0, 0, 0, 0, 0, 0)
        body += b'\0' * (palette + row * size + mask * size)
    header = struct.pack('<HHH', 0, 1, 1)
    entry = struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, 1, bits, len(body), 22)
    return header + entry + body


# --- the cases: (what is broken, how to build it, text the check must fail on) ---------------

def manifest_sub(old, new):
    return lambda text: text.replace(old, new)


CA = os.path.join(ROOT, 'build/sign/ca.pem')
CASES = [
    ('not large-address-aware', lambda: link(drop=['/largeaddressaware']), 'large-address-aware'),
    ('no ASLR', lambda: link(drop=['/dynamicbase'], add=['/dynamicbase:no']), 'DYNAMIC_BASE'),
    ('no NX', lambda: link(drop=['/nxcompat'], add=['/nxcompat:no']), 'NX_COMPAT'),
    ('not terminal-server aware', lambda: link(drop=['/tsaware'], add=['/tsaware:no']),
     'TERMINAL_SERVER_AWARE'),
    ('swap only from CD', lambda: link(drop=['/swaprun'], add=['/swaprun:cd']), 'off the network'),
    ('swap only from network', lambda: link(drop=['/swaprun'], add=['/swaprun:net']),
     'off removable media'),
    ('relocations stripped', lambda: link(drop=['/dynamicbase'], add=['/fixed']),
     'relocations kept'),
    ('no base relocation directory', lambda: link(drop=['/dynamicbase'], add=['/fixed']),
     'base relocation directory present'),
    ('no .reloc section', lambda: link(drop=['/dynamicbase'], add=['/fixed']), '.reloc section'),
    ('SEH allowed', lambda: link(add=['/safeseh:no']), 'NO_SEH'),
    ('stack reserve 2 MiB', lambda: link(drop=['/stack'], add=['/stack:0x200000,0x20000']),
     'stack reserve'),
    ('stack commit default', lambda: link(drop=['/stack'], add=['/stack:0x100000']), 'stack commit'),
    ('subsystem version 6.0', lambda: link(drop=['/subsystem'], add=['/subsystem:console,6.0']),
     'subsystem version'),
    ('GUI subsystem', lambda: link(drop=['/subsystem'], add=['/subsystem:windows,5.01']),
     'console subsystem'),
    ('OS version 5.1', lambda: link(drop=['/osversion']), 'operating system version'),
    ('machine not i386', lambda: patched(link(), lambda d: pe(d) + 4, struct.pack('<H', 0x1C4)),
     'machine i386'),
    ('32-bit flag cleared', lambda: patched(link(), lambda d: pe(d) + 22,
                                            struct.pack('<H', 0x0D22 & ~0x100)), '32-bit machine'),
    ('TLS directory', lambda: link(extra=[compile_object(
        'extern "C" int _tls_index;\n'
        'extern "C" const unsigned _tls_used[6] = {0, 0, (unsigned)&_tls_index, 0, 0, 0};\n'
        'extern "C" int _tls_index = 0;\n')], add=['/include:__tls_used']), 'no TLS directory'),
    ('extra kernel32 import and entry through a shim', lambda: link(
        extra=[compile_object(
            'extern "C" __declspec(dllimport) void __stdcall Sleep(unsigned long);\n'
            'extern "C" void __stdcall EntryPoint();\n'
            'extern "C" void __stdcall Shim() { Sleep(0); EntryPoint(); }\n')],
        kernel32=import_library('kernel32', 'Sleep@4'),
        drop=['/entry'], add=['/entry:Shim']), 'kernel32.dll imports exactly'),
    ('entry point not EntryPoint', lambda: link(
        extra=[compile_object('extern "C" void __stdcall EntryPoint();\n'
                              'extern "C" void __stdcall Shim() { EntryPoint(); }\n')],
        drop=['/entry'], add=['/entry:Shim']), 'entry point is EntryPoint'),
    ('a third DLL', lambda: link(extra=[compile_object(
        'extern "C" __declspec(dllimport) int __stdcall Beep(unsigned long, unsigned long);\n'
        'extern "C" void __stdcall EntryPoint();\n'
        'extern "C" void __stdcall Shim() { Beep(0, 0); EntryPoint(); }\n'), _other_dll()],
        drop=['/entry'], add=['/entry:Shim']), 'imported DLLs exactly'),
    ('an import missing', lambda: patched(link(), lambda d: d.index(b'lstrcmpiW\0'), b'lstrcmpiA'),
     'kernel32.dll imports exactly'),
    ('delay-loaded user32', lambda: link(extra=[compile_object(
        'extern "C" void* __stdcall __delayLoadHelper2(const void*, void*) { return 0; }\n')],
        add=['/delayload:user32.dll']), 'no delay-load imports'),
    ('load configuration directory of 72 bytes', lambda: patched(
        link(), lambda d: pe(d) + 24 + 96 + 8 * 10 + 4, struct.pack('<I', 72)),
     'load configuration directory size'),
    ('no entry point', lambda: patched(link(), lambda d: pe(d) + 24 + 16, b'\0\0\0\0'),
     'entry point set'),
    ('entry point in data', lambda: patched(
        link(), lambda d: pe(d) + 24 + 16, lambda d, at: struct.pack('<I', directory(d, 10))),
     'entry point in an executable section'),
    ('no load configuration', lambda: link(objects=[o for o in OBJECTS if 'loadconfig' not in o]),
     'load configuration present'),
    ('DependentLoadFlags 0', lambda: patched(link(), lambda d: load_config_offset(d) + 0x36, b'\0\0'),
     'DependentLoadFlags'),
    ('load configuration of 72 bytes', lambda: patched(
        link(), load_config_offset, struct.pack('<I', 72)), 'load configuration Size field'),
    ('no manifest', lambda: link(res=resources(rc_edit=lambda t: t.replace('1 24 "shortcase.manifest"\n', ''))),
     'manifest resource'),
    ('requireAdministrator', lambda: link(res=resources(
        manifest_edit=manifest_sub('asInvoker', 'requireAdministrator'))), 'asInvoker'),
    ('uiAccess true', lambda: link(res=resources(
        manifest_edit=manifest_sub('uiAccess="false"', 'uiAccess="true"'))), 'asInvoker'),
    ('trustInfo in asm.v1', lambda: link(res=resources(manifest_edit=manifest_sub(
        '<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">', '<trustInfo>'))), 'asInvoker'),
    ('no longPathAware', lambda: link(res=resources(
        manifest_edit=manifest_sub('>true</longPathAware>', '>false</longPathAware>'))),
     'longPathAware'),
    ('longPathAware in the 2020 namespace', lambda: link(res=resources(manifest_edit=manifest_sub(
        '<longPathAware xmlns="http://schemas.microsoft.com/SMI/2016/',
        '<longPathAware xmlns="http://schemas.microsoft.com/SMI/2020/'))), 'longPathAware'),
    ('heapType NT', lambda: link(res=resources(
        manifest_edit=manifest_sub('SegmentHeap', 'NtHeap'))), 'heapType'),
    ('https namespace', lambda: link(res=resources(manifest_edit=manifest_sub(
        'http://schemas.microsoft.com/SMI/2020', 'https://schemas.microsoft.com/SMI/2020'))),
     'https'),
    ('Windows 8.1 dropped', lambda: link(res=resources(manifest_edit=lambda t: re.sub(
        r'\s*<supportedOS Id="\{1f676c76[^>]*>', '', t))), 'supportedOS Windows 8.1'),
    ('an unknown supportedOS', lambda: link(res=resources(manifest_edit=manifest_sub(
        '{e2011457-1546-43c5-a5fe-008deee3d3f0}', '{e2011457-1546-43c5-a5fe-008deee3d3f1}'))),
     'unknown supportedOS'),
    ('manifest not XML', lambda: link(res=resources(manifest_edit=manifest_sub('</assembly>', ''))),
     'well-formed XML'),
    ('manifest root not asm.v1', lambda: link(res=resources(manifest_edit=manifest_sub(
        'manifestVersion="1.0"', 'manifestVersion="2.0"'))), 'manifest root'),
    ('no version resource', lambda: link(res=resources(
        rc_edit=lambda t: t[:t.index('1 VERSIONINFO')])), 'version resource (RT_VERSION'),
    ('version not VERSION', lambda: link(res=resources(version='1.0.1')), 'is ' + VERSION),
    ('no ProductName', lambda: link(res=resources(
        rc_edit=lambda t: re.sub(r'\s*VALUE "ProductName".*', '', t))), 'ProductName'),
    ('empty LegalCopyright', lambda: link(res=resources(
        rc_edit=lambda t: re.sub(r'"LegalCopyright", ".*"', '"LegalCopyright", ""', t))),
     'LegalCopyright'),
    ('copyright not the LICENSE\'s', lambda: link(res=resources(
        rc_edit=lambda t: t.replace('The shortcase authors', 'the shortcase developers'))),
     'LegalCopyright is the LICENSE'),
    ('no FileDescription', lambda: link(res=resources(
        rc_edit=lambda t: re.sub(r'\s*VALUE "FileDescription".*', '', t))), 'FileDescription'),
    ('FileVersion string differs', lambda: link(res=resources(
        rc_edit=lambda t: t.replace('"FileVersion", VERSION_TEXT', '"FileVersion", "0.9"'))),
     'FileVersion string'),
    ('a DLL, not an application', lambda: link(res=resources(
        rc_edit=lambda t: t.replace('FILETYPE 1', 'FILETYPE 2'))), 'FILETYPE'),
    ('fixed info signature broken', lambda: patched(
        link(), lambda d: d.index(struct.pack('<I', 0xFEEF04BD)), b'\0\0\0\0'),
     'fixed file info signature'),
    ('version key misspelt', lambda: patched(
        link(), lambda d: d.index('VS_VERSION_INFO'.encode('utf-16-le')), 'VS_VERSION_INFX'.encode('utf-16-le')),
     'VS_VERSION_INFO'),
    ('no icon', lambda: link(res=resources(rc_edit=lambda t: t.replace('1 ICON "shortcase.ico"\n', ''))),
     'icon images (RT_ICON)'),
    ('PNG icon', lambda: link(res=resources(icon=tiny_icon(png=True))), 'is a bitmap'),
    ('only a 32x32 icon', lambda: link(res=resources(icon=tiny_icon(size=32))), 'a 16x16 image'),
    ('icon group names a missing image', lambda: patched(
        link(), lambda d: resource_offset(d, 14) + 6 + 12, struct.pack('<H', 7)),
     '(RT_ICON 7) present'),
    ('icon group of cursors', lambda: patched(link(), lambda d: resource_offset(d, 14) + 2, b'\2\0'),
     'icon group 1 header'),
    ('icon group entry size wrong', lambda: patched(
        link(), lambda d: resource_offset(d, 14) + 6 + 8,
        lambda d, at: struct.pack('<I', struct.unpack_from('<I', d, at)[0] + 1)),
     'size matches its group entry'),
    ('image of 16 KiB or more', lambda: link(res=resources(icon=tiny_icon(size=48, bits=32))),
     'unsigned image under'),
]


def _other_dll():
    folder = tempfile.mkdtemp(dir=WORK)
    open(os.path.join(folder, 'other.def'), 'w').write('LIBRARY other.dll\nEXPORTS\nBeep@8\n')
    run('llvm-dlltool', '-m', 'i386', '-k', '-d', os.path.join(folder, 'other.def'),
        '-l', os.path.join(folder, 'other.lib'))
    return os.path.join(folder, 'other.lib')


SIGNED_CASES = [
    # (what is broken, signed image, unsigned image it claims to come from, expected failure)
    ('not signed', lambda: (link(), link()), 'Authenticode signature present'),
    ('signed by an unrelated certificate', lambda: (sign(link(), unrelated={0, 1}), link()),
     'signature 1 (SHA1) verifies'),
    ('nested signature by an unrelated certificate', lambda: (sign(link(), unrelated={1}), link()),
     'signature 2 (SHA256) verifies'),
    ('SHA-256 alone', lambda: (sign(link(), digests=['sha256']), link()), 'SHA-1 primary'),
    ('SHA-256 primary, SHA-1 nested', lambda: (sign(link(), digests=['sha256', 'sha1']), link()),
     'SHA-1 primary'),
    ('signed image of an older build', lambda: (sign(link()), link(add=['/stack:0x100000,0x30000'])),
     'plus a signature'),
]


def checked(image, *options):
    done = subprocess.run([sys.executable, CHECK, image, '--version-file', os.path.join(ROOT, 'VERSION'),
                           '--license', os.path.join(ROOT, 'LICENSE'),
                           '--objects', WIN, *options], capture_output=True, text=True)
    return done.returncode, done.stdout + done.stderr


def main():
    try:
        return run_cases()
    finally:
        shutil.rmtree(WORK, ignore_errors=True)


def run_cases():
    bad = 0
    baseline = link()
    status, out = checked(baseline)
    print(f'{"ok" if status == 0 else "FAIL":5} relink with the build\'s own flags passes')
    if status != 0:
        print(out)
        return 1
    if os.path.exists(CA):
        status, out = checked(sign(baseline), '--signed', '--ca', CA, '--unsigned', baseline)
        print(f'{"ok" if status == 0 else "FAIL":5} and signed, passes with the signature checks')
        if status != 0:
            print(out)
            return 1
    cases = [(name, lambda build=build: checked(build()), expected) for name, build, expected in CASES]
    if os.path.exists(CA):
        for name, build, expected in SIGNED_CASES:
            def signed_check(build=build):
                signed, unsigned = build()
                return checked(signed, '--signed', '--ca', CA, '--unsigned', unsigned)
            cases.append((name, signed_check, expected))
    else:
        print(f'skip  signature breakages: no throwaway CA at {CA}')
    # Each case links and checks in its own temporary folder, so they can run side by side.
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        results = list(pool.map(lambda case: case[1](), cases))
    for (name, _, expected), (status, out) in zip(cases, results):
        failed = [line[6:] for line in out.splitlines() if line.startswith('FAIL')]
        caught = status == 1 and any(expected in line for line in failed)
        if caught:
            print(f'ok    {name}: ' + (failed[0] if len(failed) == 1 else
                                       f'{len(failed)} failed, among them "{expected}"'))
        else:
            print(f'FAIL  {name}: not caught as "{expected}"\n{out}')
            bad += 1
    print(f'{len(cases) - bad} of {len(cases)} breakages caught')
    return 1 if bad else 0


if __name__ == '__main__':
    sys.exit(main())
