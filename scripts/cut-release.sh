#!/usr/bin/env bash
# Cuts a release: one version, one tarball. Bumps the version everywhere it is written
# (CMakeLists.txt, a new top entry of debian/changelog, the Buildroot package, the Yocto
# recipe's file name), makes the tarball (scripts/release.sh), pins its SHA-256 in the
# Buildroot hash file and the Yocto recipe, commits all of it as "Release VERSION" and tags
# that commit vVERSION. The pin files are not part of the tarball, so the commit that pins a
# tarball is also the one it is made from. Between releases nothing here changes, and the
# recipes keep pinning the last release (scripts/check-pin.sh, in CI).
#   scripts/cut-release.sh VERSION "CHANGELOG LINE" ["CHANGELOG LINE"...]
set -euo pipefail
cd "$(dirname "$0")/.."
version=${1:?usage: scripts/cut-release.sh VERSION "CHANGELOG LINE"...}
shift
[ $# -gt 0 ] || { echo "cut-release.sh: say what the release brings (one line or more)" >&2; exit 2; }
[[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "cut-release.sh: $version is not X.Y.Z" >&2; exit 2; }
[ -z "$(git status --porcelain --untracked-files=no)" ] ||
    { echo "cut-release.sh: commit or stash your changes first" >&2; exit 1; }
! git rev-parse -q --verify "refs/tags/v$version" >/dev/null ||
    { echo "cut-release.sh: v$version exists already" >&2; exit 1; }

sed -i "s/^project(l2agent VERSION [0-9.]* /project(l2agent VERSION $version /" CMakeLists.txt
# The new entry, signed as the last one was.
signer=$(sed -n '0,/^ -- /s/^ -- \(.*>\)  .*/\1/p' debian/changelog)
{
    echo "l2agent ($version-1) bookworm; urgency=medium"
    echo
    echo "  * New upstream release $version."
    for line in "$@"; do
        echo "$line" | fold -s -w 72 | sed -e '1s/^/    - /' -e '2,$s/^/      /' -e 's/ *$//'
    done
    echo
    echo " -- $signer  $(date -R -u)"
    echo
    cat debian/changelog
} >debian/changelog.new
mv debian/changelog.new debian/changelog

buildroot=packaging/buildroot/package/l2agent
sed -i "s/^L2AGENT_VERSION = .*/L2AGENT_VERSION = $version/" "$buildroot/l2agent.mk"
recipes=packaging/yocto/meta-l2agent/recipes-connectivity/l2agent
recipe=$recipes/l2agent_$version.bb
previous=$(ls "$recipes"/l2agent_*.bb)
[ "$previous" = "$recipe" ] || git mv "$previous" "$recipe"

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
scripts/release.sh "$out" >/dev/null
tarball=$(cut -d' ' -f1 "$out/l2agent-$version.tar.gz.sha256")
printf '# Made by scripts/cut-release.sh: the tarball of release %s (tag v%s)\nsha256  %s  %s\nsha256  %s  LICENSE\n' \
    "$version" "$version" "$tarball" "l2agent-$version.tar.gz" "$(sha256sum LICENSE | cut -d' ' -f1)" \
    >"$buildroot/l2agent.hash"
sed -i -e "s/^LIC_FILES_CHKSUM = .*/LIC_FILES_CHKSUM = \"file:\/\/LICENSE;md5=$(md5sum LICENSE | cut -d' ' -f1)\"/" \
    -e "s/^SRC_URI\[sha256sum\] = .*/SRC_URI[sha256sum] = \"$tarball\"/" "$recipe"

git add CMakeLists.txt debian/changelog "$buildroot" "$recipes"
git commit -q -m "Release $version"
git tag -a "v$version" -m "l2agent $version"
echo "released $version: l2agent-$version.tar.gz sha256 $tarball, tagged v$version"
echo "publish it with: scripts/release.sh (at v$version), then upload out/l2agent-$version.tar.gz"
