package vorel.bench;

/** The benchmark's own natives, in the benchmark build of the library. */
final class Baselines {
    static {
        System.loadLibrary("tamsil");
    }

    private Baselines() {
    }

    static native void prepareDevice();
    static native int feed(int frameLength, int blocks);
    static native double blockReads(int frameLength, int blocks);
    static native int emptyCall();
    static native int regionCopy(byte[] array, int length);
    static native int boundedCopy(byte[] array, int length);
    static native int blockFrameCopy(byte[] array, int length);
    static native int elementsCopy(byte[] array, int length);
    static native boolean pcapOpen(String path);
    static native int pcapNext(byte[] array, int room);
    static native void pcapClose();
}
