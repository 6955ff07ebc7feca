#!/usr/bin/env bash
# The set-up's install step (tools/install.sh), run as setup.sh runs it, with stand-in apt-get
# (update exits $U, an install $I, or $T with -t; each call logged), dpkg-query (the packages in
# $HAVE are installed) and sleep: an index caught mid-sync, an install that cannot be done,
# nothing missing.
set -u
f=$(mktemp -d)
trap 'rm -rf "$f"' EXIT
printf '#!/bin/sh\necho "$*" >> "$LOG"\ncase "$*" in update*) exit $U ;; *" -t "*) exit $T ;; esac\nexit $I\n' > "$f/apt-get"
printf '#!/bin/sh\ncase " $HAVE " in *" $3 "*) printf "install ok installed" ;; *) exit 1 ;; esac\n' > "$f/dpkg-query"
printf '#!/bin/sh\n' > "$f/sleep"
chmod +x "$f"/*
suite=$(. /etc/os-release && echo "$VERSION_CODENAME") passed=0 failed=0
# check WHAT U I T HAVE TEST: installs wine and socat; TEST sees $rc, $out and the $calls made.
check() {
    out=$(PATH=$f:$PATH LOG=$f/log U=$2 I=$3 T=$4 HAVE=$5 bash -c 'set -euo pipefail; . "$0"; install wine socat' \
          "$(dirname "$0")/../tools/install.sh" 2>&1)
    rc=$? calls=$(cat "$f/log" 2>/dev/null) && rm "$f/log"
    if eval "$6"; then passed=$((passed + 1)); else failed=$((failed + 1)); printf 'FAILED: %s\n%s\n%s\n' "$1" "$out" "$calls"; fi
}
check "update failing thrice, then the install again from $suite" 100 100 0 "" \
    '[ $rc = 0 ] && [ "$(grep -c ^update <<<"$calls")" = 3 ] && grep -q -- "-t $suite wine socat$" <<<"$calls"'
check "every install failing: a non-zero exit naming what is missing" 0 100 100 wine \
    '[ $rc != 0 ] && grep -q "could not install: socat$" <<<"$out"'
check "nothing missing: no apt-get at all" 100 100 100 "wine socat" '[ $rc = 0 ] && [ -z "$calls" ]'
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
