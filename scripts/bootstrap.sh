#!/bin/bash
# Installs what the build and the tests need, idempotently:
#  - Debian packages: the i686 mingw-w64 cross compiler, Wine (32 and 64 bit),
#    zlib for the cross build, GoogleTest sources, CMake, Python 3, OpenSSL's
#    command-line tool and libcrypto, clang with libFuzzer (native tests and
#    fuzzing), Debian's libcurl of the launcher's version (the fuzz target that
#    compares the server rule with libcurl's URL parser), wixl and msitools
#    (MSI packages) and osslsigncode (Authenticode signing), tinyproxy (the
#    proxy tests start their own, never the service), winbind (Samba's
#    ntlm_auth, which Wine's NTLM login needs), Xvfb and ImageMagick (the
#    window tests' X server and screenshots);
#  - libcurl, cross-built static from Debian's source package (Schannel, zlib);
#  - OpenSSL's applink source, from OpenSSL's source package.
# Built dependencies go to a cache outside the source tree ($KOVREL_DEPS,
# default ~/.cache/kovrel-deps), so a second run, or a fresh clone on the same
# machine, takes seconds. Prints nothing but progress; exits non-zero on failure.
# With --bench, also what bench/run.sh needs: nginx-light (never left running
# as a service), hyperfine, GNU time, and curl's own command-line tool built
# from the same source and options as libcurl. --no-native leaves out clang,
# libFuzzer and libcrypto's headers, --no-package wixl, msitools and
# osslsigncode, for a build without those parts (see build.sh).
set -euo pipefail
bench= native=1 package=1
for arg in "$@"; do
    case $arg in
    --bench) bench=1 ;;
    --no-native) native= ;;
    --no-package) package= ;;
    *) echo "usage: $0 [--bench] [--no-native] [--no-package]" >&2; exit 2 ;;
    esac
done

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=versions.env
. "$here/versions.env"
deps=${KOVREL_DEPS:-$HOME/.cache/kovrel-deps}
export DEBIAN_FRONTEND=noninteractive

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
log() { echo "bootstrap: $*"; }

packages=(g++-mingw-w64-i686 libz-mingw-w64-dev wine wine32:i386 wine64
          googletest cmake make python3 openssl dpkg-dev xz-utils
          tinyproxy winbind xvfb imagemagick)
[ -z "$native" ] || packages+=(clang libfuzzer-14-dev libssl-dev libcurl4-openssl-dev)
[ -z "$package" ] || packages+=(wixl msitools osslsigncode)
[ -z "$bench" ] || packages+=(nginx-light hyperfine time)

apt_updated=
apt_update() {
    [ -n "$apt_updated" ] && return
    as_root apt-get update -qq
    apt_updated=1
}

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    log "installing ${missing[*]}"
    dpkg --print-foreign-architectures | grep -qx i386 || as_root dpkg --add-architecture i386
    apt_update
    # No service starts during the install: a system nginx on port 80 is not
    # wanted, the benchmark runs its own.
    no_start=
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\nexit 101\n' | as_root tee /usr/sbin/policy-rc.d >/dev/null
        as_root chmod 755 /usr/sbin/policy-rc.d
        no_start=1
    fi
    rc=0
    as_root apt-get install -y -qq "${missing[@]}" >/dev/null || rc=$?
    [ -z "$no_start" ] || as_root rm -f /usr/sbin/policy-rc.d
    [ "$rc" = 0 ] || exit "$rc"
fi

# Source packages need deb-src entries.
enable_sources() {
    local f=/etc/apt/sources.list.d/debian.sources
    if [ -f "$f" ] && ! grep -q '^Types:.*deb-src' "$f"; then
        as_root sed -i 's/^Types: deb$/Types: deb deb-src/' "$f"
        apt_updated=
    fi
    apt_update
}

# Newest Debian revision of an upstream version, e.g. 7.88.1 -> 7.88.1-10+deb12u15.
debian_version() {
    apt-cache showsrc "$1" | sed -n 's/^Version: //p' | grep "^$2-" | sort -V | tail -1
}

# --- libcurl -----------------------------------------------------------------
# One set of options for the library and for the benchmark's curl tool.
curl_options=(--host=i686-w64-mingw32
    --with-schannel --without-openssl --with-zlib=/usr/i686-w64-mingw32
    --disable-shared --enable-static --disable-pthreads
    --disable-ftp --disable-file --disable-ldap --disable-ldaps
    --disable-rtsp --disable-dict --disable-telnet --disable-tftp
    --disable-pop3 --disable-imap --disable-smb --disable-smtp
    --disable-gopher --disable-mqtt --disable-manual
    --without-libpsl --without-brotli --without-zstd --without-nghttp2
    --without-libidn2 --without-librtmp --without-libssh2)

# Configures Debian's curl source of revision $1 with the options above and
# prefix $2, and runs the build steps $3 (a function) inside the source tree;
# quiet unless it fails, when the end of its log says why.
build_curl() {
    local ver=$1 prefix=$2 steps=$3 work=$deps/src/curl-$1 srcdir
    enable_sources
    rm -rf "$work" && mkdir -p "$work"
    (cd "$work" && apt-get source -qq curl="$ver" >/dev/null 2>&1) ||
        { log "apt-get source curl=$ver failed"; exit 1; }
    srcdir=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'curl-*' | head -1)
    if ! (cd "$srcdir" && ./configure --prefix="$prefix" "${curl_options[@]}" && "$steps") \
        > "$work/build.log" 2>&1; then
        tail -30 "$work/build.log"
        log "curl build failed"
        exit 1
    fi
    rm -rf "$work"
}

curl_prefix=$deps/curl-$CURL_VERSION-i686-w64-mingw32
library_steps() { make -j"$(nproc)" -C lib && make -C lib install && make -C include install; }
if [ ! -f "$curl_prefix/lib/libcurl.a" ]; then
    enable_sources
    ver=$(debian_version curl "$CURL_VERSION")
    [ -n "$ver" ] || { log "no curl $CURL_VERSION source package"; exit 1; }
    log "building curl $ver"
    build_curl "$ver" "$curl_prefix" library_steps
    echo "$ver" > "$curl_prefix/DEBIAN_VERSION"
fi

# --- curl's command-line tool, for the benchmark --------------------------------
# From the very revision the library was built from; linked statically, so it
# runs under Wine beside the launcher without DLLs of its own.
curl_tool=$deps/curl-tool-$CURL_VERSION-i686-w64-mingw32
tool_steps() {
    make -j"$(nproc)" -C lib && make -C src LDFLAGS=-all-static && cp src/curl.exe "$curl_tool/"
}
if [ -n "$bench" ] && [ ! -f "$curl_tool/curl.exe" ]; then
    ver=$(cat "$curl_prefix/DEBIAN_VERSION")
    log "building curl's tool $ver"
    mkdir -p "$curl_tool"
    build_curl "$ver" "$curl_tool" tool_steps
    echo "$ver" > "$curl_tool/DEBIAN_VERSION"
fi

# --- OpenSSL applink source -------------------------------------------------------
applink=$deps/openssl-$OPENSSL_VERSION/include/openssl/applink.c
if [ ! -f "$applink" ]; then
    enable_sources
    ver=$(debian_version openssl "$OPENSSL_VERSION")
    [ -n "$ver" ] || { log "no openssl $OPENSSL_VERSION source package"; exit 1; }
    log "fetching applink.c from openssl $ver"
    work=$deps/src/openssl-$ver
    rm -rf "$work" && mkdir -p "$work"
    # The security suite may name a .dsc that is gone; the orig tarball is all we need.
    (cd "$work" && apt-get source -qq --download-only openssl="$ver" >/dev/null 2>&1) || true
    tarball=$(find "$work" -name "openssl_${OPENSSL_VERSION}.orig.tar.*" | head -1)
    [ -n "$tarball" ] || { log "openssl orig tarball not downloaded"; exit 1; }
    mkdir -p "$(dirname "$applink")"
    tar -xf "$tarball" -O --wildcards '*/ms/applink.c' > "$applink.tmp"
    [ -s "$applink.tmp" ] || { log "ms/applink.c not found in $tarball"; exit 1; }
    mv "$applink.tmp" "$applink"
    echo "$ver" > "$deps/openssl-$OPENSSL_VERSION/DEBIAN_VERSION"
    rm -rf "$work"
fi

log "ready: $curl_prefix ($(cat "$curl_prefix/DEBIAN_VERSION")), applink from openssl $(cat "$deps/openssl-$OPENSSL_VERSION/DEBIAN_VERSION")"
[ -z "$bench" ] || log "ready for the benchmark: $curl_tool/curl.exe, $(nginx -v 2>&1), $(hyperfine --version)"
