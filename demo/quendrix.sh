#!/usr/bin/env bash
# Runs a few statements through quendrix on a temporary database and shows the results.
set -euo pipefail
build=${1:?usage: quendrix.sh ABSOLUTE_BUILD_DIR}
quendrix="$build/bin/quendrix"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
db="$work/demo.db"

show() {
    echo "quendrix> $1"
    "$quendrix" --database "$db" --execute "$1"
}

# A statement that is meant to fail: its error is shown, and its exit status must be 1.
show_error() {
    echo "quendrix> $1"
    local status=0
    "$quendrix" --database "$db" --execute "$1" 2>&1 || status=$?
    [ "$status" -eq 1 ] || { echo "expected exit status 1, got $status"; return 1; }
}

"$quendrix" --version
show "select my_aref(my_vector(1, 'x', NULL), 1)"
show "select my_vector(1, 'x', NULL), my_vector()"
show "select my_aref('abc', 1), my_aref(my_vector(2.5, my_vector('nested')), 1)"
show "create table shapes(name, sides); insert into shapes values ('triangle', my_vector(3, 4, 5)), ('square', my_vector(2, 2, 2, 2))"
show "select name, sides, my_aref(sides, 0) from shapes order by name"
echo "(errors go to standard error, with their SQLSTATE:)"
show_error "select my_aref('abc', 3)"
show_error "select my_aref(70000, 0)"

echo "(call_srv: the sum comes from the server's worker thread; it wraps in 32 bits)"
show "select call_srv(2, 3), call_srv(-7, 2), call_srv(2147483647, 1)"
echo "(n_range_bif sends result rows (i, 2 * i); NULL bounds default to 0 and 10)"
show "select n_range_bif(-2, 1)"
show "call n_range_bif(NULL, 3)"
show_error "select n_range_bif('a', 'b')"

echo "(the key catalogue, as a table and through my_select:)"
show "create table DB.DBA.ORDERS(ID primary key, DAY); create index ORDERS_DAY on DB.DBA.ORDERS(DAY)"
show "select KEY_TABLE, KEY_NAME, KEY_ID, KEY_IS_MAIN, KEY_IS_UNIQUE from DB.DBA.SYS_KEYS"
show "select my_select()"
echo "(need-to-know: report tables show a user only the rows of the classes they may see:)"
show "create table DB.DBA.NEED_TO_KNOW(NK_CLASS, NK_USER); create table DB.DBA.SALES_REPORT(TITLE, R_CLASS); insert into DB.DBA.SALES_REPORT values ('q1', 'public'), ('q2', 'secret'), ('q3', 'board'); insert into DB.DBA.NEED_TO_KNOW values ('public', 7), ('board', 7), ('secret', 8)"
show "select sql_run('select TITLE from DB.DBA.SALES_REPORT')"
show "select sql_run(sql_rewrite('need_to_know', 7, 'select TITLE from DB.DBA.SALES_REPORT'))"
show "select sql_run(sql_rewrite('need_to_know', 8, 'select S.TITLE from DB.DBA.SALES_REPORT S'))"
show "select sql_text(sql_rewrite('need_to_know', 7, 'select S.TITLE from DB.DBA.SALES_REPORT S where S.TITLE <> ''q9'''))"

echo "(the same server for PostgreSQL clients: a user, quendrix --listen, then psql)"
"$quendrix" --database "$db" --execute "CREATE USER demo WITH PASSWORD 'demo password'"
export PGPASSWORD='demo password'
log="$work/listen.out"
"$quendrix" --database "$db" --listen 127.0.0.1:0 > "$log" &
server=$!
trap 'kill "$server" 2>/dev/null || true; rm -rf "$work"' EXIT
port=
for _ in $(seq 100); do
    port=$(sed -n 's/^Quendrix server listening on .*:\([0-9]*\)$/\1/p' "$log")
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || { echo "the server did not start listening"; kill "$server"; exit 1; }
cat "$log"
query="select my_aref(my_vector(1,'x',NULL),1), call_srv(2, 3)"
echo "psql -h 127.0.0.1 -p $port -X -A -t -c \"$query\""
psql -h 127.0.0.1 -p "$port" -U demo -d demo -X -A -t -c "$query"
echo "psql ... -c \"select n_range_bif(NULL, 3)\""
psql -h 127.0.0.1 -p "$port" -U demo -d demo -X -A -t -c "select n_range_bif(NULL, 3)"
kill -TERM "$server"
wait "$server"
echo "(server stopped, exit status $?)"
