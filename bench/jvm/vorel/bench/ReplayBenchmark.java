package vorel.bench;

import com.larkspire.vorel.util.NativeCollection;
import java.io.BufferedOutputStream;
import java.io.DataOutputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import java.util.Arrays;
import java.util.Locale;

/**
 * Replay of a capture file through the JVM against its serial floor, measured in the same run: a file of
 * 64-byte frames (one million by default) taken with GetFrameFromDriver from the replay device (TAMSIL_REPLAY
 * names the file for card 1), against a plain libpcap read of the same file with each frame copied into the
 * same Java array by SetByteArrayRegion, one native call per frame. Both include opening the file. Rounds
 * alternate which goes first; the first round warms up and is not counted. Prints each round's times and
 * ratio, then the median, smallest and largest ratio.
 *
 * <p>Arguments: the capture file to write, [frames], [rounds].
 */
public final class ReplayBenchmark {
    static final int FRAME = 64;
    static final int ARRAY = 65535;

    static void writeCapture(String path, int frames) throws IOException {
        try (DataOutputStream out = new DataOutputStream(new BufferedOutputStream(new FileOutputStream(path), 1 << 20))) {
            int[] header = {0xa1b2c3d4, 0x00040002, 0, 0, 65535, 1};
            for (int value : header) {
                out.writeInt(Integer.reverseBytes(value));
            }
            byte[] frame = new byte[FRAME];
            Arrays.fill(frame, 0, 6, (byte) 0xff);
            frame[12] = (byte) 0x88;
            frame[13] = (byte) 0xb5;
            for (int n = 0; n < frames; n++) {
                out.writeInt(Integer.reverseBytes(1700000000 + n / 1000000));
                out.writeInt(Integer.reverseBytes(n % 1000000));
                out.writeInt(Integer.reverseBytes(FRAME));
                out.writeInt(Integer.reverseBytes(FRAME));
                frame[14] = (byte) (n >> 24);
                frame[15] = (byte) (n >> 16);
                frame[16] = (byte) (n >> 8);
                frame[17] = (byte) n;
                out.write(frame);
            }
        }
    }

    /** Nanoseconds for the serial floor over the whole file. */
    static long floor(String path, byte[] array, int frames) {
        long start = System.nanoTime();
        if (!Baselines.pcapOpen(path)) {
            throw new IllegalStateException("libpcap cannot open " + path);
        }
        int taken = 0;
        while (Baselines.pcapNext(array, ARRAY) == FRAME) {
            taken++;
        }
        Baselines.pcapClose();
        long elapsed = System.nanoTime() - start;
        if (taken != frames) {
            throw new IllegalStateException("the plain read took " + taken + " frames of " + frames);
        }
        return elapsed;
    }

    /** Nanoseconds for the replay through the library, from DriverStart to the last frame. */
    static long replay(NativeCollection nc, byte[] array, int frames) {
        long start = System.nanoTime();
        if (nc.DriverStart(1) != 0) {
            throw new IllegalStateException("DriverStart failed");
        }
        for (int n = 0; n < frames; n++) {
            if (nc.GetFrameFromDriver(array, ARRAY) != FRAME) {
                throw new IllegalStateException("frame " + n + " has the wrong length");
            }
        }
        long elapsed = System.nanoTime() - start;
        if ((array[14] & 0xff) != (frames - 1) >>> 24 || (array[17] & 0xff) != ((frames - 1) & 0xff)) {
            throw new IllegalStateException("the last frame is not the file's last");
        }
        nc.DriverStop();
        nc.FreeOnExit();
        return elapsed;
    }

    public static void main(String[] args) throws IOException {
        String path = args[0];
        int frames = args.length > 1 ? Integer.parseInt(args[1]) : 1_000_000;
        int rounds = args.length > 2 ? Integer.parseInt(args[2]) : 7;
        writeCapture(path, frames);
        NativeCollection nc = new NativeCollection();
        byte[] array = new byte[ARRAY];
        double[] ratios = new double[rounds];
        System.out.printf("%d frames of %d bytes; ns per frame%n", frames, FRAME);
        System.out.printf("%-6s %12s %12s %8s%n", "round", "floor", "replay", "ratio");
        for (int round = 0; round <= rounds; round++) {
            long floorNs;
            long replayNs;
            if (round % 2 == 0) {
                floorNs = floor(path, array, frames);
                replayNs = replay(nc, array, frames);
            } else {
                replayNs = replay(nc, array, frames);
                floorNs = floor(path, array, frames);
            }
            double ratio = (double) replayNs / floorNs;
            System.out.printf(Locale.ROOT, "%-6s %12.1f %12.1f %8.2f%n", round == 0 ? "warm" : Integer.toString(round),
                    (double) floorNs / frames, (double) replayNs / frames, ratio);
            if (round > 0) {
                ratios[round - 1] = ratio;
            }
        }
        Arrays.sort(ratios);
        System.out.printf(Locale.ROOT, "replay / serial floor: median %.2f, smallest %.2f, largest %.2f%n",
                ratios[rounds / 2], ratios[0], ratios[rounds - 1]);
    }
}
