#!/usr/bin/env bash
# Many stations, one history: STATIONS writers (default 20), each with BOARDS boards (100)
# answering every INTERVAL ms (2000), as watch writes its rounds, for SECONDS (600) against one
# PostgreSQL server of the script's own (initdb in a temporary folder, a Unix socket, no TCP).
# Then, unless FULL=0, fills the database to what the retention lets a year of such stations
# keep (per station: 20000 boards and 200000 changes) and times the board queries over it.
# Prints the rounds written, the write time per round (median and 99th percentile, over every
# station's rounds), the database's size and what a day of such traffic adds, and the time of
# 'l2station history --json --board' for one board over that data.
#   sudo bench/history-scale.sh [SECONDS] [STATIONS] [BOARDS] [INTERVAL]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
[ "$(id -u)" -eq 0 ] || { echo "history-scale.sh: run as root" >&2; exit 1; }
need_packages "${L2_BUILD_PACKAGES[@]}" postgresql-15
seconds=${1:-600}
stations=${2:-20}
boards=${3:-100}
interval=${4:-2000}
build=bench/work/build
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DL2_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target l2station history_writer >/dev/null

bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -1)
work=$(mktemp -d "/tmp/l2h$$-XXXXXX")
chown postgres "$work"
pg() { runuser -u postgres -- "$bin/$1" "${@:2}"; }
cleanup() {
    pg pg_ctl -D "$work/data" -m fast stop >/dev/null 2>&1 || true
    [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
pg initdb -D "$work/data" -U postgres --auth=trust -E UTF8 >/dev/null
pg pg_ctl -D "$work/data" -w -l "$work/log" -o "-c listen_addresses='' -k $work" start >/dev/null
sql() { "$bin/psql" -h "$work" -U postgres -d "${2:-plant}" -Atqc "$1"; }
sql "CREATE DATABASE plant" postgres
url="postgresql:///plant?host=$work&user=postgres"

echo "$stations stations x $boards boards, a round every $interval ms, for $seconds s"
pids=()
for s in $(seq 1 "$stations"); do
    "$build/bench/history_writer" "$url" "$s" "$boards" "$interval" "$seconds" "$work/rounds-$s" &
    pids+=($!)
done
# The size once every station wrote its first rounds (each board's row and its "added"), so that
# the day's figure is of the traffic that goes on.
deadline=$((SECONDS + 120))
until [ "$(sql "SELECT count(*) FROM sessions WHERE last_round >= 5" 2>/dev/null || echo 0)" -ge "$stations" ] ||
    [ $SECONDS -ge $deadline ]; do
    sleep 1
done
size_sql="SELECT pg_total_relation_size('boards') + pg_total_relation_size('changes') + pg_total_relation_size('sessions') + pg_total_relation_size('resets')"
warm_bytes=$(sql "$size_sql")
warm_at=$SECONDS
failed=0
for p in "${pids[@]}"; do wait "$p" || failed=$((failed + 1)); done
[ "$failed" -eq 0 ] || echo "$failed writers reported failed rounds"

cat "$work"/rounds-* | sort -n >"$work/all"
count=$(wc -l <"$work/all")
median=$(sed -n "$(((count + 1) / 2))p" "$work/all")
p99=$(sed -n "$(((count * 99 + 99) / 100))p" "$work/all")
written=$(sql "SELECT sum(last_round) FROM sessions")
changes=$(sql "SELECT count(*) FROM changes")
rows=$(sql "SELECT count(*) FROM boards")
bytes=$(sql "$size_sql")
steady=$((SECONDS - warm_at))
echo "rounds: $count timed, $written written (sessions' last rounds)"
echo "write per round: median $median ms, 99th percentile $p99 ms"
echo "rows: $rows boards, $changes changes"
echo "size: $((bytes / 1024)) KiB after $seconds s, $((warm_bytes / 1024)) KiB once every station had written 5 rounds;"
echo "  a day of such traffic adds about $(((bytes - warm_bytes) * 86400 / (steady > 0 ? steady : 1) / 1048576)) MiB (from the last $steady s)"
mac=$(sql "SELECT mac FROM boards WHERE station = 'line-7' ORDER BY id LIMIT 1")
times=()
for i in 1 2 3 4 5; do
    t0=$(date +%s%N)
    "$build/station/l2station" history --history "$url" --json --board "$mac" --changes >/dev/null
    times+=($((($(date +%s%N) - t0) / 1000000)))
done
echo "history --json --changes --board $mac: $(printf '%s\n' "${times[@]}" | sort -n | tr '\n' ' ')ms (5 runs)"
t0=$(date +%s%N)
"$build/station/l2station" history --history "$url" --json --board "$mac" >/dev/null
echo "history --json --board $mac: $((($(date +%s%N) - t0) / 1000000)) ms"
[ "${FULL:-1}" = 1 ] || exit 0

# The retention's maxima for every station: 20000 boards and 200000 changes each, the changes
# spread over 90 days. Rows as the writers write them.
t0=$SECONDS
sql "INSERT INTO boards (station, interface, key, mac, device, version, product, hard_id, ipv4,
       reply, count, first_seen, last_seen, present)
     SELECT 'line-' || s, 'eth1', 'mac:' || m, m, 'BOARD-' || s || '-' || n, '1.0', 'PX1',
            lpad(s::text, 4, '0') || lpad(n::text, 6, '0'), '10.0.0.1', '\\x00'::bytea, 1,
            (extract(epoch from now()) * 1000)::bigint - 7776000000 + n * 1000,
            (extract(epoch from now()) * 1000)::bigint - 86400000, 0
     FROM generate_series(1, $stations) s, generate_series(100000, 119999 - $boards) n,
          LATERAL (SELECT format('02:%s:01:%s:%s:%s', lpad(to_hex(s), 2, '0'),
                                 lpad(to_hex(n / 65536 % 256), 2, '0'),
                                 lpad(to_hex(n / 256 % 256), 2, '0'),
                                 lpad(to_hex(n % 256), 2, '0')) AS m) a
     ON CONFLICT DO NOTHING"
sql "INSERT INTO changes (board, at, event, fields, was, now, session, was_hard_id)
     SELECT b.id, b.first_seen + k * 600000, 'changed', 'Version',
            '{\"Device\":\"' || b.device || '\",\"Version\":\"0.9\"}',
            '{\"Device\":\"' || b.device || '\",\"Version\":\"1.0\"}', NULL, b.hard_id
     FROM boards b, generate_series(1, 10) k WHERE b.mac LIKE '02:__:01:%'"
sql "ANALYZE"
echo "filled to $(sql "SELECT count(*) FROM boards") boards and $(sql "SELECT count(*) FROM changes") changes in $((SECONDS - t0)) s; $(($(sql "$size_sql") / 1048576)) MiB"
hard=$(sql "SELECT hard_id FROM boards WHERE station = 'line-7' ORDER BY id LIMIT 1")
query() {
    local t0 times=() i
    for i in 1 2 3; do
        t0=$(date +%s%N)
        "$build/station/l2station" history --history "$url" "$@" >/dev/null
        times+=($((($(date +%s%N) - t0) / 1000000)))
    done
    echo "history $*: $(printf '%s\n' "${times[@]}" | sort -n | tr '\n' ' ')ms"
}
query --json --board "$mac"
query --json --changes --board "$mac"
query --json --changes --board "$hard"
query --json --station line-7 -i eth1 --since 1h
query --json --changes --since 10m
# Which indexes the board queries use (the plans of the statements history sends).
plan() { sql "EXPLAIN $1" | grep -oE "(Bitmap Index|Index Only|Index|Seq) Scan (using [a-z_]+ )?on [a-z_]+" | sort -u | paste -sd, -; }
one="SELECT id FROM boards WHERE mac = '$mac' UNION SELECT id FROM boards WHERE upper(hard_id) = '$hard' UNION SELECT board FROM changes WHERE was_hard_id = '$hard'"
echo "plan, boards of one board:  $(plan "SELECT * FROM boards b WHERE b.id IN ($one)")"
echo "plan, changes of one board: $(plan "SELECT * FROM changes c JOIN boards b ON b.id = c.board WHERE c.board IN ($one) ORDER BY c.at, c.id")"
echo "plan, one station's interface: $(plan "SELECT * FROM boards b WHERE b.station = 'line-7' AND b.interface = 'eth1'")"
echo "plan, changes since: $(plan "SELECT * FROM changes c JOIN boards b ON b.id = c.board WHERE c.at >= (extract(epoch from now()) * 1000)::bigint - 600000 ORDER BY c.at, c.id")"
