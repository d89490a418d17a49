#!/usr/bin/env python3
"""Writes the winget and Scoop manifests of a release zip.

manifests.py ZIP VERSION OUT [NOTES] — writes, below the folder OUT,
  winget/PUBLISHER.shortcase/VERSION/ with the version, installer and en-US locale files
  (winget's multi-file form, manifest version 1.10.0), and
  scoop/shortcase.json,
both naming the zip by SHORTCASE_RELEASE_URL (the https:// folder it is published in) plus its
file name, and giving its SHA-256. SHORTCASE_PUBLISHER (default: shortcase) is the first part
of the winget identifier; SHORTCASE_HOMEPAGE, if set, the package's home page. The text of the
file NOTES, if given, is the locale file's ReleaseNotes.

Input that winget or Scoop would refuse ends the run with one line on standard error, status
1, and nothing written. Only the standard library: `make release` needs no YAML package, so the
YAML is written by hand, every value quoted unless it cannot be read as anything but a string.
The output depends on nothing but the inputs: the same zip and variables give the same bytes.
"""
import hashlib
import json
import os
import re
import sys

NAME = 'shortcase'
DESCRIPTION = ('Gives files and directories the spelling of their 8.3 short names when the two '
               'differ only in letter case.')
LICENSE = 'MIT'
# The image is linked for subsystem 5.01: Windows XP, whose first build is 2600.
MINIMUM_OS = '5.1.2600.0'
MANIFEST_VERSION = '1.10.0'
SCHEMA = 'https://aka.ms/winget-manifest.{}.' + MANIFEST_VERSION + '.schema.json'
DEFAULT_PUBLISHER = 'shortcase'

# The patterns and lengths that winget's 1.10.0 manifests and Scoop's manifest put on these values.
WINGET_VERSION = re.compile(r'[^\\/:*?"<>|\x01-\x1f]{1,128}')
SCOOP_VERSION = re.compile(r'[\w.\-+_]+', re.ASCII)
SEGMENT = r'[^.\s\\/:*?"<>|\x01-\x1f]{1,32}'
IDENTIFIER = re.compile(SEGMENT + r'(\.' + SEGMENT + r'){1,7}')
IDENTIFIER_MAX, URL_MAX, NOTES_MAX = 128, 2048, 10000
# What an address may hold after https:// (RFC 3986's characters, anything else percent-encoded)
# without '$', which Scoop reads as a variable; a folder takes no query or fragment either.
ADDRESS_CHARS = re.compile(r"[A-Za-z0-9\-._~%!&'()*+,;=:@/?#]")


class BadInput(Exception):
    pass


def check_address(variable, address, folder):
    if not re.match(r'https://[^/?#]', address, re.IGNORECASE):
        raise BadInput(f'{variable} must be an https:// address, not {address!r}')
    for c in address:
        if not ADDRESS_CHARS.fullmatch(c) or folder and c in '?#':
            raise BadInput(f'{variable} holds {c!r}, which the address of a '
                           f'{"folder" if folder else "page"} here cannot: {address!r}'
                           f'{" (percent-encode it)" if c not in "?#" else ""}')
    if len(address) > URL_MAX:
        raise BadInput(f'{variable} is longer than the {URL_MAX} characters winget allows')


def check_version(version):
    # "." and ".." pass both patterns, but the version also names a folder.
    if not (WINGET_VERSION.fullmatch(version) and SCOOP_VERSION.fullmatch(version)
            and re.search('[A-Za-z0-9]', version)):
        raise BadInput(f'version {version!r} is not one that both winget and Scoop accept: '
                       "letters, digits, '.', '-', '+' and '_', at most 128")


def check_identifier(publisher):
    identifier = f'{publisher}.{NAME}'
    if not IDENTIFIER.fullmatch(identifier) or len(identifier) > IDENTIFIER_MAX:
        raise BadInput(f'SHORTCASE_PUBLISHER {publisher!r} makes the winget identifier '
                       f'{identifier!r}, which winget refuses: at most 8 parts joined by '
                       f'\'.\', each 1 to 32 characters without spaces or \\/:*?"<>|, '
                       f'{IDENTIFIER_MAX} in all')
    return identifier


# Plain only what YAML 1.1 and 1.2 both read as this string: a letter first (no number, date or
# time starts so), none of the words they read as true, false or null, no ': ' or ' #'.
PLAIN = re.compile(r'[A-Za-z][A-Za-z0-9._+/:-]*')
KEYWORDS = {'y', 'n', 'yes', 'no', 'true', 'false', 'on', 'off', 'null'}


def block_text(value):
    """Whether YAML's literal block keeps this text as it stands: several lines, no final line
    break for '|-' to drop, no leading space that would set the indentation, nothing to escape."""
    return ('\n' in value and not value.endswith('\n') and not value[0].isspace()
            and all(c in '\n\t' or c.isprintable() and c != '\ufeff' for c in value))


def scalar(value):
    if block_text(value):
        # Release notes read as they were written; '|-' is how winget's own manifests hold them.
        return '|-\n' + '\n'.join(f'  {line}' if line else '' for line in value.split('\n'))
    if PLAIN.fullmatch(value) and not value.endswith(':') and value.lower() not in KEYWORDS:
        return value
    escaped = []
    for c in value:
        if c in '\\"':
            escaped.append('\\' + c)
        elif c.isprintable() and c not in '\ufeff':
            escaped.append(c)
        else:
            escaped.append(f'\\u{ord(c):04x}' if ord(c) < 0x10000 else f'\\U{ord(c):08x}')
    return '"' + ''.join(escaped) + '"'


def yaml(kind, fields):
    """One winget file: the schema line winget's own tools write, then one key a line; a list
    value is a sequence of scalars or of one-level mappings."""
    lines = [f'# yaml-language-server: $schema={SCHEMA.format(kind)}', '']
    for key, value in fields:
        if isinstance(value, list):
            lines.append(f'{key}:')
            for item in value:
                if isinstance(item, str):
                    lines.append(f'- {scalar(item)}')
                    continue
                for i, (k, v) in enumerate(item):
                    lines.append(f'{"- " if i == 0 else "  "}{k}: {scalar(v)}')
        else:
            lines.append(f'{key}: {scalar(value)}')
    return '\n'.join(lines) + '\n'


def manifests(zip_path, version, address, publisher, homepage, notes=None):
    """The files to write, as {relative path: text}."""
    check_address('SHORTCASE_RELEASE_URL', address, folder=True)
    if notes is not None and not 1 <= len(notes) <= NOTES_MAX:
        raise BadInput(f'the release notes hold {len(notes)} characters; winget takes 1 to '
                       f'{NOTES_MAX}')
    if homepage:
        check_address('SHORTCASE_HOMEPAGE', homepage, folder=False)
    check_version(version)
    identifier = check_identifier(publisher)
    folder = address.rstrip('/')
    zip_name = os.path.basename(zip_path)
    url = f'{folder}/{zip_name}'
    if len(url) > URL_MAX:
        raise BadInput(f"SHORTCASE_RELEASE_URL with the zip's name is longer than the "
                       f'{URL_MAX} characters winget allows')
    with open(zip_path, 'rb') as f:
        sha256 = hashlib.sha256(f.read()).hexdigest()

    head = [('PackageIdentifier', identifier), ('PackageVersion', version)]
    tail = [('ManifestVersion', MANIFEST_VERSION)]
    base = f'winget/{identifier}/{version}/{identifier}'
    files = {
        f'{base}.yaml': yaml('version', head + [
            ('DefaultLocale', 'en-US'), ('ManifestType', 'version')] + tail),
        f'{base}.installer.yaml': yaml('installer', head + [
            ('MinimumOSVersion', MINIMUM_OS),
            ('InstallerType', 'zip'),
            ('NestedInstallerType', 'portable'),
            ('NestedInstallerFiles', [[('RelativeFilePath', f'{NAME}.exe'),
                                       ('PortableCommandAlias', NAME)]]),
            ('Commands', [NAME]),
            ('Installers', [[('Architecture', 'x86'), ('InstallerUrl', url),
                             ('InstallerSha256', sha256.upper())]]),
            ('ManifestType', 'installer')] + tail),
        f'{base}.locale.en-US.yaml': yaml('defaultLocale', head + [
            ('PackageLocale', 'en-US'),
            ('Publisher', f'The {NAME} authors'),
            ('PackageName', NAME)]
            + ([('PackageUrl', homepage)] if homepage else []) + [
            ('License', LICENSE),
            ('ShortDescription', DESCRIPTION),
            ('Moniker', NAME)]
            + ([('ReleaseNotes', notes)] if notes is not None else []) + [
            ('ManifestType', 'defaultLocale')] + tail),
    }
    # Scoop's checkver reads the home page for the newest zip's name; autoupdate then fetches
    # that version's zip from where this one lies, and its hash from the SHA256SUMS beside it.
    scoop = {
        'version': version,
        'description': DESCRIPTION,
        'homepage': homepage or address,
        'license': LICENSE,
        'url': url,
        'hash': sha256,
        'bin': f'{NAME}.exe',
        'checkver': {'url': homepage or address,
                     'regex': NAME + r'-([\w.+-]+)-win32\.zip'},
        'autoupdate': {'url': url.replace(version, '$version'),
                       'hash': {'url': '$baseurl/SHA256SUMS'}},
    }
    files[f'scoop/{NAME}.json'] = json.dumps(scoop, indent=4) + '\n'
    return files


def main():
    if len(sys.argv) not in (4, 5):
        sys.exit('usage: manifests.py ZIP VERSION OUT [NOTES]')
    zip_path, version, out = sys.argv[1:4]
    notes = None
    if len(sys.argv) == 5:
        with open(sys.argv[4], encoding='utf-8') as f:
            notes = f.read().rstrip('\n')
    try:
        files = manifests(zip_path, version, os.environ.get('SHORTCASE_RELEASE_URL', ''),
                          os.environ.get('SHORTCASE_PUBLISHER') or DEFAULT_PUBLISHER,
                          os.environ.get('SHORTCASE_HOMEPAGE', ''), notes)
    except BadInput as e:
        sys.exit(f'manifests.py: {e}')
    for path, text in files.items():
        path = os.path.join(out, path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'w', encoding='utf-8', newline='\n') as f:
            f.write(text)


if __name__ == '__main__':
    main()
