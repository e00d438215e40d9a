"""SQLAlchemy 1.4 (over psycopg2) against a quendrix server on 127.0.0.1:PORT (the only
argument): it connects (reading the server's version and looking up the hstore type),
creates tables of ORM classes with numbered keys (asking pg_class whether they exist
first), inserts and reads objects, runs text queries with parameters, reflects the
tables it made (columns, keys, indexes) as pandas and Alembic do, inserts and updates
rows with psycopg2's execute_values, and drops the tables. Prints "ok" when all hold."""
import sys

import sqlalchemy as sa
from psycopg2.extras import execute_values
from sqlalchemy.orm import Session, declarative_base

port = int(sys.argv[1])
engine = sa.create_engine("postgresql+psycopg2://x@127.0.0.1:%d/x" % port)
Base = declarative_base()


class Author(Base):
    __tablename__ = "author"
    id = sa.Column(sa.Integer, primary_key=True)
    name = sa.Column(sa.String(40), nullable=False, unique=True)


class Book(Base):
    __tablename__ = "book"
    id = sa.Column(sa.BigInteger, primary_key=True)
    title = sa.Column(sa.Text, nullable=False)
    author_id = sa.Column(sa.Integer, sa.ForeignKey("author.id"))


Base.metadata.create_all(engine)
assert sa.inspect(engine).has_table("book")
Base.metadata.create_all(engine)  # the tables exist: nothing to do

with Session(engine) as session:
    ann, bob = Author(name="ann"), Author(name="bob")
    session.add_all([ann, bob])
    session.flush()  # INSERT ... RETURNING gives the new keys
    assert (ann.id, bob.id) == (1, 2), (ann.id, bob.id)
    session.add_all([Book(title="one", author_id=ann.id), Book(title="two", author_id=ann.id)])
    session.commit()
    titles = [b.title for b in session.query(Book).filter(Book.author_id == ann.id).order_by(Book.id)]
    assert titles == ["one", "two"], titles
    session.add(Author(name="ann"))
    try:
        session.commit()
        raise AssertionError("a second ann")
    except sa.exc.IntegrityError as e:
        assert e.orig.pgcode == "23505", e.orig.pgcode
        session.rollback()
    assert session.query(Author).count() == 2

with engine.connect() as conn:
    got = conn.execute(sa.text("select count(*) from book where title like :p"), {"p": "t%"}).scalar()
    assert got == 1, got
    assert conn.execute(sa.text("select current_schema()")).scalar() == "public"

# Reflection of tables that exist: what each column is, the keys and the indexes.
with engine.begin() as conn:
    conn.execute(sa.text("create index book_title on book(title)"))
    conn.execute(sa.text("create table note(a integer not null, b varchar(10) default 'x', "
                         "primary key (a, b))"))
inspector = sa.inspect(engine)
columns = {c["name"]: c for c in inspector.get_columns("book")}
assert list(columns) == ["id", "title", "author_id"], list(columns)
assert isinstance(columns["id"]["type"], sa.Integer), columns["id"]  # a numbered key is INTEGER
assert isinstance(columns["title"]["type"], sa.Text) and not columns["title"]["nullable"], columns["title"]
assert columns["author_id"]["nullable"], columns["author_id"]
name = inspector.get_columns("author")[1]
assert isinstance(name["type"], sa.String) and name["type"].length == 40, name
assert inspector.get_pk_constraint("book") == {"constrained_columns": ["id"], "name": "book_pkey"}
assert inspector.get_pk_constraint("note")["constrained_columns"] == ["a", "b"]
assert inspector.get_columns("note")[1]["default"] == "'x'", inspector.get_columns("note")
fks = inspector.get_foreign_keys("book")
assert [(f["constrained_columns"], f["referred_table"], f["referred_columns"]) for f in fks] == \
    [(["author_id"], "author", ["id"])], fks
indexes = inspector.get_indexes("book")
assert [(i["name"], i["column_names"], bool(i["unique"])) for i in indexes] == \
    [("book_title", ["title"], False)], indexes
unique = [(i["column_names"], bool(i["unique"])) for i in inspector.get_indexes("author")]
assert unique == [(["name"], True)], unique
uniques = inspector.get_unique_constraints("author")
assert uniques == [{"name": "author_name_key", "column_names": ["name"]}], uniques
meta = sa.MetaData()
meta.reflect(engine)
assert sorted(meta.tables) == ["author", "book", "note"], sorted(meta.tables)
assert [c.name for c in meta.tables["book"].primary_key] == ["id"]
with engine.begin() as conn:
    rows = conn.execute(sa.select(meta.tables["book"].c.title).order_by(meta.tables["book"].c.id)).all()
    assert [r[0] for r in rows] == ["one", "two"], rows
    conn.execute(sa.text("drop table note"))

# psycopg2's execute_values: many rows in one statement, and an UPDATE from a VALUES list
# whose alias names its columns.
raw = engine.raw_connection()
cur = raw.cursor()
execute_values(cur, "insert into author(name) values %s returning id", [("cy",), ("di",)])
ids = [r[0] for r in cur.fetchall()]
execute_values(cur, "update author set name = v.name from (values %s) as v(id, name) where author.id = v.id",
               [(ids[0], "Cy"), (ids[1], "Di")])
raw.commit()
cur.execute("select name from author where id in %s order by id", (tuple(ids),))
assert cur.fetchall() == [("Cy",), ("Di",)]
raw.close()

Base.metadata.drop_all(engine)
assert not sa.inspect(engine).has_table("book")
print("ok")
