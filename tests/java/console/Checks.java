package com.larkspire.vorel.console;

import java.util.Objects;

/** A small table-driven test harness: named checks, a tally, an exit status. */
final class Checks {
    private int passed;
    private int failed;

    void equal(String name, Object expected, Object actual) {
        if (Objects.equals(expected, actual)) {
            passed++;
        } else {
            failed++;
            System.out.println("FAIL " + name);
            System.out.println("  expected: " + expected);
            System.out.println("  actual:   " + actual);
        }
    }

    void isTrue(String name, boolean condition, String detail) {
        if (condition) {
            passed++;
        } else {
            failed++;
            System.out.println("FAIL " + name + ": " + detail);
        }
    }

    /** Runs {@code body}; an exception from it is one failure. */
    void noThrow(String name, Runnable body) {
        try {
            body.run();
            passed++;
        } catch (RuntimeException | Error e) {
            failed++;
            System.out.println("FAIL " + name + ": " + e);
        }
    }

    /** Prints the tally and ends the process: 0 when every check passed, 1 otherwise. */
    void finish() {
        System.out.println(passed + " passed, " + failed + " failed");
        System.exit(failed == 0 ? 0 : 1);
    }
}
