#!/usr/bin/env bash
# Checks that the recipes pin a release that exists: the commit that last wrote the Buildroot
# hash file (scripts/cut-release.sh's "Release VERSION", tagged vVERSION) must give, through
# its own scripts/release.sh, the very tarball that the hash file and the Yocto recipe pin,
# under the version they name. Fails when a pin was edited by hand, or a release's tree no
# longer gives its tarball. Needs the history (not a shallow clone).
set -euo pipefail
cd "$(dirname "$0")/.."
fail() { echo "check-pin.sh: FAIL: $*" >&2; exit 1; }
buildroot=packaging/buildroot/package/l2agent
version=$(sed -n 's/^L2AGENT_VERSION = //p' "$buildroot/l2agent.mk")
recipe=packaging/yocto/meta-l2agent/recipes-connectivity/l2agent/l2agent_$version.bb
[ -f "$recipe" ] || fail "no Yocto recipe for $version ($recipe)"
[ "$(git rev-parse --is-shallow-repository)" = false ] ||
    git fetch -q --unshallow 2>/dev/null || fail "a shallow clone: the release commit is not here"
release=$(git log -1 --format=%H -- "$buildroot/l2agent.hash")
[ -n "$release" ] || fail "no commit wrote $buildroot/l2agent.hash"
if tag=$(git rev-parse -q --verify "refs/tags/v$version^{commit}"); then
    [ "$tag" = "$release" ] || fail "v$version is $tag, but the pin was written by $release"
fi
pinned=$(awk -v f="l2agent-$version.tar.gz" '$3 == f { print $2 }' "$buildroot/l2agent.hash")
[ -n "$pinned" ] || fail "$buildroot/l2agent.hash pins no l2agent-$version.tar.gz"
grep -q "^SRC_URI\[sha256sum\] = \"$pinned\"$" "$recipe" || fail "$recipe pins another tarball"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
git archive --prefix=tree/ "$release" | tar -x -C "$work"
grep -q "^project(l2agent VERSION $version " "$work/tree/CMakeLists.txt" ||
    fail "the release commit $release is not version $version"
(cd "$work/tree" && scripts/release.sh "$work/out" >/dev/null)
made=$(cut -d' ' -f1 "$work/out/l2agent-$version.tar.gz.sha256")
[ "$made" = "$pinned" ] ||
    fail "release $version (commit $release) gives $made, but the recipes pin $pinned"
echo "the recipes pin l2agent-$version.tar.gz ($pinned), the tarball of ${release:0:12}${tag:+ (v$version)}"
