package com.larkspire.vorel.console;

import java.io.FileDescriptor;
import java.io.FileOutputStream;
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
import java.util.ArrayDeque;
import java.util.concurrent.TimeUnit;

/**
 * Saves frames as a pcapng file while they arrive: a section header, one Ethernet interface (snapshot length
 * 65,535, microsecond timestamps, the adapter's name and description), one enhanced packet block per frame, and
 * at the end an interface statistics block (frames received, frames saved).
 *
 * <p>Writing never holds up the capture. The capture thread only encodes each frame into a chunk in memory; a
 * writer thread of its own writes the chunks out, behind a queue of at most {@link #QUEUE_CHUNKS} chunks. A chunk
 * goes to the writer when it is full, or when the writer is idle and the chunk's first frame has waited
 * {@link #HAND_OVER_NANOS} (a timer calls {@link #handOverIfDue} for a quiet network). When the queue is full
 * the chunk's frames are not saved, and counted. {@link #close} hands over what is left and waits for the writer
 * while it makes progress; a writer that makes none for {@link #GRACE_NANOS} (a reader that stopped reading) is
 * stopped, and what it had not written is counted as not saved. The final statistics block also tells, on a quiet
 * network, whether a pipe's reader is still there.
 *
 * <p>The file is opened before the capture starts, so that a file that cannot be written is refused before
 * anything else happens; an existing file is only replaced with {@code force}, and then only once {@link #begin}
 * writes the headers. A pipe (a FIFO, or standard output that cannot seek) is written as a stream: nothing is
 * truncated. Standard output sent to a file is cut back as a file is, but never below what it held before.
 *
 * <p>The first write error ends the writing: the file is cut back to its last whole block, so that it holds only
 * whole frames, and nothing is written after it (a write that failed half-way is not tried again, which would
 * repeat or reorder bytes). A file this run created that then holds no frame is removed. {@link #frame} and
 * {@link #handOverIfDue} throw the error once it is known, and {@link #close} throws it (or a failing close of
 * the file) once; {@link #firstReport} lets it be said once. Thread-safe.
 */
final class CaptureFileWriter implements AutoCloseable {

    /** A chunk's first frame waits at most this long for an idle writer. */
    static final long HAND_OVER_NANOS = 10_000_000L;
    /** How long {@link #close} waits for a writer that makes no progress. */
    static final long GRACE_NANOS = 2_000_000_000L;
    static final int CHUNK_BYTES = 256 * 1024;
    /**
     * The most one write hands the channel. A blocking write to a pipe returns only once the reader has taken all of
     * it, so a reader that keeps reading at more than 8 KiB/s shows progress within the grace.
     */
    static final int SLICE_BYTES = 16 * 1024;
    static final int QUEUE_CHUNKS = 128;

    static final int LINKTYPE_ETHERNET = 1;
    static final int SNAPSHOT_LENGTH = 65535;

    /** The {@code --write} name that stands for standard output. */
    static final String STANDARD_OUTPUT = "-";

    private static final int SECTION_HEADER = 0x0A0D0D0A;
    private static final int INTERFACE_DESCRIPTION = 1;
    private static final int INTERFACE_STATISTICS = 5;
    private static final int ENHANCED_PACKET = 6;
    private static final int BYTE_ORDER_MAGIC = 0x1A2B3C4D;
    private static final short OPT_END = 0;
    private static final short OPT_SHB_USERAPPL = 4;
    private static final short IF_NAME = 2;
    private static final short IF_DESCRIPTION = 3;
    private static final short IF_TSRESOL = 9;
    private static final short ISB_IFRECV = 4;
    private static final short ISB_USRDELIV = 8;
    private static final int SPARE_CHUNKS = 4;
    private static final int S_IFMT = 0170000;
    private static final int S_IFIFO = 0010000;

    private final Path path;
    private final SeekableByteChannel channel;
    private final boolean created;
    private final boolean stream;
    private final long base;       // where this run's bytes begin in the file
    // The capture thread's side, under this object's lock.
    private ByteBuffer chunk = newChunk(CHUNK_BYTES);
    private int chunkFrames;
    private long chunkSince;
    private long received;         // frames given to frame()
    // Between the two threads, under the lock.
    private final ArrayDeque<ByteBuffer> queue = new ArrayDeque<>();  // chunks for the writer
    private final ArrayDeque<ByteBuffer> spare = new ArrayDeque<>();
    private Thread writer;
    private boolean writerIdle;
    private boolean ending;        // close has begun: the writer writes what is queued, then the statistics
    private boolean overflowed;    // frames were dropped for a full queue
    private boolean stalled;       // the writer made no progress within the grace, and was stopped
    // The writer's results.
    private long writtenBytes;     // whole blocks that reached the file
    private long writtenFrames;    // enhanced packet blocks among them
    private volatile long sentBytes;  // what the channel has taken, part-written blocks too: the writer's progress
    private IOException failure;   // the write error that ended the writing
    private boolean failureThrown;
    private boolean cutFailed;     // the file could not be cut back to its whole blocks
    private boolean removed;
    private boolean reported;
    private boolean begun;
    private boolean closed;

    /**
     * A writer onto {@code channel}, which {@code created} says this run made; {@code stream} for a pipe; the run's
     * bytes go after the first {@code base}.
     */
    CaptureFileWriter(Path path, SeekableByteChannel channel, boolean created, boolean stream, long base) {
        this.path = path;
        this.channel = channel;
        this.created = created;
        this.stream = stream;
        this.base = base;
    }

    /**
     * Opens {@code path} for writing without changing it yet. A FIFO is taken as it is, without {@code force}: the
     * open waits for its reader. {@code standardOutput} is the descriptor that {@code "-"} stands for.
     *
     * @throws FileAlreadyExistsException when the file exists and {@code force} is false
     * @throws IOException when it cannot be opened for writing
     */
    static CaptureFileWriter open(Path path, boolean force, FileDescriptor standardOutput) throws IOException {
        if (path.toString().equals(STANDARD_OUTPUT)) {
            if (standardOutput == null) {
                throw new IOException("standard output is not given to this JVM");
            }
            FileChannel out = new FileOutputStream(standardOutput).getChannel();
            // A file keeps what it held: the run's bytes begin at its end when it appends (">>", whose position
            // stays 0 until the first write), else at its position; unknown, after both. A pipe, a socket or a
            // terminal cannot seek, and is a stream.
            try {
                Boolean appends = SecondConsole.standardOutputAppends();
                long base = appends == null ? Math.max(out.position(), out.size()) : appends ? out.size() : out.position();
                return new CaptureFileWriter(path, out, false, false, base);
            } catch (IOException e) {
                return new CaptureFileWriter(path, out, false, true, 0);
            }
        }
        if (isFifo(path)) {
            return new CaptureFileWriter(path, FileChannel.open(path, StandardOpenOption.WRITE), false, true, 0);
        }
        if (force && Files.exists(path)) {
            if (Files.isDirectory(path)) {
                throw new IOException("it is a directory");
            }
            return new CaptureFileWriter(path, FileChannel.open(path, StandardOpenOption.WRITE), false,
                    !Files.isRegularFile(path), 0);
        }
        return new CaptureFileWriter(path, FileChannel.open(path, StandardOpenOption.WRITE, StandardOpenOption.CREATE_NEW),
                true, false, 0);
    }

    /** Whether {@link #open} would create {@code path} as a new file. */
    static boolean createsFile(Path path, boolean force) {
        return !path.toString().equals(STANDARD_OUTPUT) && !isFifo(path) && !(force && Files.exists(path));
    }

    /** Creates {@code path} and removes it again: fails as {@link #open} would, and leaves nothing behind. */
    static void tryCreate(Path path) throws IOException {
        Files.createFile(path);
        try {
            Files.delete(path);
        } catch (IOException e) {
            // Made but not removable here: say so (the empty file stays, nothing here can remove it).
            throw new IOException("it could be created but not removed again (" + CaptureConsole.reason(e) + ")", e);
        }
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

    /** What the channel has taken so far: the writer's progress. */
    long sentBytes() {
        return sentBytes;
    }

    /** The name for messages: the path, or "standard output". */
    String name() {
        return path.toString().equals(STANDARD_OUTPUT) ? "standard output" : path.toString();
    }

    /**
     * Replaces what the file held by the section header and the adapter's interface description, written before
     * this returns, and starts the writer.
     */
    synchronized void begin(String interfaceName, String interfaceDescription) throws IOException {
        if (!stream) {
            try {
                channel.truncate(base);
            } catch (IOException e) {
                failure = e;
                throw e;
            }
        }
        ByteBuffer headers = newChunk(4096);
        byte[] application = "Network Vorel capture console".getBytes(StandardCharsets.UTF_8);
        int start = headers.position();
        headers.putInt(SECTION_HEADER).putInt(0).putInt(BYTE_ORDER_MAGIC).putShort((short) 1).putShort((short) 0)
                .putLong(-1L);
        option(headers, OPT_SHB_USERAPPL, application);
        headers.putShort(OPT_END).putShort((short) 0);
        closeBlock(headers, start);

        start = headers.position();
        headers.putInt(INTERFACE_DESCRIPTION).putInt(0).putShort((short) LINKTYPE_ETHERNET).putShort((short) 0)
                .putInt(SNAPSHOT_LENGTH);
        option(headers, IF_NAME, interfaceName.getBytes(StandardCharsets.UTF_8));
        option(headers, IF_DESCRIPTION, interfaceDescription.getBytes(StandardCharsets.UTF_8));
        option(headers, IF_TSRESOL, new byte[] {6});  // microseconds
        headers.putShort(OPT_END).putShort((short) 0);
        closeBlock(headers, start);
        headers.flip();
        if (!writeBlocks(headers)) {
            failureThrown = true;
            throw failure;
        }
        begun = true;
        writer = new Thread(this::writeLoop, "capture-file-writer");
        writer.setDaemon(true);
        writer.start();
    }

    /**
     * Adds one frame: the first {@code captured} bytes of {@code frame}, which was {@code original} bytes long,
     * received at {@code time}. Never waits for the file.
     */
    synchronized void frame(byte[] frame, int captured, int original, Instant time) throws IOException {
        if (failure != null) {
            throw failure;
        }
        if (!begun || ending) {
            throw new IOException("the capture file is not open");
        }
        received++;
        int padded = (captured + 3) & ~3;
        int blockLength = 32 + padded;
        if (chunk.remaining() < blockLength) {
            handOver();
            if (chunk.capacity() < blockLength) {
                chunk = newChunk(blockLength);
            }
        }
        if (chunkFrames == 0) {
            chunkSince = System.nanoTime();
        }
        long micros = Math.addExact(Math.multiplyExact(time.getEpochSecond(), 1_000_000L), time.getNano() / 1000);
        chunk.putInt(ENHANCED_PACKET).putInt(blockLength).putInt(0)
                .putInt((int) (micros >>> 32)).putInt((int) micros)
                .putInt(captured).putInt(original)
                .put(frame, 0, captured);
        for (int pad = captured; pad < padded; pad++) {
            chunk.put((byte) 0);
        }
        chunk.putInt(blockLength);
        chunkFrames++;
        // The clock is read only while the writer waits: a busy writer takes the chunk when it is full.
        if (writerIdle && System.nanoTime() - chunkSince >= HAND_OVER_NANOS) {
            handOver();
        }
    }

    /** Hands the waiting frames to an idle writer when they have waited long enough; for a timer. */
    synchronized void handOverIfDue() throws IOException {
        if (failure != null) {
            throw failure;
        }
        if (begun && !ending && chunkFrames > 0 && writerIdle && System.nanoTime() - chunkSince >= HAND_OVER_NANOS) {
            handOver();
        }
    }

    /**
     * Hands over what is left, waits for the writer while it makes progress, and closes the file. Throws the write
     * error, or a failing close, on the call that closes; further calls do nothing.
     */
    @Override
    public void close() throws IOException {
        Thread running;
        synchronized (this) {
            if (closed) {
                return;
            }
            if (begun && !ending && failure == null) {
                handOver();
            }
            ending = true;
            notifyAll();
            running = writer;
        }
        if (running != null) {
            awaitWriter(running);
        }
        synchronized (this) {
            if (closed) {
                return;
            }
            closed = true;
            try {
                channel.close();
            } catch (IOException e) {
                if (failure == null) {
                    failure = e;
                }
            }
            if (failure != null && !failureThrown) {
                failureThrown = true;
                throw failure;
            }
        }
    }

    /** Closes the file and, when this writer created it and it holds no frame, removes it again. */
    void abandon() throws IOException {
        try {
            close();
        } finally {
            synchronized (this) {
                if (created && writtenFrames == 0 && !removed) {
                    Files.deleteIfExists(path);
                    removed = true;
                }
            }
        }
    }

    /** Whether a write error (or a failing close) has ended the writing. */
    synchronized boolean failed() {
        return failure != null;
    }

    /**
     * The frames given to the writer that are not in the file because the file did not take them as fast as they
     * came (a full queue, a stalled reader); 0 after a write error, which says what the file holds instead.
     */
    synchronized long notSaved() {
        return failure == null && (overflowed || stalled) ? received - writtenFrames : 0;
    }

    /** True the first time it is asked after a write error, so that the error is said once. */
    synchronized boolean firstReport() {
        if (failure == null || reported) {
            return false;
        }
        reported = true;
        return true;
    }

    /** What the file holds, for the messages: "the file holds the first 95 frames". */
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

    /** Under the lock: the chunk in hand goes to the writer, or its frames are dropped when the queue is full. */
    private void handOver() {
        if (chunkFrames == 0) {
            return;
        }
        if (queue.size() >= QUEUE_CHUNKS || failure != null) {
            overflowed |= failure == null;
            chunk.clear();
        } else {
            chunk.flip();
            queue.add(chunk);
            ByteBuffer next = spare.poll();
            chunk = next != null ? next : newChunk(CHUNK_BYTES);
            notifyAll();
        }
        chunkFrames = 0;
    }

    /** The writer thread: the queued chunks in order, then the statistics block. */
    private void writeLoop() {
        while (true) {
            ByteBuffer next;
            synchronized (this) {
                while (queue.isEmpty() && !ending) {
                    writerIdle = true;
                    try {
                        wait();
                    } catch (InterruptedException e) {
                        return;
                    }
                }
                writerIdle = false;
                next = queue.poll();
                if (next == null) {
                    break;
                }
            }
            if (!writeBlocks(next)) {
                return;
            }
            synchronized (this) {
                if (spare.size() < SPARE_CHUNKS && next.capacity() == CHUNK_BYTES) {
                    spare.add(next.clear());
                }
            }
        }
        ByteBuffer statistics;
        synchronized (this) {
            statistics = statisticsBlock();
        }
        writeBlocks(statistics);
    }

    /** Waits for the writer while it makes progress; one that makes none for the grace is stopped. */
    private void awaitWriter(Thread running) {
        long lastBytes = -1;
        long lastProgress = System.nanoTime();
        while (running.isAlive()) {
            try {
                running.join(100);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                break;
            }
            synchronized (this) {
                long sent = sentBytes;
                if (sent != lastBytes) {
                    lastBytes = sent;
                    lastProgress = System.nanoTime();
                } else if (System.nanoTime() - lastProgress >= GRACE_NANOS) {
                    stalled = true;
                    queue.clear();
                    break;
                }
            }
        }
        if (running.isAlive()) {
            // An interrupt closes the channel under a write that waits for a reader, which ends it.
            running.interrupt();
            try {
                running.join(TimeUnit.NANOSECONDS.toMillis(GRACE_NANOS));
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
    }

    /**
     * Writes the blocks of {@code bytes}, which begin at a block's start; false, with the failure recorded, when the
     * writing has ended.
     */
    private boolean writeBlocks(ByteBuffer bytes) {
        int start = bytes.position();
        int end = bytes.limit();
        try {
            while (bytes.position() < end) {
                bytes.limit(Math.min(end, bytes.position() + SLICE_BYTES));
                sentBytes += channel.write(bytes);  // only this thread writes it
            }
        } catch (IOException e) {
            bytes.limit(end);
            synchronized (this) {
                // The buffer's position counts what went out, also of a write that ended in the error.
                countBlocks(bytes, bytes.position() - start);
                if (!stalled) {
                    // A write the grace ended (the channel closed under it) is a stall, said as such.
                    failure = e;
                    keepWholeBlocks();
                }
                queue.clear();
            }
            return false;
        }
        synchronized (this) {
            countBlocks(bytes, bytes.position() - start);
        }
        return true;
    }

    /** The statistics block: frames received, frames saved, at the time of writing. */
    private ByteBuffer statisticsBlock() {
        ByteBuffer block = newChunk(64);
        Instant now = Instant.now();
        long micros = now.getEpochSecond() * 1_000_000L + now.getNano() / 1000;
        block.putInt(INTERFACE_STATISTICS).putInt(0).putInt(0).putInt((int) (micros >>> 32)).putInt((int) micros);
        block.putShort(ISB_IFRECV).putShort((short) 8).putLong(received);
        block.putShort(ISB_USRDELIV).putShort((short) 8).putLong(writtenFrames);
        block.putShort(OPT_END).putShort((short) 0);
        closeBlock(block, 0);
        return block.flip();
    }

    private static ByteBuffer newChunk(int bytes) {
        return ByteBuffer.allocate(bytes).order(ByteOrder.LITTLE_ENDIAN);
    }

    private static void option(ByteBuffer buffer, short code, byte[] value) {
        buffer.putShort(code).putShort((short) value.length).put(value);
        for (int pad = value.length; pad % 4 != 0; pad++) {
            buffer.put((byte) 0);
        }
    }

    /** Fills in the total length, at its start and at its end, of the block begun at {@code start}. */
    private static void closeBlock(ByteBuffer buffer, int start) {
        int length = buffer.position() - start + 4;
        buffer.putInt(start + 4, length);
        buffer.putInt(length);
    }

    /** Under the lock: counts the blocks that lie whole within the first {@code bytes} of {@code blocks}. */
    private void countBlocks(ByteBuffer blocks, int bytes) {
        int offset = 0;
        while (offset + 8 <= bytes) {
            int length = blocks.getInt(offset + 4);
            if (length <= 0 || offset + length > bytes) {
                break;
            }
            if (blocks.getInt(offset) == ENHANCED_PACKET) {
                writtenFrames++;
            }
            offset += length;
        }
        writtenBytes += offset;
    }

    /**
     * Under the lock, after a write error: what reached the file is cut back to its whole blocks, or removed when
     * it has no frame.
     */
    private void keepWholeBlocks() {
        if (stream) {
            return;
        }
        try {
            if (created && writtenFrames == 0) {
                channel.close();
                Files.deleteIfExists(path);
                removed = true;
            } else {
                channel.truncate(base + writtenBytes);
            }
        } catch (IOException e) {
            cutFailed = true;
        }
    }
}
