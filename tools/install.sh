# Sourced by setup.sh: install PACKAGE... installs those that are missing, as root, with no
# terminal. Nothing is asked of apt-get when none is missing. A package index caught mid-sync
# (an update that fails, or candidates the resolver cannot match across architectures) is
# ridden out: the update is tried three times, then the lists at hand are used, and a failed
# install is tried once more from the release's own suite. Returns non-zero only when the
# packages still cannot be installed, naming them.
install() {
    local p missing=() try suite
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    export DEBIAN_FRONTEND=noninteractive
    for try in 1 2 3; do
        apt-get update -q && break
        if [ "$try" = 3 ]; then
            echo "setup: the package index could not be updated; going on with the lists at hand" >&2
        else
            sleep 5
        fi
    done
    apt-get install -y -q --no-install-recommends "${missing[@]}" && return 0
    suite=$(. /etc/os-release && echo "${VERSION_CODENAME-}") || suite=
    echo "setup: the install failed; trying again from the release's own suite ($suite)" >&2
    [ -n "$suite" ] && apt-get install -y -q --no-install-recommends -t "$suite" "${missing[@]}" &&
        return 0
    echo "setup: could not install: ${missing[*]}" >&2
    return 1
}
