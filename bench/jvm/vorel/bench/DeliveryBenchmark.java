package vorel.bench;

import com.larkspire.vorel.util.NativeCollection;

/**
 * GetFrameFromDriver fed by pre-built blocks, against baselines measured in the same run: an empty native
 * call, a bare SetByteArrayRegion of the same bytes (the floor) and the GetByteArrayElements/Release way.
 * A 64 KiB Java array throughout; 64-byte and 1514-byte frames. Prints ns per call and the ratio to the floor.
 */
public final class DeliveryBenchmark {
    static final int ARRAY = 64 * 1024;
    static final int BLOCKS_PER_BATCH = 20;

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

    public static void main(String[] args) {
        int calls = args.length > 0 ? Integer.parseInt(args[0]) : 5_000_000;
        Baselines.prepareDevice();
        NativeCollection nc = new NativeCollection();
        if (nc.DriverStart(1) != 0) {
            throw new IllegalStateException("DriverStart failed");
        }
        byte[] array = new byte[ARRAY];
        System.out.println();
        System.out.printf("%-44s %10s %10s%n", "per call, 64 KiB Java array", "ns", "x floor");
        for (int frameLength : new int[] {64, 1514}) {
            int batches = Math.max(1, calls / (BLOCKS_PER_BATCH * ((0x78000 - 16) / (2 + frameLength))));
            // Warm-up: let the JIT compile every path first.
            nsPerCall(Baselines::emptyCall, calls / 5);
            nsPerCall(() -> Baselines.regionCopy(array, frameLength), calls / 5);
            nsPerCall(() -> Baselines.elementsCopy(array, frameLength), calls / 50);
            deliveryNs(nc, array, frameLength, Math.max(1, batches / 5));

            double empty = nsPerCall(Baselines::emptyCall, calls);
            double floor = nsPerCall(() -> Baselines.regionCopy(array, frameLength), calls);
            double elements = nsPerCall(() -> Baselines.elementsCopy(array, frameLength), calls / 10);
            double delivery = deliveryNs(nc, array, frameLength, batches);
            System.out.printf("%d-byte frames%n", frameLength);
            System.out.printf("  %-42s %10.1f %10.2f%n", "empty native call", empty, empty / floor);
            System.out.printf("  %-42s %10.1f %10.2f%n", "SetByteArrayRegion (floor)", floor, 1.0);
            System.out.printf("  %-42s %10.1f %10.2f%n", "GetByteArrayElements + Release", elements, elements / floor);
            System.out.printf("  %-42s %10.1f %10.2f%n", "GetFrameFromDriver", delivery, delivery / floor);
        }
        nc.FreeOnExit();
    }
}
