"""asyncpg against a quendrix server on 127.0.0.1:PORT (the only argument). asyncpg
describes each statement once (parameter and column types) and then binds and
executes it without describing the portal, asking for results in binary: values must
come in the types the statement was described with, and parameters are sent in the
types their casts name. Prints "ok" when all hold."""
import asyncio
import io
import sys

import asyncpg

port = int(sys.argv[1])


async def main():
    conn = await asyncpg.connect(host="127.0.0.1", port=port, user="x", database="x")
    await conn.execute("create table t(i integer, s text, r real)")
    await conn.executemany("insert into t values ($1::integer, $2::text, $3::float8)",
                           [(1, "one", 0.5), (2, "two", 1.5), (3, None, 2.5)])
    assert await conn.fetch("select i, s, r from t order by i") == [(1, "one", 0.5), (2, "two", 1.5), (3, None, 2.5)]
    assert await conn.fetchrow("select s from t where i = $1::integer", 2) == ("two",)
    # A parameter compared with an integer column is described as one: asyncpg sends
    # numbers for it, as it does to PostgreSQL, which infers the same.
    assert await conn.fetchrow("select s from t where i = $1", 2) == ("two",)
    assert await conn.fetchval("select count(*) from t where r between $1 and $2", 0, 1.5) == 2
    # Parameters by number whatever order they come in, each in its cast's type.
    assert await conn.fetchrow("select $2::text || $1::integer", 7, "x") == ("x7",)
    # A computed column is described as text unless its text tells its one type
    # (count(*)): its values come in the type described, not in the binary form of the
    # number they are.
    assert await conn.fetchval("select count(*) from t") == 3
    assert await conn.fetchval("select i * 2 from t where i = $1::integer", 3) == "6"
    # A statement that fails to prepare (asyncpg waits for the answer before it sends
    # Sync), and a constraint's own error class.
    try:
        await conn.fetch("select * from nosuch")
        raise AssertionError("no error")
    except asyncpg.PostgresError as e:
        assert e.sqlstate == "42000", e.sqlstate
    try:
        await conn.execute("create unique index one_s on t(s); insert into t values (5, 'one', 0)")
        raise AssertionError("no error")
    except asyncpg.UniqueViolationError:
        pass
    # Transactions as asyncpg starts them.
    try:
        async with conn.transaction(isolation="serializable", readonly=True):
            assert await conn.fetchval("select s from t where i = 1") == "one"
            await conn.execute("insert into t values (4, 'four', 0)")
        raise AssertionError("a read-only transaction wrote")
    except asyncpg.PostgresError as e:
        assert e.sqlstate == "25006", e.sqlstate
    async with conn.transaction(isolation="repeatable_read"):
        await conn.execute("insert into t values (4, 'four', 0)")
    assert await conn.fetchval("select count(*) from t") == 4
    # COPY in CSV both ways, and records in the binary format.
    await conn.execute("create table c(i integer, s text)")
    assert await conn.copy_to_table("c", source=io.BytesIO(b'1,a\n2,"b, c"\n'), format="csv") == "COPY 2"
    out = io.BytesIO()
    assert await conn.copy_from_query("select * from c order by i", output=out, format="csv") == "COPY 2"
    assert out.getvalue() == b'1,a\n2,"b, c"\n', out.getvalue()
    assert await conn.copy_records_to_table("c", records=[(3, "x\ty"), (4, None)]) == "COPY 2"
    assert await conn.fetch("select i, s, typeof(i) from c where i > 2 order by i") == [
        (3, "x\ty", "integer"), (4, None, "integer")]
    await conn.close()


asyncio.run(main())
print("ok")
