# Shared by the scripts: installs missing Debian packages and builds.

as_root() {
    if [ "$(id -u)" = 0 ]; then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo "$@"
    else
        echo "$0: need root to install: $*" >&2
        exit 1
    fi
}

# apt_get ARGS...: apt-get as root, without questions; it waits for another
# apt-get (a second script, an unattended upgrade) rather than failing on
# its lock.
apt_get() {
    as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"
}

apt_updated=no
# install_missing PACKAGE... : installs those of the packages that are not
# installed yet.
install_missing() {
    local missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== installing ${missing[*]}"
    if [ $apt_updated = no ]; then
        apt_get update -qq
        apt_updated=yes
    fi
    apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

build_tools=(cmake make g++ libc6-dev)

# The presets fix no job count: one job per core, unless the caller chose.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(nproc)}

# step "what": says what starts now; step_done: how long it took. Long work
# (package installs, builds, Wine, the emulated PC) is never silent.
step_started=0
step() {
    step_started=$SECONDS
    echo "== $*"
}
step_done() {
    echo "   done in $((SECONDS - step_started)) s"
}

# configure_and_build PRESET [cmake options...] [-- targets...]: configures
# and builds a preset; its output goes to BUILD_DIR/build.log and is shown
# only when something fails.
configure_and_build() {
    local preset=$1 options=() targets=()
    shift
    while [ $# -gt 0 ] && [ "$1" != -- ]; do options+=("$1"); shift; done
    [ $# -gt 0 ] && shift && targets=("$@")
    local log
    log=$(mktemp)
    if ! { cmake --preset "$preset" "${options[@]}" &&
        cmake --build --preset "$preset" ${targets[@]:+--target "${targets[@]}"}; } >"$log" 2>&1; then
        cat "$log"
        rm -f "$log"
        echo "$0: the $preset build failed (above)" >&2
        return 1
    fi
    rm -f "$log"
}
