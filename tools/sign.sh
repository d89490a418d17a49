#!/usr/bin/env bash
# Signs an image with Authenticode twice: sign.sh UNSIGNED SIGNED.
# A SHA-1 signature first, the only one Windows XP and Vista read, and a SHA-256 signature nested
# in it for Windows 7 and later. The release certificate and key come from SHORTCASE_SIGN_CERT and
# SHORTCASE_SIGN_KEY (PEM files; SHORTCASE_SIGN_PASS is the key's password, if any). Without them
# a throwaway CA and code-signing certificate are made for this build, so that the signing path
# always runs and is verified. SHORTCASE_SIGN_TIMESTAMP_URL names an RFC 3161 time-stamping
# service for both signatures; SHORTCASE_SIGN_CA, root certificates (PEM) that the signatures and
# timestamps must verify against besides the throwaway CA (for the release certificate, by default
# the system's); SHORTCASE_SIGN_TIMEOUT, the seconds one signing may take (60).
# SIGNED appears only once both signatures verify; any failure is one line on standard error.
set -euo pipefail
in=$1 out=$2
dir=build/sign
url=${SHORTCASE_SIGN_TIMESTAMP_URL:-}
limit=${SHORTCASE_SIGN_TIMEOUT:-60}
fail() { echo "sign.sh: $*" >&2; exit 1; }

mkdir -p "$dir"
work=$(mktemp -d "$dir/work.XXXXXX")  # mode 700: it holds the password
trap 'rm -rf "$work"' EXIT

if [ -n "${SHORTCASE_SIGN_CERT:-}${SHORTCASE_SIGN_KEY:-}" ]; then
    cert=${SHORTCASE_SIGN_CERT:-} key=${SHORTCASE_SIGN_KEY:-}
    [ -n "$cert" ] && [ -n "$key" ] || fail "set both SHORTCASE_SIGN_CERT and SHORTCASE_SIGN_KEY"
    roots=("${SHORTCASE_SIGN_CA:-/etc/ssl/certs/ca-certificates.crt}")
else
    cert=$dir/signer.pem key=$dir/signer.key
    roots=("$dir/ca.pem" ${SHORTCASE_SIGN_CA:+"$SHORTCASE_SIGN_CA"})
    if [ ! -s "$cert" ]; then
        openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj '/CN=shortcase test CA' \
            -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign \
            -keyout "$dir/ca.key" -out "$dir/ca.pem" 2>/dev/null
        openssl req -newkey rsa:2048 -nodes -subj '/CN=shortcase test signer' \
            -keyout "$key" -out "$dir/signer.csr" 2>/dev/null
        printf '%s\n' 'basicConstraints=CA:FALSE' 'keyUsage=critical,digitalSignature' \
            'extendedKeyUsage=codeSigning' >"$dir/signer.ext"
        openssl x509 -req -in "$dir/signer.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
            -CAcreateserial -days 3650 -extfile "$dir/signer.ext" -out "$cert" 2>/dev/null
    fi
fi

# osslsigncode signs with an expired certificate without a word, and its own errors about the
# certificate or the key are a page of OpenSSL's error queue: check them here first.
[ -f "$cert" ] && [ -r "$cert" ] || fail "cannot read the certificate $cert"
openssl x509 -noout -in "$cert" 2>/dev/null || fail "$cert holds no PEM certificate"
openssl x509 -noout -checkend 0 -in "$cert" >/dev/null ||
    fail "the certificate $cert expired on $(openssl x509 -noout -enddate -in "$cert" | cut -d= -f2)"
start=$(openssl x509 -noout -startdate -in "$cert" | cut -d= -f2)
[ "$(date -d "$start" +%s)" -le "$(date +%s)" ] || fail "the certificate $cert is not valid before $start"
[ -f "$key" ] && [ -r "$key" ] || fail "cannot read the key $key"
# The password goes through a file, never the command line, where every user's ps shows it.
printf '%s\n' "${SHORTCASE_SIGN_PASS:-}" >"$work/pass"
if ! openssl pkey -in "$key" -passin "file:$work/pass" -pubout -out "$work/key.pub" 2>/dev/null; then
    grep -q ENCRYPTED "$key" && fail "cannot decrypt the key $key: wrong or missing SHORTCASE_SIGN_PASS"
    fail "$key holds no PEM private key"
fi
openssl x509 -noout -pubkey -in "$cert" | cmp -s - "$work/key.pub" ||
    fail "the key $key does not belong to the certificate $cert"
for file in "${roots[@]}"; do [ -r "$file" ] || fail "cannot read the root certificates $file"; done
cat "${roots[@]}" >"$work/roots.pem"

# sign DIGEST IN OUT [-nest]: one signature, timestamped when a service is named. osslsigncode
# waits for a silent time-stamping service forever, so each signing gets a time limit.
sign() {
    timeout -k 5 "$limit" osslsigncode sign "${@:4}" -certs "$cert" -key "$key" \
        -readpass "$work/pass" -h "$1" -n shortcase ${url:+-ts "$url"} -in "$2" -out "$3" \
        >"$work/sign.log" 2>&1 </dev/null && return
    case $? in
        124 | 137) fail "no answer from the time-stamping service ${url:-(none)} within $limit s" ;;
    esac
    fail "osslsigncode could not make the $1 signature:" \
        "$(grep -v -m1 -e '^$' -e '^[0-9A-F]*:error:' -e '^Connecting to' "$work/sign.log")"
}
sign sha1 "$in" "$work/sha1.exe"
sign sha256 "$work/sha1.exe" "$work/signed.exe" -nest

# osslsigncode verify exits 0 when any one signature verifies, and a failed timestamp is only a
# printed line: read the lines. The output is kept whole, as `verify | grep -q` under pipefail
# fails whenever grep stops reading early.
timeout -k 5 "$limit" osslsigncode verify -CAfile "$work/roots.pem" -TSA-CAfile "$work/roots.pem" \
    -in "$work/signed.exe" >"$work/verify.out" 2>"$work/verify.err" || true
count() { grep -c -x "$1" "$work/verify.out" || true; }
signatures=$(count 'Signature verification: ok')
digests=$(sed -n 's/^Message digest algorithm  : \([A-Z0-9]*\) *$/\1/p' "$work/verify.out" | xargs)
stamps=$(count 'Timestamp Server Signature verification: ok')
failed=$(cat "$work/verify.out" "$work/verify.err" | grep -m1 -e 'verification: failed' -e MISMATCH || true)
what="the signed image does not verify against ${roots[*]}:"
[ "$signatures" = 2 ] || fail "$what $signatures of 2 signatures ok"
[ "$digests" = 'SHA1 SHA256' ] || fail "$what digests ${digests:-none}, not SHA1 then SHA256"
[ -z "$url" ] || [ "$stamps" = 2 ] || fail "$what $stamps of 2 timestamps ok"
[ -z "$failed" ] || fail "$what $failed"

# The image check verifies against the same roots.
mv "$work/roots.pem" "$dir/roots.pem"
mv "$work/signed.exe" "$out"
echo "signed $out${url:+, timestamped by $url}"
