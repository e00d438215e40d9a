#!/usr/bin/env bash
# The PostgreSQL-protocol front end against PostgreSQL itself, with the same client
# (pgbench) on the same machine in the same run: `select 1` and a primary-key point
# query on 10^5 rows, with 1 and 8 clients, in each query mode the server speaks;
# then the memory each idle connection costs on both servers. PostgreSQL is a
# throwaway cluster on loopback, made only when its server package is installed.
# Usage: frontend.sh BUILD_DIR [SECONDS_PER_RUN]; BENCH_MODES picks the query modes
# (default: simple extended prepared).
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
seconds=${2:-${BENCH_SECONDS:-5}}
quendrix="$build/bin/quendrix"
work=$(mktemp -d)
chmod 755 "$work"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    [ -n "${pgdata:-}" ] && [ -f "$pgdata/postmaster.pid" ] && as_pg "$pg_bin/pg_ctl" -D "$pgdata" -m immediate stop >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
unset PGHOST PGPORT PGUSER PGDATABASE PGPASSWORD PGSSLMODE PGSERVICE PGOPTIONS

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

cat > "$work/select1.sql" <<'SQL'
select 1;
SQL
cat > "$work/point.sql" <<'SQL'
\set id random(1, 100000)
select v from kv where id = :id;
SQL
seed="create table kv(id integer primary key, v text);
insert into kv select i, 'value ' || i from generate_series(1, 100000) as g(i);"
chmod 644 "$work"/*.sql

# --- quendrix ---------------------------------------------------------------
qport=$(free_port)
auth=()
"$quendrix" --help 2>&1 | grep -q -- '--auth' && auth=(--auth trust)
"$quendrix" --database "$work/q.db" --execute "create table kv(id integer primary key, v text);
  with recursive g(i) as (select 1 union all select i + 1 from g where i < 100000)
  insert into kv select i, 'value ' || i from g"
"$quendrix" --database "$work/q.db" --listen "127.0.0.1:$qport" "${auth[@]}" > "$work/q.log" 2>&1 &
qpid=$!
pids+=("$qpid")
for _ in $(seq 100); do
    grep -q "listening" "$work/q.log" && break
    sleep 0.1
done

# --- PostgreSQL --------------------------------------------------------------
pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1 || true)
pgdata=
as_pg() { if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }
if [ -n "$pg_bin" ] && [ -x "$pg_bin/initdb" ] && { [ "$(id -u)" != 0 ] || id postgres >/dev/null 2>&1; }; then
    pgdata="$work/pgdata"
    pport=$(free_port)
    mkdir "$pgdata"
    [ "$(id -u)" = 0 ] && chown postgres "$pgdata" "$work"
    as_pg "$pg_bin/initdb" -D "$pgdata" -A trust -U bench > "$work/initdb.log" 2>&1
    as_pg "$pg_bin/pg_ctl" -D "$pgdata" -l "$work/pg.log" -w \
        -o "-h 127.0.0.1 -p $pport -k $work -c max_connections=100" start > /dev/null
    psql -q -h 127.0.0.1 -p "$pport" -U bench -d postgres -c "$seed" > /dev/null
else
    echo "PostgreSQL's server package is not installed (apt-get install postgresql): measuring quendrix alone."
fi

# tps of one pgbench run, or "-" when the server refused that mode.
tps() {  # port user mode clients script
    local out
    out=$(pgbench -n -h 127.0.0.1 -p "$1" -U "$2" -M "$3" -c "$4" -j "$4" -T "$seconds" \
          -f "$5" "${6:-postgres}" 2>&1) || { echo "-"; return; }
    echo "$out" | sed -n 's/^tps = \([0-9.]*\).*/\1/p' | head -1
}

printf '\n%-28s %14s %14s %8s\n' "front end (pgbench, ${seconds}s)" "quendrix tps" "postgres tps" "ratio"
for mode in ${BENCH_MODES:-simple extended prepared}; do
    for script in select1 point; do
        for clients in 1 8; do
            q=$(tps "$qport" bench "$mode" "$clients" "$work/$script.sql")
            p=-
            [ -n "$pgdata" ] && p=$(tps "$pport" bench "$mode" "$clients" "$work/$script.sql")
            ratio=-
            if [ "$q" != - ] && [ "$p" != - ] && [ -n "$q" ] && [ -n "$p" ]; then
                ratio=$(python3 -c "print(f'{$q / $p:.2f}')")
            fi
            printf '%-28s %14s %14s %8s\n' "$script $mode c=$clients" "${q:--}" "${p:--}" "$ratio"
        done
    done
done

# Memory per idle connection: the server's resident memory with N idle connections
# open, less its memory before, over N (PostgreSQL: the private memory of its
# backends, which is what each connection adds).
hold_connections() {  # port count seconds
    /usr/bin/python3 - "$1" "$2" "$3" <<'PY'
import sys, time, psycopg
port, n, secs = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
conns = [psycopg.connect(host="127.0.0.1", port=port, user="bench", dbname="postgres",
                         autocommit=True) for _ in range(n)]
for c in conns:
    c.execute("select 1").fetchall()
print("ready", flush=True)
time.sleep(secs)
PY
}
kib() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }
private_kib() { awk '/^(Private_Clean|Private_Dirty)/ {s += $2} END {print s}' "/proc/$1/smaps_rollup"; }
n=40
if /usr/bin/python3 -c 'import psycopg' 2>/dev/null; then  # Debian's python3-psycopg
    before=$(kib "$qpid")
    hold_connections "$qport" "$n" 4 > "$work/hold.out" 2>&1 &
    holder=$!
    for _ in $(seq 100); do grep -q ready "$work/hold.out" && break; sleep 0.1; done
    after=$(kib "$qpid")
    wait "$holder" || true
    qmem=$(( (after - before) / n ))
    pmem=-
    if [ -n "$pgdata" ]; then
        hold_connections "$pport" "$n" 4 > "$work/hold.out" 2>&1 &
        holder=$!
        for _ in $(seq 100); do grep -q ready "$work/hold.out" && break; sleep 0.1; done
        total=0
        # the backends are the postmaster's children that serve a client
        while read -r b args; do
            case "$args" in "postgres: bench postgres"*) ;; *) continue ;; esac
            k=$(private_kib "$b" 2>/dev/null || true)
            total=$(( total + ${k:-0} ))
        done < <(ps -o pid=,args= --ppid "$(head -1 "$pgdata/postmaster.pid")")
        wait "$holder" || true
        pmem=$(( total / n ))
    fi
    printf '\n%-28s %14s %14s\n' "memory per idle connection" "quendrix KiB" "postgres KiB"
    printf '%-28s %14s %14s\n' "$n connections" "$qmem" "$pmem"
else
    echo "python3-psycopg is not installed: memory per connection not measured."
fi
