package vorel.bench;

import com.larkspire.vorel.util.NativeCollection;
import java.util.Arrays;
import java.util.Locale;

/**
 * GetFrameFromDriver fed by pre-built blocks, against baselines measured in the same run: an empty native
 * call, a bare SetByteArrayRegion of the same bytes (the floor), the same copy bounded by the array's length as
 * a JNI copy that trusts no length from Java must be, the GetByteArrayElements/Release way,
 * the stand-in's reads of the same blocks without the library (per frame), and the floor's copy taken from
 * where the frames lie in a block (unaligned, past the record's length) rather than from one aligned buffer.
 * A 64 KiB Java array throughout; 64-byte and 1514-byte frames. Each round measures every line once; prints
 * the median ns per call and the median, smallest and largest of the rounds' ratios to the same round's floor.
 *
 * <p>Arguments: [calls per measurement], [rounds].
 */
public final class DeliveryBenchmark {
    static final int ARRAY = 64 * 1024;
    static final int BLOCKS_PER_BATCH = 20;
    static final String[] LINES = {"empty native call", "SetByteArrayRegion (floor)", "GetArrayLength + SetByteArrayRegion",
        "GetByteArrayElements + Release", "GetFrameFromDriver", "  the stand-in's block reads in it",
        "SetByteArrayRegion, frames in a block"};

    interface Call {
        int run();
    }

    static double nsPerCall(Call call, int calls) {
        long sink = 0;
        long start = System.nanoTime();
        for (int i = 0; i < calls; i++) {
            sink += call.run();
        }
        long elapsed = System.nanoTime() - start;
        if (sink == 42) {
            System.out.print("");
        }
        return (double) elapsed / calls;
    }

    static double deliveryNs(NativeCollection nc, byte[] array, int frameLength, int batches) {
        long elapsed = 0;
        long frames = 0;
        for (int b = 0; b < batches; b++) {
            int queued = Baselines.feed(frameLength, BLOCKS_PER_BATCH);
            long start = System.nanoTime();
            for (int i = 0; i < queued; i++) {
                if (nc.GetFrameFromDriver(array, ARRAY) != frameLength) {
                    throw new IllegalStateException("frame " + i + " has the wrong length");
                }
            }
            elapsed += System.nanoTime() - start;
            frames += queued;
        }
        return (double) elapsed / frames;
    }

    static double blockReadNs(int frameLength, int batches) {
        double sum = 0;
        for (int b = 0; b < batches; b++) {
            double ns = Baselines.blockReads(frameLength, BLOCKS_PER_BATCH);
            if (ns < 0) {
                throw new IllegalStateException("the stand-in's block read failed");
            }
            sum += ns;
        }
        return sum / batches;
    }

    static double median(double[] values) {
        double[] sorted = values.clone();
        Arrays.sort(sorted);
        return sorted[sorted.length / 2];
    }

    /** The rounds' median, and their smallest and largest. */
    static String spread(double[] values) {
        double[] sorted = values.clone();
        Arrays.sort(sorted);
        return String.format(Locale.ROOT, "%8.2f (%.2f-%.2f)", median(values), sorted[0], sorted[sorted.length - 1]);
    }

    public static void main(String[] args) {
        int calls = args.length > 0 ? Integer.parseInt(args[0]) : 5_000_000;
        int rounds = args.length > 1 ? Integer.parseInt(args[1]) : 7;
        Baselines.prepareDevice();
        NativeCollection nc = new NativeCollection();
        if (nc.DriverStart(1) != 0) {
            throw new IllegalStateException("DriverStart failed");
        }
        byte[] array = new byte[ARRAY];
        System.out.println();
        System.out.printf("per call, 64 KiB Java array, %d rounds: median ns, and x floor: median (smallest-largest)%n", rounds);
        for (int frameLength : new int[] {64, 1514}) {
            int batches = Math.max(1, calls / (BLOCKS_PER_BATCH * ((0x78000 - 16) / (2 + frameLength))));
            // Warm-up: let the JIT compile every path first.
            nsPerCall(Baselines::emptyCall, calls / 5);
            nsPerCall(() -> Baselines.regionCopy(array, frameLength), calls / 5);
            nsPerCall(() -> Baselines.boundedCopy(array, frameLength), calls / 5);
            nsPerCall(() -> Baselines.elementsCopy(array, frameLength), calls / 50);
            nsPerCall(() -> Baselines.blockFrameCopy(array, frameLength), calls / 5);
            deliveryNs(nc, array, frameLength, Math.max(1, batches / 5));
            blockReadNs(frameLength, Math.max(1, batches / 5));

            double[][] ns = new double[LINES.length][rounds];
            double[][] ratio = new double[LINES.length][rounds];
            for (int r = 0; r < rounds; r++) {
                ns[0][r] = nsPerCall(Baselines::emptyCall, calls);
                ns[1][r] = nsPerCall(() -> Baselines.regionCopy(array, frameLength), calls);
                ns[2][r] = nsPerCall(() -> Baselines.boundedCopy(array, frameLength), calls);
                ns[3][r] = nsPerCall(() -> Baselines.elementsCopy(array, frameLength), calls / 50);
                ns[4][r] = deliveryNs(nc, array, frameLength, batches);
                ns[5][r] = blockReadNs(frameLength, batches);
                ns[6][r] = nsPerCall(() -> Baselines.blockFrameCopy(array, frameLength), calls);
                for (int line = 0; line < LINES.length; line++) {
                    ratio[line][r] = ns[line][r] / ns[1][r];
                }
            }
            System.out.printf("%d-byte frames%n", frameLength);
            for (int line = 0; line < LINES.length; line++) {
                System.out.printf(Locale.ROOT, "  %-36s %9.1f %s%n", LINES[line], median(ns[line]), spread(ratio[line]));
            }
            double[] overBounded = new double[rounds];
            for (int r = 0; r < rounds; r++) {
                overBounded[r] = ns[4][r] / ns[2][r];
            }
            System.out.printf(Locale.ROOT, "  GetFrameFromDriver x bounded copy: %s%n", spread(overBounded).strip());
        }
        nc.FreeOnExit();
    }
}
