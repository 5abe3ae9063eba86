package com.larkspire.vorel.console;

import java.nio.file.Path;
import java.time.Duration;
import java.time.LocalTime;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Optional;
import java.util.OptionalInt;
import java.util.OptionalLong;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * The capture console without the library: its command line, its frame lines, and the session's stop and release
 * against a stand-in for the library whose delivery call blocks the way the library's does.
 */
public final class CaptureConsoleTest {

    private static void options(Checks checks) {
        record Good(String[] args, boolean list, OptionalInt card, int driverCard, OptionalLong frames, long millis) {
        }
        List<Good> good = List.of(
                new Good(new String[] {}, false, OptionalInt.empty(), -1, OptionalLong.empty(), 0),
                new Good(new String[] {"--list"}, true, OptionalInt.empty(), -1, OptionalLong.empty(), 0),
                new Good(new String[] {"2"}, false, OptionalInt.of(2), 2, OptionalLong.empty(), 0),
                new Good(new String[] {"-1"}, false, OptionalInt.of(-1), -1, OptionalLong.empty(), 0),
                new Good(new String[] {"-2"}, false, OptionalInt.of(-2), -2, OptionalLong.empty(), 0),
                new Good(new String[] {"--frames", "10", "--seconds", "2.5", "3"}, false, OptionalInt.of(3), 3,
                        OptionalLong.of(10), 2500),
                new Good(new String[] {"--frames=5", "--seconds=1"}, false, OptionalInt.empty(), -1, OptionalLong.of(5), 1000),
                new Good(new String[] {"1", "--seconds", "0.001"}, false, OptionalInt.of(1), 1, OptionalLong.empty(), 1));
        for (Good g : good) {
            String name = "options " + String.join(" ", g.args());
            try {
                ConsoleOptions o = ConsoleOptions.parse(g.args());
                checks.equal(name + ": list", g.list(), o.list());
                checks.equal(name + ": card", g.card(), o.card());
                checks.equal(name + ": DriverStart card", g.driverCard(), o.driverCard());
                checks.equal(name + ": frames", g.frames(), o.maxFrames());
                checks.equal(name + ": milliseconds", g.millis(), o.maxTime().toMillis());
                checks.equal(name + ": has time limit", g.millis() != 0, o.hasTimeLimit());
                checks.equal(name + ": help", false, o.help());
            } catch (IllegalArgumentException e) {
                checks.isTrue(name, false, "refused: " + e.getMessage());
            }
        }
        ConsoleOptions files = ConsoleOptions.parse("--write", "out.pcapng", "--force", "--replay=in.pcap", "2");
        checks.equal("options --write", Optional.of(Path.of("out.pcapng")), files.write());
        checks.equal("options --force", true, files.force());
        checks.equal("options --replay=", Optional.of(Path.of("in.pcap")), files.replay());
        checks.equal("options --write, no --force", false, ConsoleOptions.parse("--write=x").force());
        checks.equal("options without files", Optional.empty(), ConsoleOptions.parse("1").replay());
        checks.equal("options --replay without a card: card 1", 1, ConsoleOptions.parse("--replay", "in.pcap").driverCard());
        checks.equal("options --write -", true, ConsoleOptions.parse("--write", "-").writesToStandardOutput());
        checks.equal("options --help", true, ConsoleOptions.parse("--help").help());
        checks.equal("options -h", true, ConsoleOptions.parse("-h").help());

        String[][] bad = {
                {"0"}, {"1", "2"}, {"99999999999"}, {"--frames"}, {"--frames", "0"}, {"--frames", "x"}, {"--frames=-3"},
                {"--seconds"}, {"--seconds", "-1"}, {"--seconds", "0"}, {"--seconds", "NaN"}, {"--seconds", "Infinity"},
                {"--seconds", "1e12"}, {"--seconds", "5d"}, {"--seconds", "0x1p1"}, {"--seconds", " 3"}, {"--bogus"},
                {"eth0"}, {"--list=yes"},
                {"--write"}, {"--write="}, {"--replay"}, {"--force"}, {"--force=yes", "--write", "x"},
                {"--write", "a", "--write=b"}, {"--frames", "1", "--frames", "1"}, {"-h", "--help"},
                {"--list", "--frames", "3"}, {"--list", "--write", "x"}, {"--list", "--seconds", "1"},
        };
        for (String[] args : bad) {
            String name = "options " + String.join(" ", args) + " refused";
            try {
                ConsoleOptions.parse(args);
                checks.isTrue(name, false, "accepted");
            } catch (IllegalArgumentException e) {
                checks.isTrue(name, e.getMessage() != null && !e.getMessage().isEmpty(), "no message");
            }
        }
        try {
            ConsoleOptions.parse("--frames", "99999999999999999999");
            checks.isTrue("options --frames too large", false, "accepted");
        } catch (IllegalArgumentException e) {
            checks.equal("options --frames too large", "--frames 99999999999999999999 is too large (at most 9223372036854775807)",
                    e.getMessage());
        }
    }

    private static void frameLines(Checks checks) {
        byte[] buffer = new byte[CaptureConsole.BUFFER_LENGTH];
        byte[] frame = Frames.padded(Frames.ethernet(Frames.BROADCAST, Frames.MAC_A, 0x0806,
                Frames.arp(1, Frames.MAC_A, "10.0.0.1", "00:00:00:00:00:00", "10.0.0.2")));
        System.arraycopy(frame, 0, buffer, 0, frame.length);
        LocalTime time = LocalTime.of(9, 5, 7, 12_000_000);
        checks.equal("frame line", "      3 09:05:07.012     60   ARP request who-has 10.0.0.2 tell 10.0.0.1",
                CaptureConsole.frameLine(3, time, 60, buffer));
        checks.equal("frame line, count above the column", "12345678 09:05:07.012     60   ARP request who-has 10.0.0.2 tell 10.0.0.1",
                CaptureConsole.frameLine(12_345_678, time, 60, buffer));
        // A frame longer than the buffer: its full length, marked, and a summary of the bytes copied.
        byte[] small = frame.clone();
        checks.equal("frame line, frame longer than the buffer",
                "      4 09:05:07.012    100*  ARP request who-has 10.0.0.2 tell 10.0.0.1",
                CaptureConsole.frameLine(4, time, 100, small));
        checks.equal("frame line, buffer holds the whole frame", "      5 09:05:07.012  65535   ARP request who-has 10.0.0.2 tell 10.0.0.1",
                CaptureConsole.frameLine(5, time, 65535, buffer));
    }

    /**
     * A stand-in for the library's delivery: frames from a list, then a delivery call that waits until the
     * release (or, when {@code stopEndsWait}, until the stop), as the library's refill does. It records the calls.
     */
    private static final class FakeDriver implements CaptureSession.Driver {
        final List<String> calls = Collections.synchronizedList(new ArrayList<>());
        final AtomicInteger deliveriesAfterRelease = new AtomicInteger();
        final CountDownLatch waiting = new CountDownLatch(1);
        private final int[] frames;
        private final boolean stopEndsWait;
        private final CountDownLatch stopped = new CountDownLatch(1);
        private final CountDownLatch released = new CountDownLatch(1);
        private int next;

        FakeDriver(boolean stopEndsWait, int... frames) {
            this.stopEndsWait = stopEndsWait;
            this.frames = frames;
        }

        @Override
        public int getFrame(byte[] buffer, int maxLength) {
            if (released.getCount() == 0) {
                deliveriesAfterRelease.incrementAndGet();
                return 0;
            }
            if (stopped.getCount() == 0) {
                return 0;
            }
            if (next < frames.length) {
                return frames[next++];
            }
            waiting.countDown();
            try {
                (stopEndsWait ? stopped : released).await();
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
            return 0;
        }

        @Override
        public void stop() {
            calls.add("stop");
            stopped.countDown();
        }

        @Override
        public void release() {
            calls.add("release");
            released.countDown();
        }
    }

    /** Runs the console's loop shape: frames until ENDED or the limit, then the release. Returns frames taken. */
    private static int drive(CaptureSession session, int limit) {
        byte[] buffer = new byte[64];
        int taken = 0;
        while (taken < limit) {
            int length = session.nextFrame(buffer);
            if (length == CaptureSession.ENDED) {
                break;
            }
            if (length > 0) {
                taken++;
            }
        }
        session.release();
        return taken;
    }

    private static void sessions(Checks checks) throws InterruptedException {
        // Frame limit: the release follows the last frame; nothing is delivered after it.
        FakeDriver driver = new FakeDriver(false, 60, 0, 1514, 60);
        CaptureSession session = new CaptureSession(driver);
        checks.equal("frame limit: frames taken (a 0 in between is no end)", 3, drive(session, 3));
        checks.equal("frame limit: library calls", List.of("stop", "release"), driver.calls);
        checks.equal("after the release: ENDED without a library call", CaptureSession.ENDED, session.nextFrame(new byte[64]));
        checks.equal("after the release: no delivery reached the library", 0, driver.deliveriesAfterRelease.get());
        session.release();
        checks.equal("a second release does nothing", List.of("stop", "release"), driver.calls);

        // Time limit while the delivery call waits in the library: the timer's release ends it.
        driver = new FakeDriver(false, 60, 60);
        session = new CaptureSession(driver);
        long start = System.nanoTime();
        session.releaseAfter(Duration.ofMillis(300));
        int taken = drive(session, Integer.MAX_VALUE);
        long millis = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
        checks.equal("time limit: frames taken", 2, taken);
        checks.isTrue("time limit: ends after the limit", millis >= 300, millis + " ms");
        checks.isTrue("time limit: ends soon after the limit", millis < 3000, millis + " ms");
        checks.equal("time limit: library calls", List.of("stop", "release"), driver.calls);
        checks.equal("time limit: no delivery after the release", 0, driver.deliveriesAfterRelease.get());
        checks.equal("time limit: ended", true, session.hasEnded());

        // A library whose stop already ends the wait: the release does not wait out its grace.
        driver = new FakeDriver(true);
        CaptureSession quick = new CaptureSession(driver);
        Thread capture = new Thread(() -> drive(quick, Integer.MAX_VALUE));
        capture.start();
        checks.isTrue("stop ends the wait: delivery call waiting", driver.waiting.await(5, TimeUnit.SECONDS), "never waited");
        start = System.nanoTime();
        quick.release();
        millis = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
        capture.join(5000);
        checks.isTrue("stop ends the wait: release within the grace", millis < 100, millis + " ms");
        checks.equal("stop ends the wait: capture thread done", false, capture.isAlive());
        checks.equal("stop ends the wait: library calls", List.of("stop", "release"), driver.calls);
        checks.equal("stop ends the wait: no delivery after the release", 0, driver.deliveriesAfterRelease.get());

        // Releases from several threads at once: one release, and each caller returns after it.
        for (int round = 0; round < 20; round++) {
            FakeDriver racing = new FakeDriver(false);
            CaptureSession shared = new CaptureSession(racing);
            Thread loop = new Thread(() -> drive(shared, Integer.MAX_VALUE));
            loop.start();
            racing.waiting.await(5, TimeUnit.SECONDS);
            List<Thread> releasers = new ArrayList<>();
            List<Boolean> sawRelease = Collections.synchronizedList(new ArrayList<>());
            for (int t = 0; t < 4; t++) {
                Thread releaser = new Thread(() -> {
                    shared.release();
                    sawRelease.add(racing.calls.contains("release"));
                });
                releasers.add(releaser);
                releaser.start();
            }
            for (Thread releaser : releasers) {
                releaser.join(5000);
            }
            loop.join(5000);
            if (round == 0 || !racing.calls.equals(List.of("stop", "release")) || sawRelease.contains(false)
                    || loop.isAlive() || racing.deliveriesAfterRelease.get() != 0) {
                checks.equal("racing releases (round " + round + "): library calls", List.of("stop", "release"), racing.calls);
                checks.equal("racing releases (round " + round + "): every caller returned after the release",
                        List.of(true, true, true, true), sawRelease);
                checks.equal("racing releases (round " + round + "): capture thread done", false, loop.isAlive());
                checks.equal("racing releases (round " + round + "): no delivery after the release", 0,
                        racing.deliveriesAfterRelease.get());
            }
        }
    }

    public static void main(String[] args) throws InterruptedException {
        Checks checks = new Checks();
        options(checks);
        frameLines(checks);
        sessions(checks);
        checks.finish();
    }
}
