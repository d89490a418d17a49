#!/usr/bin/env bash
# Signs an image with Authenticode: sign.sh UNSIGNED SIGNED.
# The release certificate and key come from SHORTCASE_SIGN_CERT and SHORTCASE_SIGN_KEY (PEM
# files; SHORTCASE_SIGN_PASS is the key's password, if any). Without them a throwaway CA and
# code-signing certificate are made for this build, so that the signing path always runs and
# is verified.
set -euo pipefail
in=$1 out=$2
dir=build/sign
mkdir -p "$dir"

if [ -n "${SHORTCASE_SIGN_CERT:-}" ] && [ -n "${SHORTCASE_SIGN_KEY:-}" ]; then
    cert=$SHORTCASE_SIGN_CERT key=$SHORTCASE_SIGN_KEY ca=
else
    cert=$dir/signer.pem key=$dir/signer.key ca=$dir/ca.pem
    if [ ! -s "$cert" ]; then
        openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj '/CN=shortcase test CA' \
            -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign \
            -keyout "$dir/ca.key" -out "$ca" 2>/dev/null
        openssl req -newkey rsa:2048 -nodes -subj '/CN=shortcase test signer' \
            -keyout "$key" -out "$dir/signer.csr" 2>/dev/null
        printf '%s\n' 'basicConstraints=CA:FALSE' 'keyUsage=critical,digitalSignature' \
            'extendedKeyUsage=codeSigning' >"$dir/signer.ext"
        openssl x509 -req -in "$dir/signer.csr" -CA "$ca" -CAkey "$dir/ca.key" -CAcreateserial \
            -days 3650 -extfile "$dir/signer.ext" -out "$cert" 2>/dev/null
    fi
fi

rm -f "$out"
osslsigncode sign -certs "$cert" -key "$key" ${SHORTCASE_SIGN_PASS:+-pass "$SHORTCASE_SIGN_PASS"} \
    -h sha256 -n shortcase -in "$in" -out "$out" >/dev/null
if [ -n "$ca" ]; then
    osslsigncode verify -CAfile "$ca" -in "$out" | grep -q 'Signature verification: ok'
fi
echo "signed $out"
