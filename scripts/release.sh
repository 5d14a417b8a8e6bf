#!/usr/bin/env bash
# A maker's release in one command: configures and builds the installer with
# the maker's deployment values, signs it with osslsigncode, verifies the
# signature, and makes one stamped, correctly named copy per partner with
# `quellox-stamp batch`.
#
#   scripts/release.sh [--dry-run] [--force] LIST OUTDIR
#
# LIST is the partner list (see examples/partners.csv); OUTDIR receives the
# copies and must not hold any of them yet (--force replaces them). Before
# anything is configured or built, the script checks the settings, the list
# and OUTDIR (`quellox-stamp batch --check`) and rehearses the signing on a
# small script, so that a wrong password or PIN, a certificate the
# verification does not trust, a bad row or an occupied OUTDIR is reported
# in seconds. Settings come from the environment:
#   QUELLOX_DOWNLOAD_URL, QUELLOX_LICENSE_URL, QUELLOX_ANALYTICS_URL,
#   QUELLOX_TRACKING_ID, QUELLOX_DOWNLOAD_BUILD_CODE (optional)
#       the deployment values (cmake/Deployment.cmake checks their shapes)
#   QUELLOX_SIGN_PKCS12 + QUELLOX_SIGN_PASSWORD
#       a PKCS#12 file holding the code-signing key and certificate, and its
#       password
#   QUELLOX_SIGN_PKCS11_MODULE + QUELLOX_SIGN_PKCS11_KEY (+ QUELLOX_SIGN_CERTS
#   or QUELLOX_SIGN_PKCS11_CERT, QUELLOX_SIGN_PASSWORD for the PIN,
#   QUELLOX_SIGN_PKCS11_ENGINE when OpenSSL needs its engine named)
#       a hardware token instead
#   QUELLOX_SIGNER_SHA256
#       the signer pin built into the installer: the SHA-256 fingerprints of
#       the certificates that sign the product's setup program (';' between
#       several, or 'any'); by default the fingerprint of the signing
#       certificate above; needed with a token that gives no certificate file
#   QUELLOX_TIMESTAMP_URL (optional)
#       an RFC 3161 time-stamping server
#   QUELLOX_SIGN_CAFILE (optional)
#       the certificate authorities the signature is verified against
#       (default: the system's)
#   QUELLOX_RELEASE_BUILD_DIR (optional)
#       the build folder, build/release-maker by default (apart from the
#       test build)
# --dry-run accepts the .example defaults and, without a signing identity,
# signs with a throwaway certificate made for the run: a rehearsal of the
# whole path whose copies must never be shipped.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage_text() {
  sed -n '/^#   scripts\/release.sh/p' "$0" | sed 's/^#   /usage: /'
  echo "(the comment at the top of scripts/release.sh lists the settings)"
}
usage() {
  echo "release: $*" >&2
  usage_text >&2
  exit 2
}

dry_run=0
force=()
positional=()
for argument in "$@"; do
  case "$argument" in
    --dry-run) dry_run=1 ;;
    --force) force=(--force) ;;
    -h | --help) usage_text; exit 0 ;;
    -*) usage "unknown option $argument" ;;
    *) positional+=("$argument") ;;
  esac
done
[ ${#positional[@]} -eq 2 ] || usage "LIST and OUTDIR are needed (${#positional[@]} given)"
list=$(realpath -m "${positional[0]}")
outdir=$(realpath -m "${positional[1]}")
build=$(realpath -m "${QUELLOX_RELEASE_BUILD_DIR:-$root/build/release-maker}")

refuse() {
  echo "release: $*" >&2
  exit 1
}

[ -f "$list" ] || refuse "$list: no such partner list"

# The deployment values: a real release names every one, and none may be an
# .example placeholder. Every fault is reported before the script stops. A
# value not set is removed from the build's cache (-U), so that its default
# applies again without configuring afresh.
deployment=()
faults=()
for name in QUELLOX_DOWNLOAD_URL QUELLOX_LICENSE_URL QUELLOX_ANALYTICS_URL QUELLOX_TRACKING_ID \
            QUELLOX_DOWNLOAD_BUILD_CODE; do
  value=${!name:-}
  if [ -n "$value" ]; then
    deployment+=("-D$name=$value")
  else
    deployment+=("-U$name")
  fi
  if [ $dry_run -eq 1 ] || [ "$name" = QUELLOX_DOWNLOAD_BUILD_CODE ]; then
    continue
  fi
  if [ -z "$value" ]; then
    faults+=("$name is not set: a release needs the maker's own value (--dry-run builds with the .example defaults)")
    continue
  fi
  host=$(printf '%s' "$value" | sed -E -n 's#^[A-Za-z]+://([^/:]+).*#\1#p')
  case "$host" in
    *.example) faults+=("$name '$value' is an .example placeholder (--dry-run accepts it)") ;;
  esac
  [ "$value" != "UA-00000000-0" ] || faults+=("$name '$value' is the placeholder tracking id (--dry-run accepts it)")
done
if [ ${#faults[@]} -gt 0 ]; then
  printf 'release: %s\n' "${faults[@]}" >&2
  exit 1
fi

mkdir -p "$build"
log="$build/release.log"
: >"$log"

step_name=release step_log=$log
source "$root/scripts/steps.sh"

# The signing identity and the options osslsigncode takes for it.
password_file="$build/.signing-password"
trap 'rm -f "$password_file"' EXIT
write_password() {
  (umask 077 && printf '%s' "${QUELLOX_SIGN_PASSWORD:-}" >"$password_file")
}
sign_options=()
certificate_pem=""
cafile=${QUELLOX_SIGN_CAFILE:-}
if [ -n "${QUELLOX_SIGN_PKCS12:-}" ]; then
  [ -f "$QUELLOX_SIGN_PKCS12" ] || refuse "QUELLOX_SIGN_PKCS12 '$QUELLOX_SIGN_PKCS12': no such file"
  write_password
  certificate_pem="$build/signer.pem"
  openssl pkcs12 -in "$QUELLOX_SIGN_PKCS12" -nokeys -clcerts -passin "file:$password_file" -out "$certificate_pem" \
    2>>"$log" || refuse "$QUELLOX_SIGN_PKCS12: cannot be read with QUELLOX_SIGN_PASSWORD (see $log)"
  sign_options=(-pkcs12 "$QUELLOX_SIGN_PKCS12" -readpass "$password_file")
elif [ -n "${QUELLOX_SIGN_PKCS11_MODULE:-}" ]; then
  [ -n "${QUELLOX_SIGN_PKCS11_KEY:-}" ] || refuse "QUELLOX_SIGN_PKCS11_MODULE is set but not QUELLOX_SIGN_PKCS11_KEY"
  sign_options=(-pkcs11module "$QUELLOX_SIGN_PKCS11_MODULE" -key "$QUELLOX_SIGN_PKCS11_KEY")
  [ -z "${QUELLOX_SIGN_PKCS11_ENGINE:-}" ] || sign_options+=(-pkcs11engine "$QUELLOX_SIGN_PKCS11_ENGINE")
  if [ -n "${QUELLOX_SIGN_CERTS:-}" ]; then
    sign_options+=(-certs "$QUELLOX_SIGN_CERTS")
    certificate_pem=$QUELLOX_SIGN_CERTS
  elif [ -n "${QUELLOX_SIGN_PKCS11_CERT:-}" ]; then
    sign_options+=(-pkcs11cert "$QUELLOX_SIGN_PKCS11_CERT")
  else
    refuse "a token needs QUELLOX_SIGN_CERTS (a certificate file) or QUELLOX_SIGN_PKCS11_CERT (its id on the token)"
  fi
  if [ -n "${QUELLOX_SIGN_PASSWORD:-}" ]; then
    write_password
    sign_options+=(-readpass "$password_file")
  fi
elif [ $dry_run -eq 1 ]; then
  certificate_pem="$build/throwaway-cert.pem"
  step "making a throwaway signing certificate (dry run)" \
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quellox Dry Run Publisher" \
      -addext extendedKeyUsage=codeSigning -keyout "$build/throwaway-key.pem" -out "$certificate_pem"
  sign_options=(-certs "$certificate_pem" -key "$build/throwaway-key.pem")
  cafile=${cafile:-$certificate_pem}
else
  refuse "no signing identity: set QUELLOX_SIGN_PKCS12 (and QUELLOX_SIGN_PASSWORD), or QUELLOX_SIGN_PKCS11_MODULE and QUELLOX_SIGN_PKCS11_KEY"
fi

# The signer pin: given, or the fingerprint of the signing certificate.
pin=${QUELLOX_SIGNER_SHA256:-}
if [ -z "$pin" ]; then
  [ -n "$certificate_pem" ] || refuse "QUELLOX_SIGNER_SHA256 is not set and the token gives no certificate file to take it from"
  pin=$(openssl x509 -in "$certificate_pem" -noout -fingerprint -sha256 | sed 's/^.*=//; s/://g')
  [ ${#pin} -eq 64 ] || refuse "$certificate_pem: no SHA-256 fingerprint could be read"
fi

# The list and OUTDIR, checked by the tool that will stamp the copies (a
# native build of a few files, seconds), before the installer is built.
step "building quellox-stamp" \
  bash -c 'cmake -S "$1" -B "$2/host" -G Ninja -DCMAKE_BUILD_TYPE=Release && cmake --build "$2/host" --target quellox-stamp' \
    _ "$root" "$build"
stamp_tool="$build/host/bin/quellox-stamp"
if ! "$stamp_tool" batch --check "${force[@]}" "$list" "$outdir" >>"$log"; then
  refuse "the partner list or OUTDIR is refused (above); nothing was built"
fi

# A token counts wrong PINs and locks itself after a few. Where OpenSC's
# pkcs11-tool is at hand, the token's flags are read first (that needs no
# PIN): a token whose user PIN is locked, or has one try left, is refused
# before the rehearsal below could spend that try.
if [ -n "${QUELLOX_SIGN_PKCS11_MODULE:-}" ] && command -v pkcs11-tool >/dev/null 2>&1; then
  label=$(printf '%s' "$QUELLOX_SIGN_PKCS11_KEY" | sed -n 's/^pkcs11:.*token=\([^;]*\).*$/\1/p')
  flags=$(pkcs11-tool --module "$QUELLOX_SIGN_PKCS11_MODULE" --list-token-slots 2>/dev/null |
    awk -v label="$label" '/token label/ { sub(/^[^:]*: */, ""); mine = (label == "" || $0 == label) }
                           /token flags/ && mine { sub(/^[^:]*: */, ""); print }')
  case "$flags" in
    *"user PIN locked"*)
      refuse "the token's user PIN is locked: unlock it with the token's own tools first; no PIN was tried" ;;
    *"user PIN final try"*)
      [ "${QUELLOX_SIGN_PIN_FINAL_TRY:-}" = 1 ] ||
        refuse "the token's user PIN has one try left, and a wrong one locks the token: check QUELLOX_SIGN_PASSWORD, then set QUELLOX_SIGN_PIN_FINAL_TRY=1 to spend it; no PIN was tried" ;;
  esac
fi

# The signing rehearsed on a small script with the same identity and the same
# verification: a wrong password or PIN (one attempt, the one the real
# signing would have spent) or a certificate the verification does not trust
# is found before the build.
verify_options=()
[ -z "$cafile" ] || verify_options+=(-CAfile "$cafile")
rehearsal="$build/signing-rehearsal.ps1"
printf 'Write-Output "signing rehearsal"\r\n' >"$rehearsal"
rm -f "$rehearsal.signed.ps1"
echo "== rehearsing the signing" >>"$log"
if ! osslsigncode sign "${sign_options[@]}" -h sha256 -in "$rehearsal" -out "$rehearsal.signed.ps1" >>"$log" 2>&1; then
  refuse "the signing identity cannot sign (a wrong QUELLOX_SIGN_PASSWORD or PIN, or a key the token does not hold?); nothing was built. osslsigncode said:
$(tail -n 5 "$log" | sed 's/^/  /')"
fi
if ! osslsigncode verify "${verify_options[@]}" -in "$rehearsal.signed.ps1" >>"$log" 2>&1; then
  hint=""
  if grep -qiE "self.signed|unable to get local issuer" "$log"; then
    hint=" The signing certificate is self-signed or its authority is not among the system's: set QUELLOX_SIGN_CAFILE to the certificate (or its authority's) file to verify against."
  fi
  refuse "a signature made with this identity does not verify.$hint Nothing was built; see $log"
fi
echo "release: the list, OUTDIR and the signing identity are in order"

step "configuring $build (signer pin ${pin:0:16}...)" \
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686-posix.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DQUELLOX_TESTS=OFF "${deployment[@]}" "-DQUELLOX_SIGNER_SHA256=$pin"
step "building the installer" cmake --build "$build" --target QuelloxSetup

signed="$build/QuelloxSetup-signed.exe"
timestamp=()
[ -z "${QUELLOX_TIMESTAMP_URL:-}" ] || timestamp=(-ts "$QUELLOX_TIMESTAMP_URL")
rm -f "$signed"
step "signing the installer${timestamp:+ (time stamp from $QUELLOX_TIMESTAMP_URL)}" \
  osslsigncode sign "${sign_options[@]}" -h sha256 -n "Quellox Setup" "${timestamp[@]}" \
    -in "$build/bin/QuelloxSetup.exe" -out "$signed"
step "verifying the signature" osslsigncode verify "${verify_options[@]}" -in "$signed"

echo "release: stamping the copies into $outdir"
if ! "$stamp_tool" batch "${force[@]}" "$signed" "$list" "$outdir" | sed 's/^/  /'; then
  refuse "no copy was made"
fi
if [ $dry_run -eq 1 ]; then
  echo "release: a dry run: these copies carry the .example addresses or a throwaway signature; do not ship them"
fi
