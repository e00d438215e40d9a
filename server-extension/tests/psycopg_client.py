"""psycopg 3 against a quendrix server on 127.0.0.1:PORT (the only argument):
parameters in text and binary form, server-side prepared statements, a named
cursor that streams a result in batches, COPY in and out, and errors. Prints "ok"
when all hold."""
import datetime
import decimal
import sys
import uuid

import psycopg
from psycopg import sql

port = int(sys.argv[1])
with psycopg.connect(host="127.0.0.1", port=port, user="x", dbname="x", autocommit=True) as conn:
    conn.execute("create table t(i integer, r real, s text, b blob)")
    rows = [(1, 1.5, "one", b"\x00\x01"), (2, -2.0, None, None), (3, 0.25, "it's", b"")]
    with conn.cursor() as cur:
        cur.executemany("insert into t values (%s, %s, %s, %s)", rows)

    # Values come back as the Python types they went in as, in both forms.
    for binary in (False, True):
        got = conn.execute("select i, r, s, b from t order by i", binary=binary).fetchall()
        assert got == rows, (binary, got)
        got = conn.execute("select %s, %s, %s, %s", (7, 2.5, "x", b"\xff"), binary=binary).fetchone()
        assert got == (7, 2.5, "x", b"\xff"), (binary, got)
    assert conn.execute("select my_vector(1, 'x')").fetchone() == ("[1, 'x']",)

    # Dates, times, UUIDs and decimals that psycopg sends in binary are stored as
    # their text form, as the same values sent as text would be.
    values = (datetime.date(2024, 1, 2), datetime.datetime(2024, 1, 2, 3, 4, 5, 6),
              uuid.UUID(int=0x123456789ABCDEF0123456789ABCDEF0), decimal.Decimal("-0.05"))
    texts = ("2024-01-02", "2024-01-02 03:04:05.000006", "12345678-9abc-def0-1234-56789abcdef0")
    for placeholder in ("%b", "%t"):
        got = conn.execute("select " + ", ".join([placeholder] * 4), values).fetchone()
        assert got == texts + (-0.05,), (placeholder, got)

    # prepare=True: Parse once under a name, then Bind and Execute each time.
    for i in (1, 2, 3):
        got = conn.execute("select s from t where i = %(i)s", {"i": i}, prepare=True).fetchone()
        assert got == (rows[i - 1][2],), got
    names = conn.execute("select 1", prepare=True)  # another statement, prepared too
    assert names.fetchone() == (1,)

    # COPY rows in and out, as psycopg writes and reads them.
    with conn.cursor() as cur:
        with cur.copy("COPY t (i, s, b) FROM STDIN") as copy:
            copy.write_row((10, "tab\there", b"\x00"))
            copy.write_row((11, None, None))
        assert cur.rowcount == 2, cur.rowcount
        with cur.copy("COPY (select i, s, b from t where i >= 10 order by i) TO STDOUT") as copy:
            got = [row for row in copy.rows()]
        assert got == [("10", "tab\there", "\\x00"), ("11", None, None)], got
        conn.execute("delete from t where i >= 10")

    # Errors keep their SQLSTATE, and the connection stays usable.
    try:
        conn.execute("select my_aref(%s, 1)", (5,))
        raise AssertionError("no error")
    except psycopg.Error as e:
        assert e.sqlstate == "22023", e.sqlstate
    assert conn.execute("select %s", ("still",)).fetchone() == ("still",)

# A named cursor reads a long result a batch at a time inside a transaction.
with psycopg.connect(host="127.0.0.1", port=port, user="x", dbname="x") as conn:
    n = 50000
    with conn.cursor(name="stream") as cur:
        cur.itersize = 1000
        cur.execute(
            "with recursive r(i) as (select 1 union all select i + 1 from r where i < %s) "
            "select i, 'row ' || i from r", (n,))
        assert [d.name for d in cur.description] == ["i", "?column?"], cur.description
        count = total = 0
        for i, text in cur:
            assert text == "row %d" % i
            count += 1
            total += i
        assert (count, total) == (n, n * (n + 1) // 2), (count, total)
    with conn.cursor(name="held", withhold=True) as cur:
        cur.execute("select i from t order by i")
        conn.commit()
        assert cur.fetchmany(2) == [(1,), (2,)]
        assert cur.fetchall() == [(3,)]

# psycopg's transaction settings begin each transaction with their modes.
with psycopg.connect(host="127.0.0.1", port=port, user="x", dbname="x") as conn:
    conn.isolation_level = psycopg.IsolationLevel.SERIALIZABLE
    conn.read_only = True
    assert conn.execute("select count(*) from t").fetchone() == (3,)
    try:
        conn.execute("insert into t values (4, 0, '', null)")
        raise AssertionError("a read-only transaction wrote")
    except psycopg.Error as e:
        assert e.sqlstate == "25006", e.sqlstate
    conn.rollback()
    conn.read_only = False
    conn.execute("insert into t values (4, 0, '', null)")
    conn.commit()
    assert conn.execute("select count(*) from t").fetchone() == (4,)
print("ok")
