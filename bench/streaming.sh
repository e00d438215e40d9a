#!/usr/bin/env bash
# n_range_bif's streamed rows against SQLite producing the same rows (i, 2 * i) with a
# recursive CTE, to the same client in the same run: the shell, and psql over the
# listener. Prints rows per second of each, their ratio, and the peak resident memory
# of the process that produces the rows, at 10^6 and at a large count (default 10^8,
# BENCH_LARGE_ROWS to change) so that flat memory shows.
# Usage: streaming.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
large=${BENCH_LARGE_ROWS:-100000000}
quendrix="$build/bin/quendrix"
work=$(mktemp -d)
server=
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
unset PGHOST PGPORT PGUSER PGDATABASE PGPASSWORD PGSSLMODE PGSERVICE PGOPTIONS QUENDRIX_TEST_FAULTS

bif() { echo "select n_range_bif(0, $1)"; }
cte() { echo "with recursive g(i) as (select 0 union all select i + 1 from g where i < $1 - 1) select i, 2 * i from g"; }

# Runs a command with its output discarded; prints "seconds peak_kib" of the command
# (peak memory of the command's own process).
measure() {
    python3 - "$@" <<'PY'
import resource, subprocess, sys, time
start = time.monotonic()
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
took = time.monotonic() - start
print(f"{took:.3f} {resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss}")
PY
}

row() {  # label rows bif_result cte_result
    read -r bs bk <<< "$3"
    read -r cs ck <<< "$4"
    python3 - "$1" "$2" "$bs" "$bk" "$cs" "$ck" <<'PY'
import sys
label, n, bs, bk, cs, ck = sys.argv[1], int(sys.argv[2]), *map(float, sys.argv[3:])
print(f"{label:<24} {n:>11} {n/bs:>14,.0f} {n/cs:>14,.0f} {cs/bs:>6.2f} {bk:>10,.0f} {ck:>10,.0f}")
PY
}

printf '%-24s %11s %14s %14s %6s %10s %10s\n' "client" "rows" "bif rows/s" "cte rows/s" "ratio" "bif KiB" "cte KiB"
for n in 1000000 "$large"; do
    b=$(measure "$quendrix" --database "$work/s.db" --execute "$(bif "$n")")
    c=$(measure "$quendrix" --database "$work/s.db" --execute "$(cte "$n")")
    row "shell" "$n" "$b" "$c"
done

# Over the listener the server's peak memory is what matters: psql keeps a whole
# result unless it fetches through a cursor (FETCH_COUNT), which the large count uses.
auth=()
"$quendrix" --help 2>&1 | grep -q -- '--auth' && auth=(--auth trust)
peak_of_server() { awk '/^VmHWM/ {print $2}' "/proc/$server/status"; }
through_psql() {  # rows query fetch_count
    "$quendrix" --database "$work/s.db" --listen 127.0.0.1:0 "${auth[@]}" > "$work/l.log" 2>&1 &
    server=$!
    local port=
    for _ in $(seq 100); do
        port=$(sed -n 's/.*listening on .*:\([0-9]*\)$/\1/p' "$work/l.log" | head -1)
        [ -n "$port" ] && break
        sleep 0.1
    done
    local start end status=0
    start=$(date +%s.%N)
    psql -X -q -h 127.0.0.1 -p "$port" -U bench -d bench -v FETCH_COUNT="$3" -c "$2" > /dev/null || status=$?
    end=$(date +%s.%N)
    echo "$(python3 -c "print(f'{$end - $start:.3f}')") $(peak_of_server)"
    kill "$server"; wait "$server" 2>/dev/null || true; server=
    return "$status"
}
for n in 1000000 "$large"; do
    fetch=0
    if [ "$n" != 1000000 ]; then
        # a large result only through a cursor; skip when the server has none
        through_psql 1 "select 1" 1 > /dev/null 2>&1 || { echo "psql: the server cannot fetch through a cursor; $n rows skipped"; continue; }
        fetch=10000
    fi
    b=$(through_psql "$n" "$(bif "$n")" "$fetch")
    c=$(through_psql "$n" "$(cte "$n")" "$fetch")
    row "psql (server memory)" "$n" "$b" "$c"
done
