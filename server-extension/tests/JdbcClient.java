// JDBC (the PostgreSQL driver for Java) against a quendrix server on 127.0.0.1:PORT
// (the only argument), run as a single source file. The driver sets extra_float_digits
// and application_name with SET on connecting, prepares a statement on the server once
// it has run five times, sends batches, starts and ends transactions with its own
// statements, fetches rows through a cursor, cancels a statement at its timeout, and
// reads the catalogue's schemas, types, tables, columns, keys and indexes. Prints "ok"
// when all hold.
import java.io.StringReader;
import java.sql.*;
import java.util.Arrays;
import org.postgresql.copy.CopyManager;
import org.postgresql.core.BaseConnection;

public class JdbcClient {
    static void check(boolean ok, String what) {
        if (!ok) throw new AssertionError(what);
    }

    static int count(Connection c, String sql) throws SQLException {
        try (Statement s = c.createStatement(); ResultSet rs = s.executeQuery(sql)) {
            check(rs.next(), "no row for " + sql);
            return rs.getInt(1);
        }
    }

    public static void main(String[] args) throws Exception {
        String url = "jdbc:postgresql://127.0.0.1:" + args[0] + "/x?user=x&ApplicationName=jdbc%20test";
        try (Connection c = DriverManager.getConnection(url)) {
            try (Statement s = c.createStatement()) {
                s.execute("create table t(i integer primary key, s text, r real, b blob)");
            }
            try (PreparedStatement ps = c.prepareStatement("insert into t values (?, ?, ?, ?)")) {
                for (int i = 1; i <= 10; i++) {
                    ps.setInt(1, i);
                    ps.setString(2, "s" + i);
                    ps.setDouble(3, i / 2.0);
                    ps.setBytes(4, new byte[] {1, 2, (byte) i});
                    check(ps.executeUpdate() == 1, "insert " + i);
                }
            }
            // Past the fifth run the statement is a named one on the server.
            try (PreparedStatement ps = c.prepareStatement("select i, s, r, b from t where i = ?")) {
                for (int k = 0; k < 8; k++) {
                    ps.setInt(1, 3);
                    try (ResultSet rs = ps.executeQuery()) {
                        check(rs.next(), "row");
                        check(rs.getInt(1) == 3 && rs.getString(2).equals("s3") && rs.getDouble(3) == 1.5,
                              "values " + rs.getInt(1) + " " + rs.getString(2) + " " + rs.getDouble(3));
                        check(Arrays.equals(rs.getBytes(4), new byte[] {1, 2, 3}), "bytes");
                        check(!rs.next(), "one row");
                    }
                }
            }
            try (PreparedStatement ps = c.prepareStatement("insert into t(i, s) values (?, ?)")) {
                ps.setInt(1, 100);
                ps.setString(2, "a");
                ps.addBatch();
                ps.setInt(1, 101);
                ps.setString(2, "b");
                ps.addBatch();
                check(Arrays.equals(ps.executeBatch(), new int[] {1, 1}), "batch");
            }
            // Transactions as the driver runs them.
            c.setAutoCommit(false);
            c.setTransactionIsolation(Connection.TRANSACTION_SERIALIZABLE);
            try (Statement s = c.createStatement()) {
                s.executeUpdate("delete from t where i >= 100");
            }
            c.rollback();
            check(count(c, "select count(*) from t") == 12, "rolled back");
            c.commit();
            c.setReadOnly(true);
            try (Statement s = c.createStatement()) {
                s.executeUpdate("delete from t");
                check(false, "a read-only transaction wrote");
            } catch (SQLException e) {
                check("25006".equals(e.getSQLState()), "read only: " + e.getSQLState());
            }
            c.rollback();
            c.setReadOnly(false);
            // In a transaction a fetch size reads the rows through a portal, three at a time.
            try (Statement s = c.createStatement()) {
                s.setFetchSize(3);
                int n = 0;
                try (ResultSet rs = s.executeQuery("select i from t order by i")) {
                    while (rs.next()) n++;
                }
                check(n == 12, "fetched " + n);
            }
            c.commit();
            c.setAutoCommit(true);
            try (Statement s = c.createStatement()) {
                s.executeUpdate("insert into t(i) values (1)");
                check(false, "a duplicate key went in");
            } catch (SQLException e) {
                check("23505".equals(e.getSQLState()), "duplicate: " + e.getSQLState());
            }
            // The query timeout cancels the statement (it would take minutes).
            try (Statement s = c.createStatement()) {
                s.setQueryTimeout(1);
                s.executeQuery("with recursive r(n) as (select 1 union all select n + 1 from r where n < 500000000) "
                               + "select count(*) from r");
                check(false, "not cancelled");
            } catch (SQLException e) {
                check("57014".equals(e.getSQLState()), "cancel: " + e.getSQLState());
            }
            check(count(c, "select 1") == 1, "after the cancel");
            // Bulk loading with COPY, as the driver's CopyManager does it.
            CopyManager copy = new CopyManager((BaseConnection) c);
            long copied = copy.copyIn("COPY t (i, s) FROM STDIN WITH (FORMAT csv)", new StringReader("200,\"a, b\"\n201,c\n"));
            check(copied == 2 && count(c, "select count(*) from t where i >= 200") == 2, "copy in " + copied);
            // The catalogue as tools read it (DatabaseMetaData): tables and their columns.
            DatabaseMetaData meta = c.getMetaData();
            try (ResultSet rs = meta.getTables(null, null, "t", new String[] {"TABLE"})) {
                check(rs.next() && rs.getString("TABLE_NAME").equals("t") && !rs.next(), "tables");
            }
            StringBuilder columns = new StringBuilder();
            try (ResultSet rs = meta.getColumns(null, null, "t", "%")) {
                while (rs.next())
                    columns.append(rs.getString("COLUMN_NAME")).append(' ').append(rs.getString("TYPE_NAME"))
                           .append(' ').append(rs.getString("IS_NULLABLE")).append(';');
            }
            check(columns.toString().equals("i int4 NO;s text YES;r float4 YES;b bytea YES;"), "columns " + columns);
            try (Statement s = c.createStatement()) {
                s.execute("create table pair(a text, b integer, primary key (b, a))");
            }
            StringBuilder key = new StringBuilder();
            try (ResultSet rs = meta.getPrimaryKeys(null, null, "pair")) {
                while (rs.next())
                    key.append(rs.getString("COLUMN_NAME")).append(rs.getInt("KEY_SEQ")).append(' ')
                       .append(rs.getString("PK_NAME")).append(';');
            }
            check(key.toString().equals("b1 pair_pkey;a2 pair_pkey;"), "primary key " + key);
            try (Statement s = c.createStatement()) {
                s.execute("create table child(p_b integer, p_a text, foreign key (p_b, p_a) references pair(b, a) "
                          + "on delete cascade); create index child_a on child(p_a desc)");
            }
            StringBuilder foreign = new StringBuilder();
            try (ResultSet rs = meta.getImportedKeys(null, null, "child")) {
                while (rs.next())
                    foreign.append(rs.getString("PKTABLE_NAME")).append('.').append(rs.getString("PKCOLUMN_NAME"))
                           .append('=').append(rs.getString("FKCOLUMN_NAME")).append(' ').append(rs.getInt("KEY_SEQ"))
                           .append(' ').append(rs.getInt("DELETE_RULE") == DatabaseMetaData.importedKeyCascade)
                           .append(' ').append(rs.getString("PK_NAME")).append(';');
            }
            check(foreign.toString().equals("pair.b=p_b 1 true pair_pkey;pair.a=p_a 2 true pair_pkey;"),
                  "foreign keys " + foreign);
            StringBuilder indexes = new StringBuilder();
            try (ResultSet rs = meta.getIndexInfo(null, null, "child", false, false)) {
                while (rs.next())
                    indexes.append(rs.getString("INDEX_NAME")).append(' ').append(rs.getString("COLUMN_NAME"))
                           .append(' ').append(rs.getString("ASC_OR_DESC")).append(' ')
                           .append(rs.getBoolean("NON_UNIQUE")).append(';');
            }
            check(indexes.toString().equals("child_a p_a D true;"), "indexes " + indexes);
            StringBuilder schemas = new StringBuilder();
            try (ResultSet rs = meta.getSchemas()) {
                while (rs.next()) schemas.append(rs.getString("TABLE_SCHEM")).append(';');
            }
            check(schemas.toString().equals("pg_catalog;public;"), "schemas " + schemas);
            boolean bigint = false;
            try (ResultSet rs = meta.getTypeInfo()) {
                while (rs.next()) bigint |= rs.getString("TYPE_NAME").equals("int8") && rs.getInt("DATA_TYPE") == Types.BIGINT;
            }
            check(bigint, "types");
            check("jdbc test".equals(c.getClientInfo("ApplicationName")), "application name");
            try (Statement s = c.createStatement(); ResultSet rs = s.executeQuery("show application_name")) {
                check(rs.next() && rs.getString(1).equals("jdbc test"), "application name on the server");
            }
        }
        System.out.println("ok");
    }
}
