package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import com.tolvane.snapshot.FormatConstants;
import java.lang.reflect.Field;
import java.lang.reflect.Modifier;
import java.util.HashSet;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.Set;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import org.junit.jupiter.api.Test;

/**
 * The format document's constants table says what the reader uses, and names
 * every constant of the format's one definition (FormatConstants).
 */
class SnapshotFormatDocTest {

    /** "| meaning | `value` | `Class.CONSTANT` |", or "—" where the reader has no constant. */
    private static final Pattern ROW = Pattern.compile("\\| [^|]+ \\| `([^`]+)` \\| (?:`(\\w+)\\.(\\w+)`|—) \\|");

    @Test
    void constantsTableAgreesWithTheReader() throws Exception {
        Path doc = Path.of(System.getProperty("tolvane.root", "."), "docs", "snapshot-format.md");
        List<String> lines = Files.readAllLines(doc);
        int heading = lines.indexOf("## Constants");
        assertTrue(heading >= 0, "no constants section in " + doc);

        int rows = 0;
        int checked = 0;
        Set<String> named = new HashSet<>();
        for (int i = heading + 1; i < lines.size() && !lines.get(i).startsWith("## "); i++) {
            String line = lines.get(i);
            if (!line.startsWith("| ") || line.startsWith("| Meaning ")) {
                continue;  // prose, the separator row, the head row
            }
            rows++;
            Matcher row = ROW.matcher(line);
            if (!row.matches()) {
                fail("constants row not in the form | meaning | `value` | `Class.CONSTANT` or — |: " + line);
            }
            long documented = Long.decode(row.group(1));
            if (row.group(2) == null) {
                continue;
            }
            named.add(row.group(2) + "." + row.group(3));
            Field field = Class.forName("com.tolvane.snapshot." + row.group(2)).getField(row.group(3));
            // Constants are ints; the magic is documented as the unsigned value of its bytes.
            assertEquals(documented, Integer.toUnsignedLong(field.getInt(null)), line);
            checked++;
        }
        assertTrue(rows >= 19, "the constants table lost rows: " + rows);
        assertTrue(checked >= 14, "too few constants checked against the reader: " + checked);
        for (Field f : FormatConstants.class.getFields()) {
            if (Modifier.isStatic(f.getModifiers())) {
                assertTrue(named.contains("FormatConstants." + f.getName()),
                    "FormatConstants." + f.getName() + " is missing from the constants table");
            }
        }
    }
}
