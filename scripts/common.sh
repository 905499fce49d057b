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
        as_root apt-get -o DPkg::Lock::Timeout=600 update -qq
        apt_updated=yes
    fi
    # Waits for another apt-get (a second script, an unattended upgrade)
    # rather than failing on its lock.
    as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 \
        install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

build_tools=(cmake make g++ libc6-dev)
