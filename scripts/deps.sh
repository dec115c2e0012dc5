#!/usr/bin/env bash
# Installs what kerquill needs to build and test:
#   - Debian packages of this machine (toolchain, GoogleTest, Dovecot for the
#     IMAP tests, s-nail to make test mail; for the command-line tool toml++
#     and CLI11, help2man for its man page, Mono's C# compiler for the C#
#     example, zlib for COMPRESS=DEFLATE, OpenSSL's libcrypto for SHA-256),
#   - Mbed TLS 3.6, built from source as static PIC libraries with threading on
#     (bookworm only has 2.28),
#   - yyjson 0.12, taken from newer Debian binary packages (bookworm has 0.6).
# With --mingw it also installs mingw-w64 and Wine and cross-builds for 64-bit
# Windows, into .deps/mingw/prefix: Mbed TLS 3.6 (threading on, through an
# SRW-lock layer the library installs), yyjson (0.10 or newer) from its Debian source and
# GoogleTest from Debian's googletest sources; zlib is Debian's mingw-w64 build.
# With --mingw-check it only answers, by its exit status, whether mingw-w64
# and Wine are here or can be installed (scripts/test.sh asks before running
# the Windows leg).
# Everything it fetches or builds stays in .deps/ at the repo root.
# Safe to run again: once done, a rerun only checks and exits.
set -euo pipefail

MINGW=0
CHECK_MINGW=0
for arg in "$@"; do
    case $arg in
        --mingw) MINGW=1 ;;
        --mingw-check) CHECK_MINGW=1 ;;
        *) printf 'deps: unknown option %s\n' "$arg" >&2; exit 2 ;;
    esac
done

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DEPS=$ROOT/.deps
PREFIX=$DEPS/prefix
LOGS=$DEPS/logs
APTDIR=$DEPS/apt
DL=$DEPS/download
STAMP=$DEPS/done.stamp
# Bump when the recipe below changes, so old .deps/ trees get rebuilt.
RECIPE="recipe=3 mbedtls=3.6 yyjson=0.12"

SYSTEM_PACKAGES=(cmake ninja-build g++ clang libclang-rt-14-dev bzip2 xz-utils libgtest-dev dovecot-imapd
                 openssl python3 ca-certificates s-nail
                 libtomlplusplus-dev libcli11-dev help2man mono-mcs
                 libcurl4-openssl-dev zlib1g-dev libssl-dev)
# The Windows cross build and the Wine it runs under (64-bit only).
MINGW_PACKAGES=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
                wine wine64 googletest libz-mingw-w64-dev)
((MINGW)) && SYSTEM_PACKAGES+=("${MINGW_PACKAGES[@]}")
MINGW_PREFIX=$DEPS/mingw/prefix
MINGW_STAMP=$DEPS/mingw/done.stamp
MINGW_RECIPE="recipe=1 mbedtls=3.6 yyjson=0.10+ gtest=debian"
MINGW_TOOLCHAIN=$ROOT/cmake/mingw/toolchain.cmake

export DEBIAN_FRONTEND=noninteractive

say() { printf 'deps: %s\n' "$*"; }
die() { printf 'deps: error: %s\n' "$*" >&2; exit 1; }

# run LOGNAME CMD...: keep tool chatter out of the terminal, show it on failure.
run() {
    local log=$LOGS/$1.log
    shift
    if ! "$@" >>"$log" 2>&1; then
        printf 'deps: command failed: %s\n--- last lines of %s ---\n' "$*" "$log" >&2
        tail -n 40 "$log" >&2
        exit 1
    fi
}

print_result() {
    say "ready: -DCMAKE_PREFIX_PATH=\"$PREFIX;$PREFIX/usr\"  (yyjson runtime: $(yyjson_libdir))"
}

yyjson_libdir() {
    local so
    for so in "$PREFIX"/usr/lib/*/libyyjson.so.0; do
        [[ -e $so ]] && { dirname "$so"; return; }
    done
    echo "$PREFIX/usr/lib"
}

results_present() {
    local libdir
    libdir=$(yyjson_libdir)
    [[ -f $PREFIX/lib/libmbedtls.a && -f $PREFIX/lib/libmbedx509.a && -f $PREFIX/lib/libmbedcrypto.a
       && -f $PREFIX/lib/cmake/MbedTLS/MbedTLSConfig.cmake
       && -e $libdir/libyyjson.so.0 && -e $libdir/libyyjson.so
       && -f $libdir/cmake/yyjson/yyjson-config.cmake && -f $PREFIX/usr/include/yyjson.h ]]
}

# ---------------------------------------------------------------- system packages

missing_packages() {
    local pkg status
    for pkg in "${SYSTEM_PACKAGES[@]}"; do
        status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$pkg" 2>/dev/null || true)
        [[ $status == ii* ]] || printf '%s\n' "$pkg"
    done
}

install_system_packages() {
    local missing
    mapfile -t missing < <(missing_packages)
    ((${#missing[@]})) || return 0
    [[ $(id -u) == 0 ]] || die "must run as root to install: ${missing[*]}"

    mkdir -p "$LOGS"
    say "installing Debian packages: ${missing[*]}"
    # The tests start their own Dovecot on loopback; the packaged system
    # service must not come up and take ports 143/993.
    local policy=/usr/sbin/policy-rc.d made_policy=0
    if [[ ! -e $policy ]]; then
        printf '#!/bin/sh\nexit 101\n' >"$policy"
        chmod 755 "$policy"
        made_policy=1
        trap 'rm -f /usr/sbin/policy-rc.d' EXIT
        trap 'exit 130' INT TERM HUP
    fi
    run apt-system apt-get -o DPkg::Lock::Timeout=300 update
    run apt-system apt-get -o DPkg::Lock::Timeout=300 install -y --no-install-recommends \
        -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold "${missing[@]}"
    if ((made_policy)); then
        rm -f "$policy"
        trap - EXIT INT TERM HUP
    fi
    if [[ " ${missing[*]} " == *" dovecot-imapd "* ]] && service dovecot status >/dev/null 2>&1; then
        say "stopping the system Dovecot service started by the install"
        service dovecot stop >>"$LOGS/apt-system.log" 2>&1 || true
    fi
}

# ---------------------------------------------------------------- private apt tree

# Print the Debian mirror this machine's apt already uses for its main suite.
debian_mirror() {
    local codename
    codename=$( (. /etc/os-release && printf '%s' "${VERSION_CODENAME:-}") 2>/dev/null || true)
    local files=()
    local f
    for f in /etc/apt/sources.list.d/*.sources; do [[ -f $f ]] && files+=("$f"); done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do [[ -f $f ]] && files+=("$f"); done
    ((${#files[@]})) || return 0
    # Prints "score uri" per candidate: 2 = lists the release's own suite,
    # 1 = some other plain suite (no -security/-updates/...). Best one wins.
    awk -v want="$codename" '
        function judge(types, uris, suites,   n, s, i, best, u) {
            if (types !~ /(^|[ \t])deb([ \t]|$)/) return
            split(uris, u, /[ \t]+/)
            if (u[1] == "") return
            n = split(suites, s, /[ \t]+/)
            best = 0
            for (i = 1; i <= n; i++) {
                if (s[i] == "") continue
                if (want != "" && s[i] == want) best = 2
                else if (s[i] !~ /[-\/]/ && best < 1) best = 1
            }
            if (best) print best, u[1]
        }
        function flush() {
            if (enabled) judge(types, uris, suites)
            types = uris = suites = ""; enabled = 1; last = ""
        }
        FNR == 1 { flush(); deb822 = (FILENAME ~ /\.sources$/) }
        deb822 {
            if ($0 ~ /^[ \t]*$/) { flush(); next }
            if ($0 ~ /^#/) next
            if ($0 ~ /^[ \t]/) {            # continuation line
                if (last == "uris") uris = uris " " $0
                else if (last == "suites") suites = suites " " $0
                next
            }
            key = tolower($0); sub(/:.*/, "", key)
            val = $0; sub(/^[^:]*:[ \t]*/, "", val)
            last = key
            if (key == "types") types = val
            else if (key == "uris") uris = val
            else if (key == "suites") suites = val
            else if (key == "enabled") enabled = (tolower(val) !~ /^(no|false|0)/)
            next
        }
        {
            line = $0
            sub(/#.*/, "", line)
            gsub(/\[[^]]*\]/, "", line)     # drop [ option=... ] blocks
            n = split(line, w, /[ \t]+/)
            i = 1; if (w[1] == "") i = 2
            if (w[i] == "deb") judge("deb", w[i + 1], w[i + 2])
        }
        END { flush() }
    ' "${files[@]}" | sort -s -k1,1nr | awk 'NR == 1 { print $2 }'
}

APT_OPTS=()
setup_private_apt() {
    local mirror keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    mirror=$(debian_mirror)
    [[ -n $mirror ]] || die "no Debian mirror found in /etc/apt/sources.list{,.d}"
    mirror=${mirror%/}
    [[ -f $keyring ]] || die "$keyring missing (package debian-archive-keyring)"

    mkdir -p "$APTDIR/lists/partial" "$APTDIR/cache/archives/partial"
    local want suite
    want=""
    for suite in trixie sid; do
        want+="deb [signed-by=$keyring] $mirror $suite main"$'\n'
        want+="deb-src [signed-by=$keyring] $mirror $suite main"$'\n'
    done

    APT_OPTS=(
        -o Dir::Etc::sourcelist="$APTDIR/sources.list"
        -o Dir::Etc::sourceparts=-
        -o Dir::State::Lists="$APTDIR/lists"
        -o Dir::Cache="$APTDIR/cache"
        -o APT::Get::List-Cleanup=0
        # .deps/ may sit where the unprivileged _apt user cannot write.
        -o APT::Sandbox::User=root
        -o Acquire::Languages=none
        -o Acquire::Check-Valid-Until=false
    )

    # Refresh the indexes only when the source list is new or changed.
    if [[ ! -f $APTDIR/updated.stamp || ! -f $APTDIR/sources.list ]] \
        || [[ $(cat "$APTDIR/sources.list") != "${want%$'\n'}" ]]; then
        printf '%s' "$want" >"$APTDIR/sources.list"
        rm -f "$APTDIR/updated.stamp"
        say "fetching package indexes for trixie and sid (private apt tree)"
        run apt-private apt-get "${APT_OPTS[@]}" update
        touch "$APTDIR/updated.stamp"
    fi
}

# ---------------------------------------------------------------- Mbed TLS

build_mbedtls() {
    local dl=$DL/mbedtls src=$DEPS/src/mbedtls build=$DEPS/build/mbedtls
    mkdir -p "$dl"
    say "downloading Mbed TLS source"
    if ! (cd "$dl" && apt-get "${APT_OPTS[@]}" source --download-only mbedtls/trixie) >>"$LOGS/mbedtls-download.log" 2>&1; then
        say "no Mbed TLS source in trixie, trying sid"
        (cd "$dl" && run mbedtls-download apt-get "${APT_OPTS[@]}" source --download-only mbedtls/sid)
    fi

    local orig f
    orig=$(for f in "$dl"/mbedtls_3.6.*.orig.tar.*; do
               [[ -f $f && $f != *.asc ]] && printf '%s\n' "${f##*/}"
           done | sort -V | tail -n 1)
    [[ -n $orig ]] || die "no mbedtls 3.6 .orig tarball in $dl (see $LOGS/mbedtls-download.log)"

    say "unpacking $orig"
    rm -rf "$src" "$build"
    mkdir -p "$src"
    tar -xf "$dl/$orig" -C "$src" --strip-components=1

    # The archiver shares one TLS config and RNG between worker threads.
    local cfg=$src/include/mbedtls/mbedtls_config.h opt
    for opt in MBEDTLS_THREADING_C MBEDTLS_THREADING_PTHREAD; do
        sed -i -E "s|^[[:space:]]*//[[:space:]]*#define[[:space:]]+$opt([[:space:]]*)\$|#define $opt|" "$cfg"
        grep -Eq "^#define[[:space:]]+$opt([[:space:]]|\$)" "$cfg" || die "could not enable $opt in $cfg"
    done

    say "building Mbed TLS (log: .deps/logs/mbedtls-build.log)"
    run mbedtls-build cmake -G Ninja -S "$src" -B "$build" \
        -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$PREFIX" \
        -DCMAKE_INSTALL_LIBDIR=lib \
        -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
        -DUSE_STATIC_MBEDTLS_LIBRARY=ON \
        -DUSE_SHARED_MBEDTLS_LIBRARY=OFF \
        -DENABLE_PROGRAMS=OFF \
        -DENABLE_TESTING=OFF \
        -DMBEDTLS_FATAL_WARNINGS=OFF \
        -DGEN_FILES=OFF
    run mbedtls-build cmake --build "$build"
    run mbedtls-build cmake --install "$build"
}

# ---------------------------------------------------------------- yyjson

install_yyjson() {
    local dl=$DL/yyjson
    rm -rf "$dl"
    mkdir -p "$dl"
    say "downloading yyjson packages from sid"
    (cd "$dl" && run yyjson apt-get "${APT_OPTS[@]}" download libyyjson0/sid libyyjson-dev/sid)

    local deb version=""
    rm -rf "${PREFIX:?}/usr"
    for deb in "$dl"/*.deb; do
        run yyjson dpkg -x "$deb" "$PREFIX"
        version=$(dpkg-deb -f "$deb" Version)
    done
    version=${version%%[+~-]*}
    [[ $version == 0.1[2-9].* || $version == [1-9]* ]] || die "yyjson $version is older than 0.12"

    local libdir
    libdir=$(yyjson_libdir)
    [[ -e $libdir/libyyjson.so.0 ]] || die "libyyjson.so.0 missing after unpacking"
    [[ -e $libdir/libyyjson.so ]] || ln -s libyyjson.so.0 "$libdir/libyyjson.so"

    # Debian ships no version file, so find_package(yyjson 0.12) would refuse
    # the package; add one. 0.x releases break API between minors.
    local helper=$dl/version-file.cmake
    cat >"$helper" <<'EOF'
include(CMakePackageConfigHelpers)
write_basic_package_version_file("${OUT}" VERSION "${VER}" COMPATIBILITY SameMinorVersion)
EOF
    run yyjson cmake -DOUT="$libdir/cmake/yyjson/yyjson-config-version.cmake" -DVER="$version" -P "$helper"
    # The pkg-config file names /usr; make it relative to where it now lives.
    local pc=$libdir/pkgconfig/yyjson.pc
    if [[ -f $pc ]]; then
        sed -i -e 's|^prefix=.*|prefix=${pcfiledir}/../../..|' \
               -e 's|^exec_prefix=.*|exec_prefix=${prefix}|' \
               -e 's|^libdir=/usr/|libdir=${prefix}/|' \
               -e 's|^includedir=/usr/|includedir=${prefix}/|' "$pc"
    fi
}

# ---------------------------------------------------------------- Windows cross build

mingw_results_present() {
    local p=$MINGW_PREFIX
    [[ -f $p/lib/libmbedtls.a && -f $p/lib/libmbedx509.a && -f $p/lib/libmbedcrypto.a
       && -f $p/lib/cmake/MbedTLS/MbedTLSConfig.cmake && -f $p/include/threading_alt.h
       && -f $p/lib/libyyjson.a && -f $p/include/yyjson.h && -f $p/lib/cmake/yyjson/yyjson-config.cmake
       && -f $p/lib/libgtest.a && -f $p/lib/libgtest_main.a && -f $p/lib/cmake/GTest/GTestConfig.cmake ]]
}

# mingw_cmake LOGNAME SRC BUILD [cmake options...]: configure, build, install.
mingw_cmake() {
    local log=$1 src=$2 build=$3
    shift 3
    rm -rf "$build"
    run "$log" cmake -G Ninja -S "$src" -B "$build" \
        -DCMAKE_TOOLCHAIN_FILE="$MINGW_TOOLCHAIN" \
        -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$MINGW_PREFIX" \
        -DCMAKE_INSTALL_LIBDIR=lib \
        -DBUILD_SHARED_LIBS=OFF "$@"
    run "$log" cmake --build "$build" -j 2
    run "$log" cmake --install "$build"
}

mingw_build_mbedtls() {
    local dl=$DL/mbedtls src=$DEPS/mingw/src/mbedtls orig f
    orig=$(for f in "$dl"/mbedtls_3.6.*.orig.tar.*; do
               [[ -f $f && $f != *.asc ]] && printf '%s\n' "${f##*/}"
           done | sort -V | tail -n 1)
    [[ -n $orig ]] || die "no mbedtls 3.6 .orig tarball in $dl"
    say "cross-building Mbed TLS for Windows (log: .deps/logs/mingw-mbedtls.log)"
    rm -rf "$src"
    mkdir -p "$src" "$MINGW_PREFIX/include"
    tar -xf "$dl/$orig" -C "$src" --strip-components=1
    # Threads on, with the mutex type of cmake/mingw/threading_alt.h: there is
    # no pthread on Windows and winpthread must not become a DLL dependency.
    local cfg=$src/include/mbedtls/mbedtls_config.h opt
    for opt in MBEDTLS_THREADING_C MBEDTLS_THREADING_ALT; do
        sed -i -E "s|^[[:space:]]*//[[:space:]]*#define[[:space:]]+$opt([[:space:]]*)\$|#define $opt|" "$cfg"
        grep -Eq "^#define[[:space:]]+$opt([[:space:]]|\$)" "$cfg" || die "could not enable $opt in $cfg"
    done
    cp "$ROOT/cmake/mingw/threading_alt.h" "$MINGW_PREFIX/include/threading_alt.h"
    mingw_cmake mingw-mbedtls "$src" "$DEPS/mingw/build/mbedtls" \
        -DCMAKE_C_FLAGS="-I$MINGW_PREFIX/include" \
        -DUSE_STATIC_MBEDTLS_LIBRARY=ON -DUSE_SHARED_MBEDTLS_LIBRARY=OFF \
        -DENABLE_PROGRAMS=OFF -DENABLE_TESTING=OFF -DMBEDTLS_FATAL_WARNINGS=OFF -DGEN_FILES=OFF
}

# The mirror may serve only the upstream tarball of a release (its .dsc and
# Debian diff missing), and only of an older one than the Linux tree's binary
# packages: take the newest tarball any suite gives. The code needs 0.10:
# every yyjson function it calls is there.
mingw_build_yyjson() {
    local dl=$DEPS/mingw/download/yyjson src=$DEPS/mingw/src/yyjson f orig suite
    rm -rf "$dl" "$src"
    mkdir -p "$dl" "$src"
    for suite in sid trixie; do
        say "downloading yyjson source from $suite"
        (cd "$dl" && apt-get "${APT_OPTS[@]}" source --download-only "yyjson/$suite") >>"$LOGS/mingw-yyjson.log" 2>&1 || true
        compgen -G "$dl/yyjson_*.orig.tar.*" >/dev/null && break
    done
    orig=$(for f in "$dl"/yyjson_*.orig.tar.*; do [[ -f $f && $f != *.asc ]] && printf '%s\n' "$f"; done | sort -V | tail -n 1)
    [[ -n $orig ]] || die "no yyjson source tarball in $dl (see $LOGS/mingw-yyjson.log)"
    local version=${orig##*/yyjson_}
    version=${version%%[+~-]*}
    version=${version%.orig.tar.*}
    [[ $version == 0.1[0-9].* || $version == [1-9]* ]] || die "yyjson $version is older than 0.10"
    tar -xf "$orig" -C "$src" --strip-components=1
    say "cross-building yyjson $version for Windows"
    mingw_cmake mingw-yyjson "$src" "$DEPS/mingw/build/yyjson" -DYYJSON_BUILD_TESTS=OFF
    # Same version file as the Linux tree gets (see install_yyjson).
    local helper=$dl/version-file.cmake
    printf '%s\n' 'include(CMakePackageConfigHelpers)' \
        'write_basic_package_version_file("${OUT}" VERSION "${VER}" COMPATIBILITY SameMinorVersion)' >"$helper"
    [[ -f $MINGW_PREFIX/lib/cmake/yyjson/yyjson-config-version.cmake ]] \
        || run mingw-yyjson cmake -DOUT="$MINGW_PREFIX/lib/cmake/yyjson/yyjson-config-version.cmake" -DVER="$version" -P "$helper"
}

mingw_build_gtest() {
    [[ -f /usr/src/googletest/CMakeLists.txt ]] || die "/usr/src/googletest missing (package googletest)"
    say "cross-building GoogleTest for Windows"
    mingw_cmake mingw-gtest /usr/src/googletest "$DEPS/mingw/build/gtest" -DBUILD_GMOCK=OFF -Dgtest_disable_pthreads=OFF
}

mingw_deps() {
    if [[ -f $MINGW_STAMP && $(cat "$MINGW_STAMP") == "$MINGW_RECIPE" ]] && mingw_results_present; then
        say "ready (Windows): -DCMAKE_TOOLCHAIN_FILE=cmake/mingw/toolchain.cmake -DKQ_DEPS_PREFIX=$MINGW_PREFIX"
        return
    fi
    rm -f "$MINGW_STAMP" "$LOGS"/mingw-*.log
    mkdir -p "$LOGS" "$DEPS/mingw"
    setup_private_apt
    mingw_build_mbedtls
    mingw_build_yyjson
    mingw_build_gtest
    mingw_results_present || die "Windows build finished but expected files are missing under $MINGW_PREFIX"
    printf '%s' "$MINGW_RECIPE" >"$MINGW_STAMP"
    say "ready (Windows): -DCMAKE_TOOLCHAIN_FILE=cmake/mingw/toolchain.cmake -DKQ_DEPS_PREFIX=$MINGW_PREFIX"
}

# Installed, or known to apt with a candidate and we may install (root).
mingw_available() {
    local pkg status
    for pkg in "${MINGW_PACKAGES[@]}"; do
        status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$pkg" 2>/dev/null || true)
        [[ $status == ii* ]] && continue
        [[ $(id -u) == 0 ]] || return 1
        apt-cache policy "$pkg" 2>/dev/null | grep -q 'Candidate: [^(]' || return 1
    done
    return 0
}

# ---------------------------------------------------------------- main

if ((CHECK_MINGW)); then
    mingw_available
    exit
fi

install_system_packages

if [[ -f $STAMP && $(cat "$STAMP") == "$RECIPE" ]] && results_present; then
    print_result
    ((MINGW)) && mingw_deps
    exit 0
fi

mkdir -p "$LOGS" "$DL"
rm -f "$STAMP" "$LOGS"/apt-private.log "$LOGS"/mbedtls-*.log "$LOGS"/yyjson.log
setup_private_apt
build_mbedtls
install_yyjson
results_present || die "install finished but expected files are missing under $PREFIX"
printf '%s' "$RECIPE" >"$STAMP"
print_result
((MINGW)) && mingw_deps
exit 0
