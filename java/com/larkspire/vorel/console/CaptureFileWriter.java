package com.larkspire.vorel.console;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.time.Instant;
import java.util.EnumSet;
import java.util.Set;

/**
 * Saves frames as a pcapng file while they arrive: a section header, one Ethernet interface (snapshot length
 * 65,535, microsecond timestamps, the adapter's name and description) and one enhanced packet block per frame.
 *
 * <p>The file is opened before the capture starts, so that a file that cannot be written is refused before
 * anything else happens; an existing file is only replaced with {@code force}, and then only once {@link #begin}
 * writes the headers. Blocks collect in memory and go to the file when a frame finds the last write a
 * {@link #FLUSH_NANOS} old, when {@link #flushIfDue} (called from a timer) finds them waiting that long, and on
 * {@link #close}: a capture that ends abruptly loses at most the frames of its last second. Thread-safe.
 */
final class CaptureFileWriter implements AutoCloseable {

    /** Frames wait in memory at most this long before they are written. */
    static final long FLUSH_NANOS = 500_000_000L;

    static final int LINKTYPE_ETHERNET = 1;
    static final int SNAPSHOT_LENGTH = 65535;

    private static final int SECTION_HEADER = 0x0A0D0D0A;
    private static final int INTERFACE_DESCRIPTION = 1;
    private static final int ENHANCED_PACKET = 6;
    private static final int BYTE_ORDER_MAGIC = 0x1A2B3C4D;
    private static final short OPT_END = 0;
    private static final short OPT_SHB_USERAPPL = 4;
    private static final short IF_NAME = 2;
    private static final short IF_DESCRIPTION = 3;
    private static final short IF_TSRESOL = 9;
    private static final int BUFFER_BYTES = 1 << 20;

    private final Path path;
    private final FileChannel channel;
    private final boolean created;
    private ByteBuffer buffer = ByteBuffer.allocate(BUFFER_BYTES).order(ByteOrder.LITTLE_ENDIAN);
    private long lastWriteNanos = System.nanoTime();
    private boolean begun;
    private boolean closed;

    private CaptureFileWriter(Path path, FileChannel channel, boolean created) {
        this.path = path;
        this.channel = channel;
        this.created = created;
    }

    /**
     * Opens {@code path} for writing without changing it yet.
     *
     * @throws FileAlreadyExistsException when the file exists and {@code force} is false
     * @throws IOException when it cannot be opened for writing
     */
    static CaptureFileWriter open(Path path, boolean force) throws IOException {
        Set<StandardOpenOption> options = EnumSet.of(StandardOpenOption.WRITE, StandardOpenOption.CREATE_NEW);
        if (force && Files.exists(path)) {
            if (Files.isDirectory(path)) {
                throw new IOException("it is a directory");
            }
            return new CaptureFileWriter(path, FileChannel.open(path, StandardOpenOption.WRITE), false);
        }
        return new CaptureFileWriter(path, FileChannel.open(path, options), true);
    }

    Path path() {
        return path;
    }

    /** Replaces what the file held by the section header and the adapter's interface description. */
    synchronized void begin(String interfaceName, String interfaceDescription) throws IOException {
        channel.truncate(0);
        byte[] application = "Network Vorel capture console".getBytes(StandardCharsets.UTF_8);
        int start = buffer.position();
        buffer.putInt(SECTION_HEADER).putInt(0).putInt(BYTE_ORDER_MAGIC).putShort((short) 1).putShort((short) 0)
                .putLong(-1L);
        option(OPT_SHB_USERAPPL, application);
        buffer.putShort(OPT_END).putShort((short) 0);
        closeBlock(start);

        start = buffer.position();
        buffer.putInt(INTERFACE_DESCRIPTION).putInt(0).putShort((short) LINKTYPE_ETHERNET).putShort((short) 0)
                .putInt(SNAPSHOT_LENGTH);
        option(IF_NAME, interfaceName.getBytes(StandardCharsets.UTF_8));
        option(IF_DESCRIPTION, interfaceDescription.getBytes(StandardCharsets.UTF_8));
        option(IF_TSRESOL, new byte[] {6});  // microseconds
        buffer.putShort(OPT_END).putShort((short) 0);
        closeBlock(start);
        begun = true;
        writeOut();
    }

    /**
     * Adds one frame: the first {@code captured} bytes of {@code frame}, which was {@code original} bytes long,
     * received at {@code time}.
     */
    synchronized void frame(byte[] frame, int captured, int original, Instant time) throws IOException {
        if (!begun || closed) {
            throw new IOException("the capture file is not open");
        }
        int padded = (captured + 3) & ~3;
        int blockLength = 32 + padded;
        if (buffer.remaining() < blockLength) {
            writeOut();
            if (buffer.capacity() < blockLength) {
                buffer = ByteBuffer.allocate(blockLength).order(ByteOrder.LITTLE_ENDIAN);
            }
        }
        long micros = Math.addExact(Math.multiplyExact(time.getEpochSecond(), 1_000_000L), time.getNano() / 1000);
        buffer.putInt(ENHANCED_PACKET).putInt(blockLength).putInt(0)
                .putInt((int) (micros >>> 32)).putInt((int) micros)
                .putInt(captured).putInt(original)
                .put(frame, 0, captured);
        for (int pad = captured; pad < padded; pad++) {
            buffer.put((byte) 0);
        }
        buffer.putInt(blockLength);
        if (System.nanoTime() - lastWriteNanos >= FLUSH_NANOS) {
            writeOut();
        }
    }

    /** Writes the waiting frames when they have waited long enough; for a timer. */
    synchronized void flushIfDue() throws IOException {
        if (!closed && buffer.position() > 0 && System.nanoTime() - lastWriteNanos >= FLUSH_NANOS) {
            writeOut();
        }
    }

    /** Writes what waits and closes the file. Further calls do nothing. */
    @Override
    public synchronized void close() throws IOException {
        if (closed) {
            return;
        }
        try {
            if (begun) {
                writeOut();
            }
        } finally {
            closed = true;
            channel.close();
        }
    }

    /** Closes the file and, when this writer created it and nothing was captured, removes it again. */
    synchronized void abandon() throws IOException {
        boolean remove = created && !begun;
        close();
        if (remove) {
            Files.deleteIfExists(path);
        }
    }

    private void option(short code, byte[] value) {
        buffer.putShort(code).putShort((short) value.length).put(value);
        for (int pad = value.length; pad % 4 != 0; pad++) {
            buffer.put((byte) 0);
        }
    }

    /** Fills in the total length, at its start and at its end, of the block begun at {@code start}. */
    private void closeBlock(int start) {
        int length = buffer.position() - start + 4;
        buffer.putInt(start + 4, length);
        buffer.putInt(length);
    }

    private void writeOut() throws IOException {
        buffer.flip();
        while (buffer.hasRemaining()) {
            channel.write(buffer);
        }
        buffer.clear();
        lastWriteNanos = System.nanoTime();
    }
}
