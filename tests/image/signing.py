#!/usr/bin/env python3
"""Runs tools/sign.sh against a time-stamping service of its own on 127.0.0.1, once per row of
a table: good inputs must give an image that check_image.py finds dual-signed and timestamped by
that service; each bad input must fail with one line on standard error and leave dist/ empty.

signing.py ROOT — ROOT is the checkout with build/win/shortcase.exe built.
"""
import contextlib
import http.server
import io
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading

import check_image

ROOT = os.path.abspath(sys.argv[1])
WORK = tempfile.mkdtemp(prefix='shortcase-signing-')


def openssl(*args):
    subprocess.run(['openssl', *args], cwd=WORK, check=True, capture_output=True)


def issue(name, issuer, extensions, days=2, key=None):
    """NAME.pem for KEY.key (made unless given), signed by ISSUER, or by itself when None."""
    key = key or name
    if not os.path.exists(os.path.join(WORK, key + '.key')):
        openssl('genpkey', '-algorithm', 'RSA', '-out', key + '.key')
    open(os.path.join(WORK, name + '.ext'), 'w').write('\n'.join(extensions) + '\n')
    openssl('req', '-new', '-key', key + '.key', '-subj', f'/CN=shortcase test {name}', '-out', name + '.csr')
    by = ['-CA', issuer + '.pem', '-CAkey', issuer + '.key'] if issuer else ['-signkey', key + '.key']
    openssl('x509', '-req', '-in', name + '.csr', *by, '-days', str(days), '-extfile', name + '.ext',
            '-out', name + '.pem')


class TimeStamper(http.server.BaseHTTPRequestHandler):
    """Answers RFC 3161 queries with `openssl ts -reply`, signed by the throwaway TSA."""
    def do_POST(self):
        query = self.rfile.read(int(self.headers['Content-Length']))
        reply = subprocess.run(['openssl', 'ts', '-reply', '-config', 'tsa.cnf', '-queryfile', '/dev/stdin',
                                '-out', '/dev/stdout'], cwd=WORK, input=query, capture_output=True).stdout
        self.send_response(200)
        self.send_header('Content-Type', 'application/timestamp-reply')
        self.send_header('Content-Length', str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


CA = ['basicConstraints=critical,CA:TRUE', 'keyUsage=critical,keyCertSign']
SIGNER = ['basicConstraints=CA:FALSE', 'keyUsage=critical,digitalSignature', 'extendedKeyUsage=codeSigning']
GOOD = {'SHORTCASE_SIGN_CERT': 'signer.pem', 'SHORTCASE_SIGN_KEY': 'signer.key', 'SHORTCASE_SIGN_CA': 'roots.pem',
        'SHORTCASE_SIGN_TIMESTAMP_URL': 'http://127.0.0.1:{service}/', 'SHORTCASE_SIGN_TIMEOUT': '2'}
ROWS = [  # (case, variables changed from GOOD, what the one-line message says; None: signs)
    ('timestamped by the local service', {}, None),
    ('key with its password', {'SHORTCASE_SIGN_KEY': 'locked.key', 'SHORTCASE_SIGN_PASS': 'right'}, None),
    ('certificate missing', {'SHORTCASE_SIGN_CERT': 'none.pem'}, 'cannot read the certificate none.pem'),
    ('certificate unreadable (a folder)', {'SHORTCASE_SIGN_CERT': 'dist'}, 'cannot read the certificate dist'),
    ('certificate not a certificate', {'SHORTCASE_SIGN_CERT': 'signer.key'}, 'holds no PEM certificate'),
    ('certificate expired', {'SHORTCASE_SIGN_CERT': 'expired.pem'}, 'expired.pem expired on'),
    ('wrong password', {'SHORTCASE_SIGN_KEY': 'locked.key', 'SHORTCASE_SIGN_PASS': 'wrong'},
     'cannot decrypt the key locked.key: wrong or missing SHORTCASE_SIGN_PASS'),
    ('key of another certificate', {'SHORTCASE_SIGN_KEY': 'other.key'},
     'the key other.key does not belong to the certificate signer.pem'),
    ('time-stamping service that never answers', {'SHORTCASE_SIGN_TIMESTAMP_URL': 'http://127.0.0.1:{silent}/'},
     'no answer from the time-stamping service http://127.0.0.1:[0-9]+/ within 2 s'),
    ('timestamps by a service outside the roots', {'SHORTCASE_SIGN_CA': 'ca.pem'},
     'does not verify against ca.pem: 0 of 2 timestamps ok'),
]


def authorities():
    """The CA, its signer (also expired), a TSA under its own root, and the service's ports."""
    issue('ca', None, CA)
    issue('signer', 'ca', SIGNER)
    issue('expired', 'ca', SIGNER, days=-1, key='signer')
    issue('tsaroot', None, CA)
    # openssl ts -reply refuses a TSA certificate whose timeStamping usage is not critical.
    issue('tsa', 'tsaroot', ['basicConstraints=CA:FALSE', 'extendedKeyUsage=critical,timeStamping'])
    openssl('genpkey', '-algorithm', 'RSA', '-out', 'other.key')
    openssl('pkey', '-in', 'signer.key', '-aes256', '-passout', 'pass:right', '-out', 'locked.key')
    open(os.path.join(WORK, 'tsa.cnf'), 'w').write(
        '[tsa]\ndefault_tsa = t\n[t]\nserial = tsa.serial\nsigner_cert = tsa.pem\nsigner_key = tsa.key\n'
        'certs = tsaroot.pem\nsigner_digest = sha256\ndefault_policy = 1.2.3.4.1\ndigests = sha1, sha256\n')
    open(os.path.join(WORK, 'roots.pem'), 'w').write(''.join(
        open(os.path.join(WORK, n)).read() for n in ('ca.pem', 'tsaroot.pem')))
    service = http.server.HTTPServer(('127.0.0.1', 0), TimeStamper)
    threading.Thread(target=service.serve_forever, daemon=True).start()
    silent = socket.create_server(('127.0.0.1', 0))  # takes connections, never reads or answers
    return dict(service=service.server_port, silent=silent.getsockname()[1]), (service, silent)


def image_check(ca):
    """check_image.py's verdict on the signed image, verified against CA: (status, failed)."""
    with contextlib.redirect_stdout(io.StringIO()):
        status = check_image.main([os.path.join(WORK, 'dist/shortcase.exe'), '--signed', '--timestamped',
                                   '--ca', os.path.join(WORK, ca), '--version-file', os.path.join(ROOT, 'VERSION')])
    return status, list(check_image.failures)


def main():
    ports, _ = authorities()
    for folder in ('dist', 'build/sign'):
        os.makedirs(os.path.join(WORK, folder))
    env = {k: v for k, v in os.environ.items() if not k.startswith('SHORTCASE_SIGN_')}
    bad = 0
    for case, changes, message in ROWS:
        variables = {k: v.format(**ports) for k, v in {**GOOD, **changes}.items()}
        done = subprocess.run(['bash', os.path.join(ROOT, 'tools/sign.sh'),
                               os.path.join(ROOT, 'build/win/shortcase.exe'), 'dist/shortcase.exe'],
                              cwd=WORK, env={**env, **variables}, capture_output=True, text=True)
        left = os.listdir(os.path.join(WORK, 'dist')) + [
            n for n in os.listdir(os.path.join(WORK, 'build/sign')) if n.startswith('work')]
        if message is None:
            problems = [f'status {done.returncode}: {done.stderr}'] if done.returncode else []
            if not problems:
                status, failed = image_check('roots.pem')
                problems += [f'the image check fails: {failed}'] if status else []
                # Against the signing CA alone, both timestamps of the local service must fail.
                status, failed = image_check('ca.pem')
                if sum('timestamp verifies' in f for f in failed) != 2:
                    problems.append(f'the image check takes timestamps it cannot verify: {failed}')
                os.remove(os.path.join(WORK, 'dist/shortcase.exe'))
        else:
            lines = done.stderr.splitlines()
            problems = [p for p, wrong in (
                (f'status {done.returncode}', done.returncode == 0),
                (f'message {lines}', len(lines) != 1 or not re.match(f'sign.sh: .*{message}', lines[0])),
                (f'left behind {left}', left)) if wrong]
        print(f'{"FAIL" if problems else "ok":5} {case}: ' +
              ('; '.join(problems) or done.stderr.strip() or done.stdout.strip()))
        bad += bool(problems)
    print(f'{len(ROWS) - bad} of {len(ROWS)} signing cases hold')
    return 1 if bad else 0


if __name__ == '__main__':
    try:
        sys.exit(main())
    finally:
        shutil.rmtree(WORK, ignore_errors=True)
