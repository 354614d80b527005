#!/usr/bin/env bash
# Mutation check of the tests: applies each mutation below, one at a time, to a copy of this
# tree, rebuilds, runs the unit tests (or the end-to-end test function a mutation names, for
# what only real links and processes show), and reports the mutations no test caught
# ("survived"). Exits 1 when one survived or no longer applies. Not part of CI: it builds once
# per mutation (about 15 s each here). Run it, as root for the end-to-end ones, after changing
# the logic a mutation names, or after touching the tests that guard it.
#   scripts/mutate.sh [PATTERN]      only the mutations whose description matches PATTERN
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
need_packages "${L2_BUILD_PACKAGES[@]}" rsync

# file ;; sed expression ;; what the mutation does [;; test binary and function that catch it]
mutations=(
    'src/framelog.cpp;;s/ || u == .\\\\.)/)/;;the fast log path lets a lone backslash through unescaped'
    'src/identity.cpp;;s/at + 1023/at + 1024/;;joinFgetsPieces cuts 1024-byte pieces'
    'common/netif.cpp;;s/mtu + 14 + 2 \* 4/mtu + 14/;;snapLenForMtu leaves out the VLAN tags'
    'src/netwatch.cpp;;s/    if (lost) {/    if (false) {/;;the wait ignores lost notifications'
    'src/addresses.cpp;;s/    if (cache.generation != generation) {/    if (cache.generation == 0) {/;;the info reply is kept past a notification'
    'src/addresses.cpp;;s/    if (cache.generation != generation) {/    if (true) {/;;the address list is read for every request'
    'src/linkstate.cpp;;s/                result = Lost; \/\/ the kernel dropped/                \/\/ the kernel dropped/;;ENOBUFS on the link notifications is not reported as lost'
    'src/linkstate.cpp;;s/        if (from.nl_family == AF_NETLINK \&\& from.nl_pid != 0) {/        if (false) {/;;link notifications from other processes are believed'
    'src/supervisor.cpp;;s/    return static_cast<int>(qBound(qint64(0), kRetryPauseMs - elapsedMs, qint64(kRetryPauseMs)));/    return kRetryPauseMs;/;;a link that came back waits the whole pause'
    'station/historysqlite.cpp;;s/"BEGIN IMMEDIATE"/"BEGIN"/;;the history is migrated in a deferred transaction'
    'station/history.cpp;;s/        pending_.append(PendingRound{answered, events, at, ++roundSeq_});/        if (isOpen()) pending_.append(PendingRound{answered, events, at, ++roundSeq_});/;;rounds seen while the server is away are dropped'
    'station/history.cpp;;s/if (!query.station.isEmpty() \&\& stations) {/if (false) {/;;history --station shows every station'"'"'s rows'
    'station/historypostgres.cpp;;s/SELECT pg_advisory_xact_lock(%1)/SELECT %1/;;stations that start together migrate a server'"'"'s history each'
    'src/protocol.cpp;;/Taken when the script has ended/{n;d};s/    const int ignored = std::system(kResetCommand);/    gettimeofday(\&args->lastResetEnded, nullptr);\n&/;;the reset fold counts from when the script starts;;tst_agent_e2e resetDuringScriptFolded'
    'station/link.cpp;;s/if (n <= 0 || nowMs() >= rule.deadlineMs) {/if (n <= 0) {/;;a collection ignores its deadline while replies keep coming'
    'src/decide.cpp;;s/f.textBytes.startsWith(kByteOrderMark) ? f.textBytes.mid(3) : //;;keywords are tested before the byte-order mark is dropped;;tst_agent_e2e byteOrderMarkKeywords'
    'src/framelog.cpp;;s/O_WRONLY | O_NONBLOCK | O_CLOEXEC/O_WRONLY | O_CLOEXEC/;;a log written through a pipe blocks the agent;;tst_agent_e2e stalledLogReader'
    'src/linkstate.cpp;;s/return kind == Link \&\& (flags \& IFF_UP) != 0;/return (flags \& IFF_UP) != 0;/;;LinkEvent::up ignores the kind of event'
    'src/process.cpp;;s/kill(-pid, SIGKILL);/kill(pid, SIGKILL);/;;a timed-out command: only the shell is killed, not its group'
    'src/decide.cpp;;s/return timercmp(&requestReceived, &lastRunEnded, <);/return false;/;;reset requests are never folded'
    'src/decide.cpp;;s/if (request.dst != args.boardMac \&\& request.dst != wire::groupMac()) {/if (false) {/;;board-address mode serves any destination'
    'src/supervisor.cpp;;s/return now.index != seen.index;/return true;/;;an open failure is retried without a change'
    'src/linkstate.cpp;;s/return atStart.up ? LinkWake::None : LinkWake::Now;/return LinkWake::Now;/;;any flag change of an up link ends the wait'
    'station/boards.cpp;;s/if (tag != tag_) {/if (false) {/;;another station'"'"'s replies count'
    'station/boards.cpp;;s/if (atMs - firstShared_.value(known.value()) > kCloneSpreadMs ||/if (false ||/;;every identical reply counts as a clone'
    'station/fleet.cpp;;s/    if (sharedAnswered == 1 \&\& !state.floods) {/    if (false) {/;;watch reports boards hidden by a switch as gone'
    'station/fleet.cpp;;s/track.acknowledged = track.acknowledged || acked.contains(it.key());/track.acknowledged = false;/;;reset --wait ignores acknowledgements'
)

work=$(mktemp -d /tmp/l2mutate.XXXXXX)
trap 'rm -rf "$work"' EXIT
rsync -a --exclude='/build*' --exclude=/out --exclude=/bench/work --exclude=.git ./ "$work/src/"
# Warnings are not errors here: a mutation that leaves a variable unused must still build, or
# it would count as caught by the compiler.
e2e=OFF
for m in "${mutations[@]}"; do
    [[ "$m" != *';;'*';;'*';;'* ]] || e2e=ON
done
cmake -S "$work/src" -B "$work/build" -DL2_WERROR=OFF -DL2_E2E_TESTS=$e2e -DL2_BENCH=$e2e >/dev/null
cmake --build "$work/build" -j "$(nproc)" >/dev/null
ctest --test-dir "$work/build" -L unit >/dev/null || { echo "mutate.sh: the unit tests fail unmutated" >&2; exit 1; }

survived=0 killed=0
for m in "${mutations[@]}"; do
    file=${m%%;;*}
    rest=${m#*;;}
    expression=${rest%%;;*}
    rest=${rest#*;;}
    what=${rest%%;;*}
    catcher=
    [[ "$rest" != *';;'* ]] || catcher=${rest#*;;}
    [[ -z "${1:-}" || "$what" == *$1* ]] || continue
    cp "$work/src/$file" "$work/original"
    sed -i "$expression" "$work/src/$file"
    if cmp -s "$work/src/$file" "$work/original"; then
        echo "NOT APPLIED  $what ($file: the code changed; update the mutation)"
        survived=$((survived + 1))
        continue
    fi
    if ! cmake --build "$work/build" -j "$(nproc)" >/dev/null 2>&1; then
        echo "NOT BUILT    $what (the mutation does not compile; update it)"
        survived=$((survived + 1))
    elif [[ -n "$catcher" ]]; then
        # shellcheck disable=SC2086 # the binary, then its test function
        if (cd "$work/build" && set -- $catcher && timeout 600 "tests/$1" "${@:2}" >"$work/e2e.log" 2>&1); then
            echo "SURVIVED     $what ($catcher)"
            survived=$((survived + 1))
        else
            echo "KILLED       $what ($catcher)"
            killed=$((killed + 1))
        fi
    elif ctest --test-dir "$work/build" -L unit >"$work/ctest.log" 2>&1; then
        echo "SURVIVED     $what"
        survived=$((survived + 1))
    else
        echo "KILLED       $what ($(sed -n 's/.*Test *#[0-9]*: \(tst_[a-z]*\) .*Failed.*/\1/p' "$work/ctest.log" | sort -u | tr '\n' ' ' | sed 's/ $//'))"
        killed=$((killed + 1))
    fi
    cp "$work/original" "$work/src/$file"
done
echo "$killed killed, $survived survived"
[ "$survived" -eq 0 ]
