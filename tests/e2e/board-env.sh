#!/bin/sh
# Runs a command as a test board would: in a mount namespace of its own (start it under
# `unshare --mount --propagation private`) with a /run/udev of its own, optionally with /App
# bound to a test directory, extra directories first on PATH, its own systemd-udevd, and
# another user.
#   board-env.sh [--app DIR] [--path DIR] [--udev] [--user NAME] [--log-reader-exits]
#                [--close-stdout-stderr] [--log-reader-pid FILE] -- COMMAND [ARG...]
# --log-reader-exits puts standard error on a pipe whose reader exits after the first line;
# --log-reader-pid puts it on a pipe read by a `cat` whose PID goes in FILE (tests stop it);
# --close-stdout-stderr starts COMMAND with descriptors 1 and 2 closed.
set -eu
app= path= udev= user= deadreader= closed= readerpid=
while [ $# -gt 0 ]; do
    case "$1" in
    --app) app=$2; shift 2 ;;
    --path) path=$2; shift 2 ;;
    --udev) udev=1; shift ;;
    --user) user=$2; shift 2 ;;
    --log-reader-exits) deadreader=1; shift ;;
    --close-stdout-stderr) closed=1; shift ;;
    --log-reader-pid) readerpid=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "board-env.sh: unknown option $1" >&2; exit 2 ;;
    esac
done
[ $# -gt 0 ] || { echo "board-env.sh: no command" >&2; exit 2; }

if [ -n "$app" ]; then
    # An empty /App is left behind as the mount point: removing it could pull the mount from
    # under a board that another test run still has.
    mkdir -p /App
    mount --bind "$app" /App
fi
# The board's /run/udev is its own: empty, as on a board without udevd, unless --udev starts
# one there. The agent takes the control socket of a host's udevd for its own.
mkdir -p /run/udev
mount -t tmpfs tmpfs /run/udev
if [ -n "$udev" ]; then
    # uevents of a network device reach only the namespace that owns it, so this board needs
    # a udevd of its own; its state lives on the private tmpfs, as on a booted board.
    udevd=/lib/systemd/systemd-udevd
    [ -x "$udevd" ] || udevd=/usr/lib/systemd/systemd-udevd
    "$udevd" >/dev/null 2>&1 &
    i=0
    while [ ! -e /run/udev/control ]; do
        i=$((i + 1))
        [ $i -le 500 ] || { echo "board-env.sh: systemd-udevd did not start" >&2; exit 1; }
        sleep 0.01
    done
fi
if [ -n "$path" ]; then
    PATH="$path:$PATH"
    export PATH
fi
if [ -n "$deadreader" ]; then
    { "$@" 2>&1 >/dev/null | head -n 1 >/dev/null; } 2>&1
    exit
fi
if [ -n "$readerpid" ]; then
    fifo=$(mktemp -u /tmp/l2log.XXXXXX)
    mkfifo -m 600 "$fifo"
    cat "$fifo" >&2 &
    echo $! >"$readerpid"
    exec 2>"$fifo"
    rm -f "$fifo"
fi
if [ -n "$closed" ]; then
    exec "$@" 1>&- 2>&-
fi
if [ -n "$user" ]; then
    exec setpriv --reuid="$user" --regid="$(id -g "$user")" --init-groups "$@"
fi
exec "$@"
