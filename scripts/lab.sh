# Sourced by the scripts that run an agent on a virtual link (demo, valgrind, benchmark): a
# board and a station network namespace joined by eth1 <-> st0, agents started as a board runs
# them (tests/e2e/board-env.sh), and everything removed again on exit.
# The caller sets $root (the repository) and may define lab_extra_cleanup.
lab_board=l2lab-b-$$
lab_station=l2lab-s-$$
lab_work=$(mktemp -d)
lab_pid=
lab_pids=()
lab_boards=()

lab_cleanup() {
    lab_stop
    local p ns
    for p in "${lab_pids[@]}"; do kill -- -"$p" 2>/dev/null || true; done
    for ns in "${lab_boards[@]}"; do ip netns del "$ns" 2>/dev/null || true; done
    ip netns del "$lab_board" 2>/dev/null || true
    ip netns del "$lab_station" 2>/dev/null || true
    if declare -F lab_extra_cleanup >/dev/null; then lab_extra_cleanup; fi
    rm -rf "$lab_work"
}
trap lab_cleanup EXIT
trap 'exit 130' INT TERM

ip netns add "$lab_board"
ip netns add "$lab_station"
ip -n "$lab_board" link set lo up
mkdir -p "$lab_work/run"
printf '#!/bin/sh\necho "$(date +%%T) the board would reset now" >> reset.log\n' >"$lab_work/run/resetAll.sh"
chmod +x "$lab_work/run/resetAll.sh"

# lab_link_up [ADDRESS/PREFIX]: (re-)creates eth1 <-> st0 and brings both ends up.
lab_link_up() {
    ip -n "$lab_board" link add eth1 type veth peer name st0 netns "$lab_station"
    [ -z "${1:-}" ] || ip -n "$lab_board" addr add "$1" dev eth1
    ip -n "$lab_board" link set eth1 up
    ip -n "$lab_station" link set st0 up
}

# lab_segment: a bridge seg0 in the station's namespace for many boards. It learns addresses
# with the default ageing, as every switch does: boards there run in board-address mode.
lab_segment() {
    ip -n "$lab_station" link add seg0 type bridge
    ip -n "$lab_station" link set seg0 up
}

# lab_segment_board I ADDRESS/PREFIX: board I in a namespace of its own, its eth1 on seg0;
# sets lab_ns to the namespace's name. A board without ADDRESS gets none (a simulated one).
lab_segment_board() {
    lab_ns=$lab_board-$1
    ip netns add "$lab_ns"
    lab_boards+=("$lab_ns")
    ip -n "$lab_ns" link add eth1 type veth peer name "p$1" netns "$lab_station"
    [ -z "${2:-}" ] || ip -n "$lab_ns" addr add "$2" dev eth1
    ip -n "$lab_ns" link set eth1 up
    ip -n "$lab_station" link set "p$1" master seg0 up
}

# lab_start NAME [board-env options] -- COMMAND...: runs COMMAND on the board, in $lab_work,
# standard error in $lab_work/NAME.log and standard output in $lab_work/NAME.out.
lab_start() { lab_start_in "$lab_board" "$lab_work" "$@"; }

# lab_start_in NAMESPACE DIR NAME [board-env options] -- COMMAND...: the same on another
# board, in DIR; every board started so is stopped on exit.
lab_start_in() {
    local ns=$1 dir=$2 name=$3
    shift 3
    (cd "$dir" && exec setsid ip netns exec "$ns" unshare --mount --propagation private \
        "$root/tests/e2e/board-env.sh" "$@" >"$lab_work/$name.out" 2>"$lab_work/$name.log") &
    lab_pid=$!
    lab_pids+=("$lab_pid")
}

lab_stop() {
    [ -n "$lab_pid" ] || return 0
    kill -- -"$lab_pid" 2>/dev/null || true
    wait "$lab_pid" 2>/dev/null || true
    lab_pid=
}

# lab_wait_for FILE PATTERN [COUNT]: polls until PATTERN stands in FILE COUNT times (30 s).
lab_wait_for() {
    local count=${3:-1}
    for _ in $(seq 1200); do
        [ "$(grep -c -- "$2" "$1" 2>/dev/null)" -ge "$count" ] && return 0
        sleep 0.025
    done
    echo "timed out waiting for '$2' in $1:" >&2
    tail -20 "$1" >&2
    return 1
}

# lab_on_station COMMAND...: runs COMMAND in the station's namespace.
lab_on_station() { ip netns exec "$lab_station" "$@"; }
