#!/usr/bin/env python3
"""Runs tools/sign.sh once per row of a table, with a time-stamping service of its own on
127.0.0.1: good inputs must give an image that check_image.py finds signed twice and
timestamped by that service; each bad input must fail with one line and leave dist/ empty.

signing.py ROOT — ROOT is the checkout with build/win/shortcase.exe built.
"""
import contextlib
import glob
import http.server
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading

import check_image

ROOT = os.path.abspath(sys.argv[1])
WORK = tempfile.mkdtemp(prefix='shortcase-signing-')

GOOD = {'SHORTCASE_SIGN_CERT': 'signer.pem', 'SHORTCASE_SIGN_KEY': 'signer.key',
        'SHORTCASE_SIGN_CA': 'roots.pem', 'SHORTCASE_SIGN_TIMEOUT': '30',
        'SHORTCASE_SIGN_TIMESTAMP_URL': 'http://127.0.0.1:{service}/'}
ROWS = [  # (case, variables changed from GOOD, what the one-line message says; None: signs)
    ('timestamped by the local service', {}, None),
    ('key with its password',
     {'SHORTCASE_SIGN_KEY': 'locked.key', 'SHORTCASE_SIGN_PASS': 'right'}, None),
    ('certificate missing', {'SHORTCASE_SIGN_CERT': 'none.pem'},
     'cannot read the certificate none.pem'),
    ('certificate unreadable (a folder)', {'SHORTCASE_SIGN_CERT': 'dist'},
     'cannot read the certificate dist'),
    ('certificate not a certificate', {'SHORTCASE_SIGN_CERT': 'signer.key'},
     'holds no PEM certificate'),
    ('certificate expired', {'SHORTCASE_SIGN_CERT': 'expired.pem'}, 'expired.pem expired on'),
    ('wrong password', {'SHORTCASE_SIGN_KEY': 'locked.key', 'SHORTCASE_SIGN_PASS': 'wrong'},
     'cannot decrypt the key locked.key: wrong or missing SHORTCASE_SIGN_PASS'),
    ('key of another certificate', {'SHORTCASE_SIGN_KEY': 'other.key'},
     'the key other.key does not belong to the certificate signer.pem'),
    ('time-stamping service that never answers',
     {'SHORTCASE_SIGN_TIMESTAMP_URL': 'http://127.0.0.1:{silent}/', 'SHORTCASE_SIGN_TIMEOUT': '2'},
     'no answer from the time-stamping service http://127.0.0.1:[0-9]+/ within 2 s'),
    ('timestamps by a service outside the roots', {'SHORTCASE_SIGN_CA': 'signer.pem'},
     'does not verify against signer.pem: 0 of 2 timestamps ok'),
]


class TimeStamper(http.server.BaseHTTPRequestHandler):
    """Answers an RFC 3161 query with `openssl ts -reply`, signed by the throwaway TSA."""
    def do_POST(self):
        query = self.rfile.read(int(self.headers['Content-Length']))
        reply = subprocess.run(['openssl', 'ts', '-reply', '-config', 'tsa.cnf',
                                '-queryfile', '/dev/stdin', '-out', '/dev/stdout'],
                               cwd=WORK, input=query, capture_output=True).stdout
        self.send_response(200)
        self.send_header('Content-Type', 'application/timestamp-reply')
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


def authorities():
    """A code-signing and a time-stamping certificate, each its own root; the signer's key
    also under a password and in an expired certificate; another key. The services' ports."""
    def openssl(*args):
        subprocess.run(['openssl', *args], cwd=WORK, check=True, capture_output=True)
    # openssl ts -reply refuses a TSA certificate whose timeStamping usage is not critical.
    for name, usage in (('signer', 'codeSigning'), ('tsa', 'critical,timeStamping')):
        openssl('req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2',
                '-subj', f'/CN=shortcase test {name}', '-addext', f'extendedKeyUsage={usage}',
                '-keyout', f'{name}.key', '-out', f'{name}.pem')
    openssl('x509', '-in', 'signer.pem', '-signkey', 'signer.key', '-days', '-1',
            '-out', 'expired.pem')
    openssl('pkey', '-in', 'signer.key', '-aes256', '-passout', 'pass:right', '-out', 'locked.key')
    openssl('genpkey', '-algorithm', 'RSA', '-out', 'other.key')
    roots = open(f'{WORK}/signer.pem').read() + open(f'{WORK}/tsa.pem').read()
    tsa = ('[tsa]\ndefault_tsa = t\n[t]\nserial = tsa.serial\nsigner_cert = tsa.pem\n'
           'signer_key = tsa.key\nsigner_digest = sha256\ndefault_policy = 1.2.3.4.1\n'
           'digests = sha1, sha256\n')
    for name, text in (('roots.pem', roots), ('tsa.cnf', tsa)):
        open(os.path.join(WORK, name), 'w').write(text)
    service = http.server.HTTPServer(('127.0.0.1', 0), TimeStamper)
    threading.Thread(target=service.serve_forever, daemon=True).start()
    silent = http.server.HTTPServer(('127.0.0.1', 0), TimeStamper)  # listens, never accepts
    return {'service': service.server_port, 'silent': silent.server_port}, silent


def image_check(ca):
    """The properties check_image.py finds failed in the signed image, verified against CA."""
    with contextlib.redirect_stdout(io.StringIO()):
        check_image.main([f'{WORK}/dist/shortcase.exe', '--signed', '--timestamped',
                          '--ca', f'{WORK}/{ca}', '--version-file', f'{ROOT}/VERSION'])
    return list(check_image.failures)


def main():
    ports, _ = authorities()
    os.mkdir(f'{WORK}/dist')
    env = {k: v for k, v in os.environ.items() if not k.startswith('SHORTCASE_SIGN_')}
    bad = 0
    for case, changes, message in ROWS:
        variables = {k: v.format(**ports) for k, v in {**GOOD, **changes}.items()}
        done = subprocess.run(['bash', f'{ROOT}/tools/sign.sh', f'{ROOT}/build/win/shortcase.exe',
                               'dist/shortcase.exe'],
                              cwd=WORK, env={**env, **variables}, capture_output=True, text=True)
        said = done.stderr.strip() or done.stdout.strip()
        if message:
            left = os.listdir(f'{WORK}/dist') + glob.glob(f'{WORK}/build/sign/work.*')
            wrong = (done.returncode == 0 or left or
                     not re.fullmatch(f'sign.sh: .*{message}.*', said))
            said += f' (status {done.returncode}, left {left})' if wrong else ''
        else:
            # Both timestamps verify against the roots given, and neither against the signer's.
            failed = image_check('roots.pem') if done.returncode == 0 else ['not signed']
            wrong = failed or sum('timestamp verifies' in f for f in image_check('signer.pem')) != 2
            said += f' (failed: {failed})' if wrong else ''
        for leftover in glob.glob(f'{WORK}/dist/*'):
            os.remove(leftover)
        print(f'{"FAIL" if wrong else "ok":5} {case}: {said}')
        bad += bool(wrong)
    print(f'{len(ROWS) - bad} of {len(ROWS)} signing cases hold')
    return 1 if bad else 0


if __name__ == '__main__':
    try:
        sys.exit(main())
    finally:
        shutil.rmtree(WORK, ignore_errors=True)
