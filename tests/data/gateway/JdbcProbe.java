// What pgjdbc does against the gateway, printed a line per fact for
// tests/test_gateway.py to read: the metadata calls tools make, a prepared
// statement past the driver's switch to a named server-side statement, and a
// result read one row at a time from a suspended portal.
//
//   java -cp postgresql.jar:. JdbcProbe jdbc:postgresql://127.0.0.1:PORT/db USER PASSWORD

import java.sql.Connection;
import java.sql.DatabaseMetaData;
import java.sql.DriverManager;
import java.sql.PreparedStatement;
import java.sql.ResultSet;
import java.sql.Statement;
import java.util.ArrayList;
import java.util.List;
import java.util.Properties;

public class JdbcProbe {
    public static void main(String[] args) throws Exception {
        Properties props = new Properties();
        props.setProperty("user", args[1]);
        props.setProperty("password", args[2]);
        try (Connection conn = DriverManager.getConnection(args[0], props)) {
            DatabaseMetaData meta = conn.getMetaData();
            System.out.println("product " + meta.getDatabaseProductName() + " "
                    + meta.getDatabaseProductVersion());

            try (ResultSet rs = meta.getTables(null, null, "%", null)) {
                while (rs.next()) {
                    System.out.println("table " + rs.getString("TABLE_SCHEM") + "."
                            + rs.getString("TABLE_NAME") + " " + rs.getString("TABLE_TYPE"));
                }
            }
            try (ResultSet rs = meta.getSchemas()) {
                while (rs.next()) {
                    System.out.println("schema " + rs.getString("TABLE_SCHEM"));
                }
            }
            try (ResultSet rs = meta.getColumns(null, "sales", "%", "%")) {
                while (rs.next()) {
                    System.out.println("column " + rs.getString("TABLE_NAME") + "."
                            + rs.getString("COLUMN_NAME") + " " + rs.getString("TYPE_NAME")
                            + " " + rs.getInt("ORDINAL_POSITION"));
                }
            }
            try (ResultSet rs = meta.getPrimaryKeys(null, "sales", "orders")) {
                while (rs.next()) {
                    System.out.println("primary key " + rs.getString("COLUMN_NAME"));
                }
                System.out.println("primary keys read");
            }
            int types = 0;
            try (ResultSet rs = meta.getTypeInfo()) {
                while (rs.next()) {
                    types++;
                }
            }
            System.out.println("types " + types);

            // The driver moves to a named server-side statement on the fifth run.
            try (PreparedStatement ps = conn.prepareStatement(
                    "SELECT name FROM sales.customers WHERE id >= ? ORDER BY id")) {
                for (int i = 1; i <= 7; i++) {
                    ps.setInt(1, 1);
                    List<String> names = new ArrayList<>();
                    try (ResultSet rs = ps.executeQuery()) {
                        while (rs.next()) {
                            names.add(rs.getString(1));
                        }
                    }
                    System.out.println("prepared " + i + " " + String.join("|", names));
                }
            }

            // A fetch size outside autocommit reads from a portal, a row at a time.
            conn.setAutoCommit(false);
            try (Statement st = conn.createStatement()) {
                st.setFetchSize(1);
                List<String> rows = new ArrayList<>();
                try (ResultSet rs = st.executeQuery(
                        "SELECT o.id, c.name FROM sales.orders AS o "
                        + "JOIN sales.customers AS c ON c.id = o.customer_id ORDER BY o.id")) {
                    while (rs.next()) {
                        rows.add(rs.getInt(1) + ":" + rs.getString(2));
                    }
                }
                System.out.println("fetched " + String.join("|", rows));
            }
            conn.commit();
            System.out.println("done");
        }
    }
}
