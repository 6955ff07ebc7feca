#!/usr/bin/env bash
# Makes the release archive build/release/rq47cfg-VERSION-win32.zip (both exes, stripped, the
# operator's guide and SHA256SUMS) and prints its path and SHA-256. The same commit gives the
# same bytes in any folder at any time: the entries carry the commit's time (SOURCE_DATE_EPOCH
# instead, when set).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/build.sh release
if [ -n "$(git status --porcelain 2>/dev/null)" ]; then
    echo "warning: uncommitted changes: this archive is not the commit's" >&2
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)
archive=$PWD/build/release/rq47cfg-$version-win32.zip
echo "archive: $archive"
echo "sha256:  $(sha256sum "$archive" | cut -d' ' -f1)"
