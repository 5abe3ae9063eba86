package vorel.tests;

import java.util.Objects;

/** A minimal assertion helper for the JVM tests: counts checks and ends with "N passed, M failed". */
public final class Check {
    private static int passed;
    private static int failed;

    private Check() {
    }

    public static void equal(Object expected, Object actual, String what) {
        if (Objects.equals(expected, actual)) {
            passed++;
        } else {
            failed++;
            System.out.println("FAILED: " + what + ": expected <" + expected + "> but was <" + actual + ">");
        }
    }

    public static void isTrue(boolean condition, String what) {
        equal(true, condition, what);
    }

    /** Prints the tally and exits: status 0 only when every check passed and there was at least one. */
    public static void finish() {
        System.out.println(passed + " passed, " + failed + " failed");
        System.out.flush();
        System.exit(failed == 0 && passed > 0 ? 0 : 1);
    }
}
