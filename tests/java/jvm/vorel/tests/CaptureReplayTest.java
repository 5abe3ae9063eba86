package vorel.tests;

import com.larkspire.vorel.util.NativeCollection;
import java.io.DataOutputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import java.util.Arrays;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * Capture end to end from a replayed capture file: every frame once, in order, byte for byte; truncation
 * to the maximum length and to the array; re-entry; stop and start; pause; release from another thread.
 * Argument: the capture file to write (the replay device reads it when DriverStart opens it).
 */
public final class CaptureReplayTest {
    static final int FRAMES = 200;
    static final int LONG_FRAME = 50;

    static int lengthOf(int n) {
        return n == LONG_FRAME ? 3000 : 60 + (n * 37) % 1455;
    }

    static byte[] frame(int n) {
        byte[] f = new byte[lengthOf(n)];
        for (int i = 0; i < f.length; i++) {
            f[i] = (byte) (n * 7 + i);
        }
        // Ethernet: broadcast destination, a local source, an experimental type, then the frame number.
        Arrays.fill(f, 0, 6, (byte) 0xff);
        f[6] = 0x02;
        f[12] = (byte) 0x88;
        f[13] = (byte) 0xb5;
        f[14] = (byte) (n >> 8);
        f[15] = (byte) n;
        return f;
    }

    static void writeLittle(DataOutputStream out, int value) throws IOException {
        out.writeInt(Integer.reverseBytes(value));
    }

    static void writeCapture(String path) throws IOException {
        try (DataOutputStream out = new DataOutputStream(new FileOutputStream(path))) {
            writeLittle(out, 0xa1b2c3d4);
            out.writeShort(Short.reverseBytes((short) 2));
            out.writeShort(Short.reverseBytes((short) 4));
            writeLittle(out, 0);
            writeLittle(out, 0);
            writeLittle(out, 65535);
            writeLittle(out, 1);
            for (int n = 0; n < FRAMES; n++) {
                byte[] f = frame(n);
                writeLittle(out, 1700000000 + n);
                writeLittle(out, 0);
                writeLittle(out, f.length);
                writeLittle(out, f.length);
                out.write(f);
            }
        }
    }

    static void expectFrame(NativeCollection nc, int n) {
        byte[] buffer = new byte[4096];
        int length = nc.GetFrameFromDriver(buffer, buffer.length);
        Check.equal(lengthOf(n), length, "length of frame " + n);
        Check.isTrue(Arrays.equals(frame(n), 0, lengthOf(n), buffer, 0, Math.min(length, lengthOf(n))),
                "bytes of frame " + n);
    }

    public static void main(String[] args) throws Exception {
        writeCapture(args[0]);
        NativeCollection nc = new NativeCollection();
        Check.equal(1, nc.GetCardNumbers(), "one adapter");
        Check.equal(0, nc.DriverStart(1), "start");
        System.out.println("== started");
        Check.equal(0, nc.DriverStart(1), "start again with the same card");
        System.out.println("== started again");
        Check.equal(1, nc.GetCardNumber(), "card chosen");

        for (int n = 0; n < LONG_FRAME; n++) {
            expectFrame(nc, n);
        }
        // Longer than the maximum length: exactly that many bytes, the full length returned.
        byte[] buffer = new byte[4096];
        Arrays.fill(buffer, (byte) 0x5a);
        Check.equal(3000, nc.GetFrameFromDriver(buffer, 100), "full length of a frame cut to 100 bytes");
        Check.isTrue(Arrays.equals(frame(LONG_FRAME), 0, 100, buffer, 0, 100), "the first 100 bytes");
        Check.equal((byte) 0x5a, buffer[100], "nothing past the maximum length");
        // A maximum of 0 copies nothing and uses the frame up.
        Arrays.fill(buffer, (byte) 0x5a);
        Check.equal(lengthOf(51), nc.GetFrameFromDriver(buffer, 0), "length with a maximum of 0");
        Check.equal((byte) 0x5a, buffer[0], "nothing copied with a maximum of 0");
        // A maximum beyond the array: the array's length bounds the copy.
        byte[] small = new byte[10];
        Check.equal(lengthOf(52), nc.GetFrameFromDriver(small, 4096), "length into a 10-byte array");
        Check.isTrue(Arrays.equals(frame(52), 0, 10, small, 0, 10), "the first 10 bytes");

        // Pause holds delivery back; resuming delivers the next frame.
        nc.SetPausedOn(true);
        Check.equal(true, nc.IsPausedOn(), "paused");
        AtomicInteger delivered = new AtomicInteger(-1);
        Thread waiting = new Thread(() -> delivered.set(nc.GetFrameFromDriver(new byte[4096], 4096)));
        waiting.start();
        waiting.join(300);
        Check.equal(-1, delivered.get(), "nothing delivered while paused");
        nc.SetPausedOn(false);
        waiting.join(10000);
        Check.equal(lengthOf(53), delivered.get(), "the next frame once resumed");

        // Stop: delivery returns 0 at once; the same card starts again without reopening.
        nc.DriverStop();
        Check.equal(0, nc.GetFrameFromDriver(buffer, buffer.length), "nothing after a stop");
        Check.equal(0, nc.DriverStart(1), "restart after a stop");
        System.out.println("== restarted");
        for (int n = 54; n < FRAMES; n++) {
            expectFrame(nc, n);
        }

        // The file is used up: a delivery call waits like on a quiet network until another thread releases.
        // The release comes 300 ms after the thread is about to call, not after it was started: a loaded machine
        // may start it late, and a call after the release would say the driver is not started.
        CountDownLatch calling = new CountDownLatch(1);
        Thread last = new Thread(() -> {
            calling.countDown();
            delivered.set(nc.GetFrameFromDriver(new byte[4096], 4096));
        });
        delivered.set(-1);
        last.start();
        calling.await();
        last.join(300);
        Check.equal(-1, delivered.get(), "waiting for more frames");
        nc.FreeOnExit();
        System.out.println("== released");
        last.join(10000);
        Check.equal(false, last.isAlive(), "the waiting call ended");
        Check.equal(0, delivered.get(), "and returned 0");
        Check.equal(0, nc.GetFrameFromDriver(buffer, buffer.length), "not started after the release");
        nc.DriverStop();
        Check.finish();
    }
}
