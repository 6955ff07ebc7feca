#!/usr/bin/env bash
# The set-up's install step (tools/install.sh) against stand-in apt-get, dpkg-query and sleep
# commands: a package index caught mid-sync, an install that cannot be done, nothing missing.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT
# apt-get logs each call; update exits $UPDATE, an install $INSTALL (then $INSTALL_T with -t).
cat > "$fake/apt-get" <<'STUB'
#!/bin/sh
echo "$*" >> "$LOG"
case "$1 $*" in
    update*) exit "$UPDATE" ;;
    *" -t "*) exit "$INSTALL_T" ;;
    *) [ "$INSTALL" = 0 ] || echo "E: Error, pkgProblemResolver::Resolve generated breaks" >&2
       exit "$INSTALL" ;;
esac
STUB
# dpkg-query: only the packages in $INSTALLED are installed.
cat > "$fake/dpkg-query" <<'STUB'
#!/bin/sh
for p in $INSTALLED; do [ "$p" = "$3" ] && { printf 'install ok installed'; exit 0; }; done
exit 1
STUB
printf '#!/bin/sh\n' > "$fake/sleep"
chmod +x "$fake"/*
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")

failed=0
# run NAME UPDATE INSTALL INSTALL_T INSTALLED: the install step as setup.sh runs it (errexit).
run() {
    : > "$fake/log"
    out=$(PATH=$fake:$PATH LOG=$fake/log UPDATE=$2 INSTALL=$3 INSTALL_T=$4 INSTALLED=$5 \
          bash -c 'set -euo pipefail; . "$1/tools/install.sh"; install wine socat' _ "$top" 2>&1)
    rc=$?
    calls=$(cat "$fake/log")
}
check() {
    if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; printf '%s\n' "exit $rc" "$out" "$calls"; failed=$((failed + 1)); fi
}

run mid-sync 100 100 0 ""
check "a failed update tried three times, the install again from $codename, exit 0" \
    '[ $rc = 0 ] && [ "$(grep -c "^update" <<<"$calls")" = 3 ] &&
     grep -q -- "-t $codename wine socat\$" <<<"$calls" && grep -q "index could not be updated" <<<"$out"'

run no-install 0 100 100 "wine"
check "every install failing: a non-zero exit naming the missing package" \
    '[ $rc != 0 ] && grep -q "could not install: socat\$" <<<"$out"'

run nothing-missing 100 100 100 "wine socat"
check "nothing missing: apt-get never called" '[ $rc = 0 ] && [ -z "$calls" ]'

echo "$((3 - failed)) passed, $failed failed"
[ "$failed" = 0 ]
