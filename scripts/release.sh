#!/usr/bin/env bash
# Makes the release tarball l2agent-VERSION.tar.gz and its SHA-256 in OUTDIR (default out/),
# reproducibly: the same tree gives the same bytes, whenever and wherever it is made. It holds
# the files git tracks (every file, outside a git checkout), under l2agent-VERSION/, without
# debian/: the Debian source package takes this tarball as its upstream one
# (scripts/package.sh). Times are the release's date, the top entry of debian/changelog
# (or SOURCE_DATE_EPOCH); owners are root; modes keep only the execute bits. The recipes pin
# releases only: scripts/cut-release.sh makes one, and scripts/check-pin.sh checks the pin
# against the release it names.
#   scripts/release.sh [OUTDIR]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-out}
version=$(sed -n 's/^project(l2agent VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "release.sh: no version in CMakeLists.txt" >&2; exit 1; }
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    # The trailer line of the top entry: " -- NAME <MAIL>  DATE".
    date=$(sed -n '0,/^ -- /s/^ -- .*>  //p' debian/changelog)
    SOURCE_DATE_EPOCH=$(date -d "$date" +%s)
fi
name=l2agent-$version
list=$(mktemp)
trap 'rm -f "$list"' EXIT
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z | tr '\0' '\n'
else
    find . -type f ! -path './build*' ! -path './out/*' ! -path './bench/work/*' | sed 's|^\./||'
fi | grep -v -e '^debian/' -e '^packaging/buildroot/' -e '^packaging/yocto/' | LC_ALL=C sort >"$list"
mkdir -p "$out"
tar --create --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner \
    --mode='u=rwX,go=rX' --transform="s,^,$name/," --files-from="$list" |
    gzip -9 -n >"$out/$name.tar.gz"
(cd "$out" && sha256sum "$name.tar.gz" >"$name.tar.gz.sha256")
cat "$out/$name.tar.gz.sha256"

