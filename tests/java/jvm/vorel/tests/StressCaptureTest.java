package vorel.tests;

import com.larkspire.vorel.util.NativeCollection;
import java.io.BufferedOutputStream;
import java.io.File;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.ArrayList;
import java.util.List;
import java.util.Random;
import java.util.concurrent.atomic.AtomicIntegerArray;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.atomic.AtomicReference;

/**
 * Capture of a replayed file of numbered frames (1,000,000 by default) while another thread toggles the pause
 * and stops and restarts delivery (DriverStop, then DriverStart with the same card) for the whole length of
 * it: every frame must arrive exactly once, in order, byte for byte. A delivery call returns 0 while delivery
 * is stopped, so the capture loop calls again until every frame has come; a watchdog releases the library
 * (FreeOnExit, which ends any delivery call) when no frame has come for a while, so that the test fails
 * instead of hanging. Arguments: the capture file to write (the replay device reads it when DriverStart
 * opens it), the number of frames, and optionally the number of Java threads that deliver at once (1 by
 * default). With several, each frame must reach exactly one of them, intact, and each thread sees its frames in
 * increasing order; once all have come, FreeOnExit ends the calls still waiting for more.
 */
public final class StressCaptureTest {
    static final long STALL_LIMIT_MS = 30_000;

    static int lengthOf(int n) {
        return 16 + (n * 7) % 16;
    }

    /** Frame n: its number (big-endian) in the first four bytes, then bytes that depend on n and the position. */
    static void fill(byte[] frame, int n) {
        int length = lengthOf(n);
        frame[0] = (byte) (n >>> 24);
        frame[1] = (byte) (n >>> 16);
        frame[2] = (byte) (n >>> 8);
        frame[3] = (byte) n;
        for (int i = 4; i < length; i++) {
            frame[i] = (byte) (n * 31 + i);
        }
    }

    static void writeCapture(String path, int frames) throws IOException {
        ByteBuffer record = ByteBuffer.allocate(16 + 32).order(ByteOrder.LITTLE_ENDIAN);
        byte[] frame = new byte[32];
        try (OutputStream out = new BufferedOutputStream(new FileOutputStream(path), 1 << 20)) {
            ByteBuffer header = ByteBuffer.allocate(24).order(ByteOrder.LITTLE_ENDIAN);
            header.putInt(0xa1b2c3d4).putShort((short) 2).putShort((short) 4).putInt(0).putInt(0).putInt(65535).putInt(1);
            out.write(header.array());
            for (int n = 0; n < frames; n++) {
                int length = lengthOf(n);
                fill(frame, n);
                record.clear();
                record.putInt(1700000000 + n / 1000).putInt((n % 1000) * 1000).putInt(length).putInt(length);
                record.put(frame, 0, length);
                out.write(record.array(), 0, record.position());
            }
        }
    }

    static volatile boolean captureDone;
    static volatile boolean watchdogFired;
    static volatile String watchdogReason = "";

    public static void main(String[] args) throws Exception {
        String path = args[0];
        int frames = Integer.parseInt(args[1]);
        long written = System.nanoTime();
        writeCapture(path, frames);
        System.out.printf("== wrote %d frames in %d ms%n", frames, (System.nanoTime() - written) / 1_000_000);

        NativeCollection nc = new NativeCollection();
        Check.equal(1, nc.GetCardNumbers(), "one adapter");
        Check.equal(0, nc.DriverStart(1), "start");

        AtomicLong received = new AtomicLong();
        AtomicLong pauses = new AtomicLong();
        AtomicLong restarts = new AtomicLong();
        AtomicLong failedRestarts = new AtomicLong();

        // Pause and resume, stop and start again, at random short intervals, until every frame has come.
        Thread toggler = new Thread(() -> {
            Random random = new Random(20261207L);
            try {
                while (!captureDone && !watchdogFired) {
                    Thread.sleep(random.nextInt(3));
                    if (random.nextBoolean()) {
                        nc.SetPausedOn(true);
                        Thread.sleep(0, random.nextInt(500_000));
                        nc.SetPausedOn(false);
                        pauses.incrementAndGet();
                    } else {
                        nc.DriverStop();
                        Thread.sleep(0, random.nextInt(500_000));
                        if (watchdogFired) {
                            break;  // the library was released: starting now would open the file afresh
                        }
                        if (nc.DriverStart(1) != 0) {
                            failedRestarts.incrementAndGet();
                        }
                        restarts.incrementAndGet();
                    }
                }
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }, "toggler");
        toggler.setDaemon(true);

        // Ends a capture that no longer makes progress: the release makes every delivery call return 0.
        Thread watchdog = new Thread(() -> {
            long seen = -1;
            long since = System.nanoTime();
            try {
                while (!captureDone) {
                    Thread.sleep(200);
                    long now = received.get();
                    if (now != seen) {
                        seen = now;
                        since = System.nanoTime();
                    } else if ((System.nanoTime() - since) / 1_000_000 > STALL_LIMIT_MS) {
                        watchdogReason = "no frame for " + STALL_LIMIT_MS / 1000 + " s after " + now + " frames";
                        watchdogFired = true;
                        nc.FreeOnExit();
                        return;
                    }
                }
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }, "watchdog");
        watchdog.setDaemon(true);

        // Without an array nothing can be delivered: the frame stays for the next call.
        Check.equal(0, nc.GetFrameFromDriver(null, 64), "a null array takes no frame");

        int threads = args.length > 2 ? Integer.parseInt(args[2]) : 1;
        AtomicIntegerArray seen = new AtomicIntegerArray(frames);
        AtomicReference<String> firstFault = new AtomicReference<>();
        AtomicLong emptyCalls = new AtomicLong();
        List<Thread> deliverers = new ArrayList<>();
        for (int t = 0; t < threads; t++) {
            deliverers.add(new Thread(() -> {
                byte[] buffer = new byte[64];
                byte[] expected = new byte[32];
                int last = -1;
                while (received.get() < frames && !watchdogFired && firstFault.get() == null) {
                    int length = nc.GetFrameFromDriver(buffer, buffer.length);
                    if (length == 0) {
                        emptyCalls.incrementAndGet();  // stopped, or released (no frame of the file is empty)
                        continue;
                    }
                    int number = (buffer[0] & 0xff) << 24 | (buffer[1] & 0xff) << 16 | (buffer[2] & 0xff) << 8 | (buffer[3] & 0xff);
                    String fault = null;
                    if (number <= last || number >= frames) {
                        fault = "frame " + number + " after frame " + last + " on one thread";
                    } else if (seen.getAndIncrement(number) != 0) {
                        fault = "frame " + number + " delivered twice";
                    } else {
                        fill(expected, number);
                        if (length != lengthOf(number) || !java.util.Arrays.equals(buffer, 0, length, expected, 0, lengthOf(number))) {
                            fault = "frame " + number + " damaged (" + length + " bytes)";
                        }
                    }
                    if (fault != null) {
                        firstFault.compareAndSet(null, fault);
                        break;
                    }
                    last = number;
                    received.incrementAndGet();
                }
            }, "deliverer-" + t));
        }

        long started = System.nanoTime();
        toggler.start();
        watchdog.start();
        for (Thread deliverer : deliverers) {
            deliverer.start();
        }
        while (received.get() < frames && !watchdogFired && firstFault.get() == null) {
            Thread.sleep(5);
        }
        long elapsedMs = (System.nanoTime() - started) / 1_000_000;
        captureDone = true;
        toggler.join(10_000);
        watchdog.join(10_000);
        // The release ends the calls that wait for frames that will not come.
        if (!watchdogFired) {
            nc.FreeOnExit();
        }
        for (Thread deliverer : deliverers) {
            deliverer.join(10_000);
            Check.equal(false, deliverer.isAlive(), deliverer.getName() + " ended after the release");
        }
        int next = (int) received.get();

        Check.equal(null, firstFault.get(), "every frame once, in order on each thread, byte for byte");
        Check.equal("", watchdogReason, "the capture kept going");
        Check.equal(frames, next, "frames received");
        Check.equal(0L, failedRestarts.get(), "DriverStart with the same card after a stop");
        Check.isTrue(pauses.get() > 0 && restarts.get() > 0, "the toggling ran during the capture");
        Check.equal(false, toggler.isAlive(), "the toggling thread ended");
        System.out.printf("== %d frames in %d ms on %d threads with %d pauses, %d stops and restarts, %d empty calls%n", next,
                elapsedMs, threads, pauses.get(), restarts.get(), emptyCalls.get());

        Check.isTrue(new File(path).delete(), "the capture file removed");
        Check.finish();
    }
}
