#!/usr/bin/env python3
"""Reads a built shortcase.exe back and checks every property the Windows image must keep.

check_image.py IMAGE [--unsigned EXE] [--signed] [--timestamped] [--ca PEM] [--version-file FILE]
               [--license FILE] [--objects DIR]

Headers, imports, load configuration and the resource tree come from llvm-readobj; the
signature from osslsigncode. Every property checked is printed; a failed one is printed with
what was expected and what was found, the remaining checks still run, and the exit status is 1.
"""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

KERNEL32 = {'CloseHandle', 'ExitProcess', 'FindClose', 'FindFirstFileW', 'FindNextFileW',
            'GetCommandLineW', 'GetLastError', 'GetStdHandle', 'LocalAlloc', 'LocalFree',
            'MoveFileW', 'SetLastError', 'WriteConsoleW', 'lstrcmpiW'}
USER32 = {'wvsprintfW'}

SUPPORTED_OS = {  # compatibility.v1 ids, in the order Windows introduced them
    'Vista': '{e2011457-1546-43c5-a5fe-008deee3d3f0}',
    '7': '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}',
    '8': '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}',
    '8.1': '{1f676c76-80e1-4239-95bb-83d0f6d0da78}',
    '10': '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}',
}
ASM_V1 = 'urn:schemas-microsoft-com:asm.v1'
ASM_V3 = 'urn:schemas-microsoft-com:asm.v3'
COMPAT = 'urn:schemas-microsoft-com:compatibility.v1'
SMI2016 = 'http://schemas.microsoft.com/SMI/2016/WindowsSettings'
SMI2020 = 'http://schemas.microsoft.com/SMI/2020/WindowsSettings'

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
UNSIGNED_LIMIT = 16 * 1024  # the image is meant to stay tiny; growth past this is a regression

failures = []


def check(name, ok, expected=None, found=None):
    """Prints one verified property, or records it as failed with what differed."""
    if ok:
        print(f'ok    {name}')
    else:
        detail = '' if expected is None else f': expected {expected}, found {found}'
        print(f'FAIL  {name}{detail}')
        failures.append(name)
    return ok


def guarded(name, function, *args):
    """Runs one group of checks; a structure too broken to read fails the group, not the run."""
    try:
        return function(*args)
    except (KeyError, ValueError, IndexError, AttributeError, TypeError, struct.error) as e:
        check(f'{name} readable', False, 'a well-formed structure', f'{type(e).__name__}: {e}')
        return None


# --- llvm-readobj's indented output as a tree ------------------------------------------------

class Node:
    def __init__(self, name, value=''):
        self.name, self.value, self.fields, self.items, self.children = name, value, {}, [], []

    def child(self, name):
        return next((c for c in self.children if c.name == name), None)

    def all(self, name):
        return [c for c in self.children if c.name == name]


def parse_readobj(text):
    """Nests `Name {`, `Name [`, `Name (` blocks; `Key: value` lines become fields and bare
    lines (flag names, hex dump rows) items of the enclosing block."""
    root = Node('root')
    stack = [root]
    for raw in text.splitlines():
        line = raw.strip()
        if not line:
            continue
        if line in ('}', ']', ')'):
            if len(stack) > 1:
                stack.pop()
            continue
        m = re.match(r'^(.*?)\s*([{\[(])\s*(\(0x[0-9A-Fa-f]+\))?$', line)
        if m and not re.match(r'^[0-9A-F]+: ', line):
            head = m.group(1)
            name, _, value = head.partition(':')
            node = Node(name.strip(), (value.strip() + ' ' + (m.group(3) or '')).strip())
            stack[-1].children.append(node)
            stack.append(node)
            continue
        key, sep, value = line.partition(': ')
        if sep and not re.match(r'^[0-9A-F]+$', key):
            stack[-1].fields.setdefault(key, value)
            stack[-1].fields.setdefault(key + '[]', []).append(value)
        else:
            stack[-1].items.append(line)
    return root


def readobj(path, *options):
    run = subprocess.run(['llvm-readobj', *options, path], capture_output=True, text=True)
    check(f'llvm-readobj reads {os.path.basename(path)}', run.returncode == 0, 'success', run.stderr.strip())
    return parse_readobj(run.stdout)


def number(text):
    """The number in a readobj value: `0x1000`, `4096`, or `NAME (0x14C)`."""
    m = re.search(r'\(0x([0-9A-Fa-f]+)\)\s*$', text)
    if m:
        return int(m.group(1), 16)
    return int(text.split()[0], 0)


def flags(block):
    """The names listed in a readobj `Characteristics [ (0x...)` block."""
    return {item.split()[0] for item in block.items} if block else set()


# --- the checks ------------------------------------------------------------------------------

def check_headers(tree):
    header = tree.child('ImageFileHeader')
    optional = tree.child('ImageOptionalHeader')
    if not check('PE headers readable', header is not None and optional is not None):
        return None
    f, o = header.fields, dict(optional.fields)
    if optional.child('DataDirectory'):
        o.update(optional.child('DataDirectory').fields)
        optional.fields = o
    check('machine i386', number(f['Machine']) == 0x14C, '0x14C', f['Machine'])
    file_flags = flags(header.child('Characteristics'))
    dll_flags = flags(optional.child('Characteristics'))
    check('operating system version 5.0',
          (o['MajorOperatingSystemVersion'], o['MinorOperatingSystemVersion']) == ('5', '0'),
          '5.0', o['MajorOperatingSystemVersion'] + '.' + o['MinorOperatingSystemVersion'])
    check('console subsystem (CUI)', number(o['Subsystem']) == 3, 'WINDOWS_CUI (3)', o['Subsystem'])
    check('subsystem version 5.01',
          (o['MajorSubsystemVersion'], o['MinorSubsystemVersion']) == ('5', '1'),
          '5.1', o['MajorSubsystemVersion'] + '.' + o['MinorSubsystemVersion'])
    for flag, label in (('IMAGE_FILE_LARGE_ADDRESS_AWARE', 'large-address-aware'),
                        ('IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP', 'runs from swap off removable media'),
                        ('IMAGE_FILE_NET_RUN_FROM_SWAP', 'runs from swap off the network'),
                        ('IMAGE_FILE_32BIT_MACHINE', '32-bit machine flag')):
        check(label, flag in file_flags, flag, sorted(file_flags))
    check('relocations kept (no RELOCS_STRIPPED)', 'IMAGE_FILE_RELOCS_STRIPPED' not in file_flags,
          'no IMAGE_FILE_RELOCS_STRIPPED', sorted(file_flags))
    reloc = number(o.get('BaseRelocationTableRVA', '0')), number(o.get('BaseRelocationTableSize', '0'))
    check('base relocation directory present', reloc[0] != 0 and reloc[1] != 0,
          'nonzero RVA and size', f'{reloc[0]:#x}, {reloc[1]:#x}')
    for flag, label in (('IMAGE_DLL_CHARACTERISTICS_DYNAMIC_BASE', 'DYNAMIC_BASE (ASLR)'),
                        ('IMAGE_DLL_CHARACTERISTICS_NX_COMPAT', 'NX_COMPAT'),
                        ('IMAGE_DLL_CHARACTERISTICS_TERMINAL_SERVER_AWARE', 'TERMINAL_SERVER_AWARE'),
                        ('IMAGE_DLL_CHARACTERISTICS_NO_SEH', 'NO_SEH')):
        check(label, flag in dll_flags, flag, sorted(dll_flags))
    check('stack reserve 1 MiB', number(o['SizeOfStackReserve']) == 0x100000,
          hex(0x100000), hex(number(o['SizeOfStackReserve'])))
    check('stack commit 128 KiB', number(o['SizeOfStackCommit']) == 0x20000,
          hex(0x20000), hex(number(o['SizeOfStackCommit'])))
    check('no TLS directory (no runtime start-up callbacks)', number(o.get('TLSTableRVA', '0')) == 0,
          0, o.get('TLSTableRVA'))
    return optional


def check_sections(tree):
    sections = {}
    for s in tree.child('Sections').all('Section') if tree.child('Sections') else []:
        name = s.fields['Name'].split()[0]
        sections[name] = (number(s.fields['VirtualAddress']), number(s.fields['VirtualSize']),
                          number(s.fields['PointerToRawData']), number(s.fields['RawDataSize']),
                          flags(s.child('Characteristics')))
    check('.reloc section present', '.reloc' in sections, '.reloc', sorted(sections))
    return sections


def rva_to_offset(sections, rva):
    for va, vsize, raw, rsize, _ in sections.values():
        if va <= rva < va + max(vsize, rsize):
            return raw + rva - va
    return None


def check_imports(tree):
    found = {}
    for imp in tree.all('Import'):
        found.setdefault(imp.fields['Name'].lower(), set()).update(
            re.sub(r'\s*\(\d+\)$', '', s) for s in imp.fields.get('Symbol[]', []))
    check('imported DLLs exactly kernel32.dll and user32.dll',
          set(found) == {'kernel32.dll', 'user32.dll'}, ['kernel32.dll', 'user32.dll'], sorted(found))
    for dll, wanted in (('kernel32.dll', KERNEL32), ('user32.dll', USER32)):
        got = found.get(dll, set())
        check(f'{dll} imports exactly {len(wanted)} functions', got == wanted,
              f'missing none, extra none', f'missing {sorted(wanted - got)}, extra {sorted(got - wanted)}')
    check('no delay-load imports', not tree.all('DelayImport'), 'none',
          [d.fields.get('Name') for d in tree.all('DelayImport')])


def coff_object(path):
    """The sections (raw bytes, relocation offsets) and symbols of an i386 COFF object."""
    data = open(path, 'rb').read()
    machine, nsections, _, symtab, nsyms, opt, _ = struct.unpack_from('<HHIIIHH', data, 0)
    if machine != 0x14C:
        return None
    strings = symtab + nsyms * 18
    sections = []
    for i in range(nsections):
        base = 20 + opt + i * 40
        size, raw, relocs, _, nrelocs = struct.unpack_from('<IIIIH', data, base + 16)
        offsets = [struct.unpack_from('<I', data, relocs + 10 * r)[0] for r in range(nrelocs)]
        sections.append((data[raw:raw + size], offsets))
    symbols, i = [], 0
    while i < nsyms:
        entry = data[symtab + 18 * i:symtab + 18 * (i + 1)]
        if entry[:4] == b'\0\0\0\0':
            offset = struct.unpack_from('<I', entry, 4)[0]
            name = data[strings + offset:data.index(b'\0', strings + offset)].decode()
        else:
            name = entry[:8].rstrip(b'\0').decode()
        value, section, _, storage, aux = struct.unpack_from('<IhHBB', entry, 8)
        symbols.append((name, value, section, storage))
        i += 1 + aux
    return sections, symbols


def entry_point_code(objects):
    """EntryPoint's code as compiled, with a mask of the bytes the linker relocates."""
    for top, _, files in os.walk(objects):
        for f in sorted(files):
            if not f.endswith('.obj'):
                continue
            parsed = coff_object(os.path.join(top, f))
            if not parsed:
                continue
            sections, symbols = parsed
            for name, value, section, storage in symbols:
                if name == '_EntryPoint@0' and section > 0 and storage == 2:
                    code, relocs = sections[section - 1]
                    ends = [v for n, v, s, st in symbols if s == section and v > value]
                    end = min(ends + [len(code)])
                    mask = [True] * (end - value)
                    for r in relocs:
                        for b in range(r, r + 4):
                            if value <= b < end:
                                mask[b - value] = False
                    return os.path.join(top, f), code[value:end], mask
    return None


def check_entry(optional, sections, image, objects):
    entry = number(optional.fields['AddressOfEntryPoint'])
    check('entry point set', entry != 0, 'nonzero', hex(entry))
    text = [n for n, (va, vs, _, _, fl) in sections.items() if va <= entry < va + vs]
    executable = bool(text) and 'IMAGE_SCN_MEM_EXECUTE' in sections[text[0]][4]
    check('entry point in an executable section', executable, 'executable section', text)
    if not objects:
        return
    found = entry_point_code(objects)
    if not check('EntryPoint found in the objects', found is not None,
                 '_EntryPoint@0 defined in an .obj under ' + objects, 'none'):
        return
    path, code, mask = found
    offset = rva_to_offset(sections, entry)
    linked = image[offset:offset + len(code)] if offset is not None else b''
    same = len(linked) == len(code) and all(not m or a == b for a, b, m in zip(code, linked, mask))
    check(f'entry point is EntryPoint ({len(code)} bytes match {os.path.relpath(path)})', same,
          'the code of _EntryPoint@0', f'other code at {entry:#x}')


def check_load_config(tree, optional):
    size = number(optional.fields.get('LoadConfigTableSize', '0'))
    check('load configuration directory size 64', size == 64, 64, size)
    config = tree.child('LoadConfig')
    if not check('load configuration present', config is not None):
        return
    check('load configuration Size field 64', number(config.fields.get('Size', '0')) == 64,
          '0x40', config.fields.get('Size'))
    check('DependentLoadFlags LOAD_LIBRARY_SEARCH_SYSTEM32 (0x800)',
          number(config.fields.get('DependentLoadFlags', '0')) == 0x800,
          '0x800', config.fields.get('DependentLoadFlags'))


def resources(tree, sections, image):
    """{type id: {name id: bytes}} from the resource tree readobj lists."""
    out = {}
    block = tree.child('Resources')
    for t in block.all('Type') if block else []:
        type_id = number(re.search(r'\(ID (\d+)\)', t.value).group(1))
        for n in t.all('Name'):
            m = re.search(r'\(ID (\d+)\)', n.value)
            name_id = int(m.group(1)) if m else n.value
            for lang in n.all('Language'):
                data = lang.child('Data')
                rva, size = number(data.fields['DataRVA']), number(data.fields['DataSize'])
                offset = rva_to_offset(sections, rva)
                out.setdefault(type_id, {})[name_id] = image[offset:offset + size]
    return out


def check_manifest(res):
    manifests = res.get(RT_MANIFEST, {})
    if not check('manifest resource (RT_MANIFEST, ID 1)', 1 in manifests, 'ID 1', sorted(manifests)):
        return
    text = manifests[1]
    check('manifest uses no https namespace', b'https:' not in text)
    try:
        root = ET.fromstring(text)
    except ET.ParseError as e:
        check('manifest is well-formed XML', False, 'XML', e)
        return
    check('manifest root is asm.v1 assembly, version 1.0',
          root.tag == f'{{{ASM_V1}}}assembly' and root.get('manifestVersion') == '1.0',
          f'{{{ASM_V1}}}assembly version 1.0', f'{root.tag} version {root.get("manifestVersion")}')
    level = root.findall(f'./{{{ASM_V3}}}trustInfo/{{{ASM_V3}}}security/{{{ASM_V3}}}requestedPrivileges/'
                         f'{{{ASM_V3}}}requestedExecutionLevel')
    got = [(e.get('level'), e.get('uiAccess')) for e in level]
    check('requestedExecutionLevel asInvoker, uiAccess false', got == [('asInvoker', 'false')],
          [('asInvoker', 'false')], got)
    ids = [e.get('Id') for e in root.findall(f'./{{{COMPAT}}}compatibility/{{{COMPAT}}}application/'
                                             f'{{{COMPAT}}}supportedOS')]
    for system, guid in SUPPORTED_OS.items():
        check(f'supportedOS Windows {system}', ids.count(guid) == 1, guid, ids)
    check('no unknown supportedOS', set(ids) <= set(SUPPORTED_OS.values()), 'none', sorted(set(ids) - set(SUPPORTED_OS.values())))
    settings = f'./{{{ASM_V3}}}application/{{{ASM_V3}}}windowsSettings/'
    for label, path, wanted in (('longPathAware true', f'{settings}{{{SMI2016}}}longPathAware', 'true'),
                                ('heapType SegmentHeap', f'{settings}{{{SMI2020}}}heapType', 'SegmentHeap')):
        got = [(e.text or '').strip() for e in root.findall(path)]
        check(label, got == [wanted], [wanted], got)


def version_strings(block):
    """Walks VS_VERSIONINFO: (fixed file info, {key: value} of every string table)."""
    def node(data, pos):
        length, value_len, kind = struct.unpack_from('<HHH', data, pos)
        end = data.index(b'\0\0', pos + 6)
        while (end - pos) % 2:
            end = data.index(b'\0\0', end + 1)
        key = data[pos + 6:end].decode('utf-16-le')
        value_at = (end + 2 + 3) & ~3
        value_bytes = value_len * 2 if kind == 1 else value_len
        children_at = (value_at + value_bytes + 3) & ~3
        children, at = [], children_at
        while at < pos + length:
            child = node(data, at)
            children.append(child)
            at = (at + child[0] + 3) & ~3
        return length, key, data[value_at:value_at + value_bytes], kind, children

    _, key, fixed, _, children = node(block, 0)
    strings = {}
    for c in children:
        if c[1] == 'StringFileInfo':
            for table in c[4]:
                for s in table[4]:
                    strings[s[1]] = s[2].decode('utf-16-le').rstrip('\0')
    return key, fixed, strings


def check_version(res, version, copyright):
    versions = res.get(RT_VERSION, {})
    if not check('version resource (RT_VERSION, ID 1)', 1 in versions, 'ID 1', sorted(versions)):
        return
    try:
        key, fixed, strings = version_strings(versions[1])
    except (ValueError, struct.error, UnicodeDecodeError) as e:
        check('version resource parses', False, 'VS_VERSIONINFO', e)
        return
    check('version resource is VS_VERSION_INFO', key == 'VS_VERSION_INFO', 'VS_VERSION_INFO', key)
    signature, _, fms, fls, pms, pls, _, _, os_, ftype = struct.unpack_from('<10I', fixed.ljust(40, b'\0'))
    check('fixed file info signature', signature == 0xFEEF04BD, hex(0xFEEF04BD), hex(signature))
    parts = [int(p) for p in version.split('.')] + [0] * 4
    wanted = ((parts[0] << 16) | parts[1], (parts[2] << 16) | parts[3])
    show = lambda ms, ls: f'{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}'
    check(f'fixed FileVersion is {version}', (fms, fls) == wanted, show(*wanted), show(fms, fls))
    check(f'fixed ProductVersion is {version}', (pms, pls) == wanted, show(*wanted), show(pms, pls))
    check('FILEOS VOS_NT_WINDOWS32, FILETYPE VFT_APP', (os_, ftype) == (0x40004, 1),
          '0x40004, 1', f'{os_:#x}, {ftype}')
    for key in ('ProductName', 'FileDescription', 'LegalCopyright'):
        check(f'{key} present', bool(strings.get(key, '').strip()), 'a value', repr(strings.get(key)))
    for key in ('FileVersion', 'ProductVersion'):
        check(f'{key} string is {version}', strings.get(key) == version, version, strings.get(key))
    if copyright:
        check('LegalCopyright is the LICENSE\'s', strings.get('LegalCopyright') == copyright,
              copyright, strings.get('LegalCopyright'))


def check_icon(res):
    icons, groups = res.get(RT_ICON, {}), res.get(RT_GROUP_ICON, {})
    check('icon images (RT_ICON)', bool(icons), 'at least one', 0)
    if not check('icon group (RT_GROUP_ICON)', bool(groups), 'at least one', 0):
        return
    for gid, group in groups.items():
        reserved, kind, count = struct.unpack_from('<HHH', group, 0)
        check(f'icon group {gid} header', (reserved, kind) == (0, 1) and len(group) == 6 + 14 * count,
              f'icon type with {count} entries', group[:6].hex())
        sizes = set()
        for i in range(count):
            w, h, _, _, _, bits, size, icon_id = struct.unpack_from('<BBBBHHIH', group, 6 + 14 * i)
            w, h = w or 256, h or 256
            data = icons.get(icon_id)
            if not check(f'icon {w}x{h} (RT_ICON {icon_id}) present', data is not None, icon_id, sorted(icons)):
                continue
            check(f'icon {w}x{h} size matches its group entry', len(data) == size, size, len(data))
            # XP draws only BITMAPINFOHEADER icons; a PNG-compressed image shows as blank.
            header = struct.unpack_from('<IiiHH', data, 0) if len(data) >= 16 else (0, 0, 0, 0, 0)
            check(f'icon {w}x{h} is a bitmap (not PNG)',
                  header[0] == 40 and (header[1], header[2]) == (w, 2 * h),
                  f'BITMAPINFOHEADER {w}x{2 * h}', data[:16].hex())
            sizes.add((w, h))
        check('icon has a 16x16 image', (16, 16) in sizes, '16x16', sorted(sizes))


# The signature's own lines, spaced so; the signed attributes repeat the first as
# `Message digest algorithm: SHA1`, which must not count.
SIGNATURE_FIELDS = {'Message digest algorithm  ': 'digest', 'Current message digest    ': 'current',
                    'Calculated message digest ': 'calculated'}


def osslsigncode_verify(path, ca):
    """The signatures `osslsigncode verify` reports, in order, as {digest, current, calculated,
    ok, stamp}, and its lines that say failed or MISMATCH. Its exit status is 0 when any one
    signature verifies and a failed timestamp is only a line, so the lines are all it tells."""
    roots = ['-CAfile', ca, '-TSA-CAfile', ca] if ca else []
    run = subprocess.run(['osslsigncode', 'verify', *roots, '-in', path], capture_output=True, text=True)
    signatures = []
    # The signatures come from standard output alone; failures may be on either stream.
    for line in run.stdout.splitlines():
        if line.startswith('Signature Index: '):
            signatures.append(dict(digest=None, current=None, calculated=None, ok=False, stamp=None))
        elif signatures:
            label, _, value = line.partition(': ')
            if label in SIGNATURE_FIELDS:
                signatures[-1][SIGNATURE_FIELDS[label]] = value.split()[0]
            elif line in ('Timestamp Server Signature verification: ok', 'Signature verification: ok'):
                signatures[-1]['stamp' if line.startswith('Timestamp') else 'ok'] = True
    failed = [line for line in (run.stdout + run.stderr).splitlines()
              if 'verification: failed' in line or 'MISMATCH' in line]
    return signatures, failed


def check_signature(path, optional, sections, ca, timestamped):
    rva = number(optional.fields.get('CertificateTableRVA', '0'))
    size = number(optional.fields.get('CertificateTableSize', '0'))
    if not check('Authenticode signature present (security directory)', rva and size,
                 'nonzero', f'{rva:#x}, {size:#x}'):
        return
    have_ca = ca and os.path.exists(ca)
    signatures, failed = osslsigncode_verify(path, ca if have_ca else None)
    # XP and Vista read only the primary signature, which must therefore be the SHA-1 one.
    digests = [s['digest'] for s in signatures]
    check('two signatures: SHA-1 primary, SHA-256 nested', digests == ['SHA1', 'SHA256'],
          ['SHA1', 'SHA256'], digests)
    for i, s in enumerate(signatures, 1):
        name = f'signature {i} ({s["digest"]})'
        check(f'{name} digest matches the content', s['current'] and s['current'] == s['calculated'],
              s['current'], s['calculated'])
        if have_ca:
            check(f'{name} verifies against {os.path.relpath(ca)}', s['ok'], 'ok', 'failed')
        if timestamped:
            check(f'{name} timestamp verifies against {os.path.relpath(ca)}', s['stamp'], 'ok',
                  'failed' if have_ca else 'no CA given')
    if have_ca:
        check('no line of osslsigncode verify says failed or MISMATCH', not failed, 'none', failed)
    else:
        print(f'skip  chain verification: no CA file ({ca or "none given"}), release certificate')
    # One changed byte of code, the first at the entry point, must break both signatures.
    with tempfile.TemporaryDirectory() as tmp:
        copy = os.path.join(tmp, 'tampered.exe')
        shutil.copyfile(path, copy)
        with open(copy, 'r+b') as f:
            f.seek(rva_to_offset(sections, number(optional.fields['AddressOfEntryPoint'])))
            byte = f.read(1)
            f.seek(-1, 1)
            f.write(bytes([byte[0] ^ 0x01]))
        tampered, _ = osslsigncode_verify(copy, ca if have_ca else None)
        check('a one-byte change of a copy fails every signature', tampered and not any(
            s['ok'] or s['current'] == s['calculated'] for s in tampered), 'failure', tampered)


def check_same_as_unsigned(signed, unsigned):
    """The signed image is the unsigned one plus the signature: osslsigncode may only set the
    checksum and the security directory, so a stale or different dist image shows here."""
    with tempfile.TemporaryDirectory() as tmp:
        stripped = os.path.join(tmp, 'stripped.exe')
        run = subprocess.run(['osslsigncode', 'remove-signature', '-in', signed, '-out', stripped],
                             capture_output=True, text=True)
        if not check('signature can be removed', run.returncode == 0, 'success', run.stdout + run.stderr):
            return
        a, b = bytearray(open(stripped, 'rb').read()), bytearray(open(unsigned, 'rb').read())
    for image in (a, b):
        pe = struct.unpack_from('<I', image, 0x3C)[0] if len(image) > 0x40 else 0
        if len(image) >= pe + 0x98 + 8:
            image[pe + 0x58:pe + 0x5C] = b'\0' * 4     # CheckSum
            image[pe + 0x98:pe + 0xA0] = b'\0' * 8     # security directory
    check(f'signed image is {os.path.relpath(unsigned)} plus a signature', a == b,
          'identical apart from checksum and signature', f'{sum(x != y for x, y in zip(a, b))} bytes '
          f'and {abs(len(a) - len(b))} in length differ')


def main(argv=None):
    failures.clear()
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('image')
    parser.add_argument('--signed', action='store_true', help='the image must carry a signature')
    parser.add_argument('--unsigned', help='the unsigned image the signed one was made from')
    parser.add_argument('--ca', help='root certificates to verify the signatures and timestamps against, '
                        'if the file exists')
    parser.add_argument('--timestamped', action='store_true', help='both signatures must carry a timestamp')
    parser.add_argument('--version-file', required=True)
    parser.add_argument('--license', help='LICENSE file whose copyright line the image must carry')
    parser.add_argument('--objects', help='directory of the .obj files, to resolve EntryPoint')
    args = parser.parse_args(argv)

    if not os.path.isfile(args.image):
        print(f'FAIL  {args.image} does not exist: build it first (make dist/shortcase.exe)')
        return 1
    image = open(args.image, 'rb').read()
    version = open(args.version_file).read().strip()
    copyright = next((line.strip() for line in open(args.license) if line.startswith('Copyright')),
                     'no copyright line in ' + args.license) if args.license else None
    print(f'checking {args.image} ({len(image)} bytes)')
    tree = readobj(args.image, '--file-headers', '--sections', '--coff-imports',
                   '--coff-load-config', '--coff-resources')

    optional = guarded('headers', check_headers, tree)
    if optional is None:
        return 1
    sections = guarded('sections', check_sections, tree) or {}
    guarded('imports', check_imports, tree)
    guarded('entry point', check_entry, optional, sections, image, args.objects)
    guarded('load configuration', check_load_config, tree, optional)
    res = guarded('resource tree', resources, tree, sections, image) or {}
    guarded('manifest', check_manifest, res)
    guarded('version resource', check_version, res, version, copyright)
    guarded('icon', check_icon, res)
    if args.signed:
        guarded('signature', check_signature, args.image, optional, sections, args.ca,
                args.timestamped)
        if args.unsigned:
            guarded('signed from the unsigned image', check_same_as_unsigned, args.image, args.unsigned)
    unsigned = args.unsigned or (None if args.signed else args.image)
    if unsigned:
        size = os.path.getsize(unsigned)
        check(f'unsigned image under {UNSIGNED_LIMIT} bytes', size < UNSIGNED_LIMIT, f'< {UNSIGNED_LIMIT}', size)

    if failures:
        print(f'{len(failures)} propert{"y" if len(failures) == 1 else "ies"} FAILED: ' + '; '.join(failures))
        return 1
    print('all properties hold')
    return 0


if __name__ == '__main__':
    sys.exit(main())
