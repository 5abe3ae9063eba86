package com.larkspire.vorel.console;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.channels.FileChannel;
import java.nio.channels.SeekableByteChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.time.Instant;

/**
 * Saves frames as a pcapng file while they arrive: a section header, one Ethernet interface (snapshot length
 * 65,535, microsecond timestamps, the adapter's name and description) and one enhanced packet block per frame.
 *
 * <p>The file is opened before the capture starts, so that a file that cannot be written is refused before
 * anything else happens; an existing file is only replaced with {@code force}, and then only once {@link #begin}
 * writes the headers. Blocks collect in memory and go to the file when a frame finds the last write a
 * {@link #FLUSH_NANOS} old, when {@link #flushIfDue} (called from a timer) finds them waiting that long, and on
 * {@link #close}: a capture that ends abruptly loses at most the frames of its last second.
 *
 * <p>A pipe (a FIFO, or standard output) is a stream for a live reader: each block goes out as it is made, and
 * nothing is truncated.
 *
 * <p>The first write error ends the writing: the file is cut back to its last whole block, so that it holds only
 * whole frames, and nothing is written after it (a write that failed half-way is not tried again, which would
 * repeat or reorder bytes). A file this run created that then holds no frame is removed. Every later call that
 * would write throws the same error; {@link #firstReport} lets the error be said once. Thread-safe.
 */
final class CaptureFileWriter implements AutoCloseable {

    /** Frames wait in memory at most this long before they are written. */
    static final long FLUSH_NANOS = 500_000_000L;

    static final int LINKTYPE_ETHERNET = 1;
    static final int SNAPSHOT_LENGTH = 65535;

    /** The {@code --write} name that stands for standard output. */
    static final String STANDARD_OUTPUT = "-";

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
    private static final int S_IFMT = 0170000;
    private static final int S_IFIFO = 0010000;

    private final Path path;
    private final SeekableByteChannel channel;
    private final boolean created;
    private final boolean stream;
    private ByteBuffer buffer = ByteBuffer.allocate(BUFFER_BYTES).order(ByteOrder.LITTLE_ENDIAN);
    private long lastWriteNanos = System.nanoTime();
    private long writtenBytes;     // whole blocks that reached the file
    private long writtenFrames;    // enhanced packet blocks among them
    private IOException failure;   // the write error that ended the writing
    private boolean cutFailed;     // the file could not be cut back to its whole blocks
    private boolean removed;
    private boolean reported;
    private boolean begun;
    private boolean closed;

    /** A writer onto {@code channel}, which {@code created} says this run made; {@code stream} for a pipe. */
    CaptureFileWriter(Path path, SeekableByteChannel channel, boolean created, boolean stream) {
        this.path = path;
        this.channel = channel;
        this.created = created;
        this.stream = stream;
    }

    /**
     * Opens {@code path} for writing without changing it yet. A FIFO is taken as it is, without {@code force}: the
     * open waits for its reader. {@code standardOutput} names what {@code "-"} stands for.
     *
     * @throws FileAlreadyExistsException when the file exists and {@code force} is false
     * @throws IOException when it cannot be opened for writing
     */
    static CaptureFileWriter open(Path path, boolean force, Path standardOutput) throws IOException {
        if (path.toString().equals(STANDARD_OUTPUT)) {
            return new CaptureFileWriter(path, FileChannel.open(standardOutput, StandardOpenOption.WRITE,
                    StandardOpenOption.APPEND), false, true);
        }
        if (isFifo(path)) {
            return new CaptureFileWriter(path, FileChannel.open(path, StandardOpenOption.WRITE), false, true);
        }
        if (force && Files.exists(path)) {
            if (Files.isDirectory(path)) {
                throw new IOException("it is a directory");
            }
            return new CaptureFileWriter(path, FileChannel.open(path, StandardOpenOption.WRITE), false,
                    !Files.isRegularFile(path));
        }
        return new CaptureFileWriter(path, FileChannel.open(path, StandardOpenOption.WRITE, StandardOpenOption.CREATE_NEW),
                true, false);
    }

    /** Whether {@code path} is a FIFO, whose open waits for a reader. */
    static boolean isFifo(Path path) {
        try {
            return Files.getAttribute(path, "unix:mode") instanceof Integer mode && (mode & S_IFMT) == S_IFIFO;
        } catch (IOException | UnsupportedOperationException | IllegalArgumentException e) {
            return false;
        }
    }

    Path path() {
        return path;
    }

    /** The name for messages: the path, or "standard output". */
    String name() {
        return path.toString().equals(STANDARD_OUTPUT) ? "standard output" : path.toString();
    }

    /** Replaces what the file held by the section header and the adapter's interface description. */
    synchronized void begin(String interfaceName, String interfaceDescription) throws IOException {
        if (!stream) {
            try {
                channel.truncate(0);
            } catch (IOException e) {
                failure = e;
                throw e;
            }
        }
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
        if (failure != null) {
            throw failure;
        }
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
        if (stream || System.nanoTime() - lastWriteNanos >= FLUSH_NANOS) {
            writeOut();
        }
    }

    /** Writes the waiting frames when they have waited long enough; for a timer. */
    synchronized void flushIfDue() throws IOException {
        if (failure != null) {
            throw failure;
        }
        if (!closed && buffer.position() > 0 && System.nanoTime() - lastWriteNanos >= FLUSH_NANOS) {
            writeOut();
        }
    }

    /** Writes what waits and closes the file. Further calls do nothing; after a write error nothing is written. */
    @Override
    public synchronized void close() throws IOException {
        if (closed) {
            return;
        }
        try {
            if (begun && failure == null) {
                writeOut();
            }
        } finally {
            closeChannel();
        }
    }

    /** Closes the file and, when this writer created it and it holds no frame, removes it again. */
    synchronized void abandon() throws IOException {
        close();
        if (created && writtenFrames == 0 && !removed) {
            Files.deleteIfExists(path);
            removed = true;
        }
    }

    /** Whether a write error has ended the writing. */
    synchronized boolean failed() {
        return failure != null;
    }

    /** True the first time it is asked after a write error, so that the error is said once. */
    synchronized boolean firstReport() {
        if (failure == null || reported) {
            return false;
        }
        reported = true;
        return true;
    }

    /** What the file holds after a write error, for the message: "the file holds the first 95 frames". */
    synchronized String saved() {
        String frames = writtenFrames == 1 ? "frame" : writtenFrames + " frames";
        if (stream) {
            return writtenFrames == 0 ? "no frame was written" : "the first " + frames + " went out whole";
        }
        if (removed) {
            return "no frame was saved, and the file is removed";
        }
        String holds = writtenFrames == 0 ? "the file holds no frame" : "the file holds the first " + frames;
        return cutFailed ? holds + ", followed by a damaged block that could not be cut off" : holds;
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

    /** Writes the waiting blocks, which begin at a block's start: every write before succeeded whole. */
    private void writeOut() throws IOException {
        buffer.flip();
        int sent = 0;
        try {
            while (buffer.hasRemaining()) {
                sent += channel.write(buffer);
            }
        } catch (IOException e) {
            keepWholeBlocks(sent);
            failure = e;
            throw e;
        } finally {
            buffer.clear();
        }
        countBlocks(sent);
        lastWriteNanos = System.nanoTime();
    }

    /** Counts the blocks that lie whole within the first {@code bytes} of the buffer as written. */
    private void countBlocks(int bytes) {
        int offset = 0;
        while (offset + 8 <= bytes) {
            int length = buffer.getInt(offset + 4);
            if (length <= 0 || offset + length > bytes) {
                break;
            }
            if (buffer.getInt(offset) == ENHANCED_PACKET) {
                writtenFrames++;
            }
            offset += length;
        }
        writtenBytes += offset;
    }

    /** After a write error: what reached the file is cut back to its whole blocks, or removed when it has no frame. */
    private void keepWholeBlocks(int sent) {
        countBlocks(sent);
        if (stream) {
            return;
        }
        try {
            if (created && writtenFrames == 0) {
                closeChannel();
                Files.deleteIfExists(path);
                removed = true;
            } else {
                channel.truncate(writtenBytes);
            }
        } catch (IOException e) {
            cutFailed = true;
        }
    }

    private void closeChannel() throws IOException {
        if (!closed) {
            closed = true;
            channel.close();
        }
    }
}
