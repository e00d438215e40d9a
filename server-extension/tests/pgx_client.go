// pgx (Go's PostgreSQL driver) against a quendrix server on 127.0.0.1:PORT (the only
// argument). pgx prepares each statement, asks for its parameter and column types, and
// encodes the values it is given in those types: a number for a parameter compared with,
// set into or inserted into an integer or real column, a string for a text one. It also
// sends batches as one pipeline. Prints "ok" when all hold.
package main

import (
	"context"
	"errors"
	"fmt"
	"os"

	"github.com/jackc/pgconn"
	"github.com/jackc/pgx/v4"
)

func check(ok bool, what string, args ...interface{}) {
	if !ok {
		fmt.Printf(what+"\n", args...)
		os.Exit(1)
	}
}

func state(err error) string {
	var pgErr *pgconn.PgError
	if errors.As(err, &pgErr) {
		return pgErr.Code
	}
	return fmt.Sprint(err)
}

func main() {
	ctx := context.Background()
	conn, err := pgx.Connect(ctx, "postgres://x@127.0.0.1:"+os.Args[1]+"/x?sslmode=disable")
	check(err == nil, "connect: %v", err)
	defer conn.Close(ctx)

	_, err = conn.Exec(ctx, "create table t(id integer primary key, s text, r real)")
	check(err == nil, "create: %v", err)
	for i := 1; i <= 5; i++ {
		_, err = conn.Exec(ctx, "insert into t values ($1, $2, $3)", i, fmt.Sprintf("s%d", i), float64(i)/2)
		check(err == nil, "insert %d: %v", i, err)
	}
	var s string
	var r float64
	err = conn.QueryRow(ctx, "select s, r from t where id = $1", 3).Scan(&s, &r)
	check(err == nil && s == "s3" && r == 1.5, "point query: %v %q %v", err, s, r)
	err = conn.QueryRow(ctx, "select t.id from t where $1 = t.s", "s4").Scan(new(int64))
	check(err == nil, "text parameter: %v", err)
	var n int64
	err = conn.QueryRow(ctx, "select count(*) from t where id in ($1, $2) or r between $3 and $4", 1, 2, 2.0, 2.5).Scan(&n)
	check(err == nil && n == 4, "in and between: %v %d", err, n)
	rows, err := conn.Query(ctx, "select id from t order by id limit $1 offset $2", 2, 1)
	check(err == nil, "limit: %v", err)
	var ids []int64
	for rows.Next() {
		var id int64
		check(rows.Scan(&id) == nil, "scan")
		ids = append(ids, id)
	}
	check(rows.Err() == nil && len(ids) == 2 && ids[0] == 2 && ids[1] == 3, "limit rows: %v %v", rows.Err(), ids)
	tag, err := conn.Exec(ctx, "update t set r = $1 where id >= $2", 9.5, 4)
	check(err == nil && tag.RowsAffected() == 2, "update: %v %v", err, tag)

	// A batch goes as one pipeline of prepared statements.
	batch := &pgx.Batch{}
	batch.Queue("insert into t(id, s) values ($1, $2)", 6, "six")
	batch.Queue("select s from t where id = $1", 6)
	results := conn.SendBatch(ctx, batch)
	_, err = results.Exec()
	check(err == nil, "batch insert: %v", err)
	err = results.QueryRow().Scan(&s)
	check(err == nil && s == "six", "batch select: %v %q", err, s)
	check(results.Close() == nil, "batch close")

	_, err = conn.Exec(ctx, "insert into t(id) values ($1)", 1)
	check(state(err) == "23505", "duplicate: %v", err)
	tx, err := conn.BeginTx(ctx, pgx.TxOptions{AccessMode: pgx.ReadOnly})
	check(err == nil, "begin: %v", err)
	_, err = tx.Exec(ctx, "delete from t where id = $1", 1)
	check(state(err) == "25006", "read only: %v", err)
	check(tx.Rollback(ctx) == nil, "rollback")
	err = conn.QueryRow(ctx, "select count(*) from t").Scan(&n)
	check(err == nil && n == 6, "count: %v %d", err, n)
	fmt.Println("ok")
}
