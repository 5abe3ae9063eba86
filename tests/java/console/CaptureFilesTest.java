package com.larkspire.vorel.console;

import java.io.IOException;
import java.lang.reflect.InvocationHandler;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Proxy;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.channels.FileChannel;
import java.nio.channels.SeekableByteChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.time.Instant;
import java.util.Comparator;
import java.util.List;
import java.util.stream.Stream;

/**
 * The console's capture files without the library: which files --replay accepts, the lengths and timestamp
 * --write records for a frame longer than the array, and what a disk that fills up leaves (the round trip through
 * tshark and tcpdump, a real full disk and pipes are process tests).
 */
public final class CaptureFilesTest {

    static byte[] bytes(ByteOrder order, int... words) {
        ByteBuffer b = ByteBuffer.allocate(words.length * 4).order(order);
        for (int w : words) {
            b.putInt(w);
        }
        return b.array();
    }

    static byte[] pcapngWithInterface(ByteOrder order, int linkType) {
        ByteBuffer b = ByteBuffer.allocate(48).order(order);
        b.putInt(0x0A0D0D0A).putInt(28).putInt(0x1A2B3C4D).putShort((short) 1).putShort((short) 0).putLong(-1).putInt(28);
        b.putInt(1).putInt(20).putShort((short) linkType).putShort((short) 0).putInt(65535).putInt(20);
        return b.array();
    }

    private static void replayFiles(Checks checks, Path dir) throws IOException {
        record Row(String name, byte[] content, String problem) {
        }
        String notCapture = "not a capture file (pcap or pcapng)";
        Row[] rows = {
            new Row("pcap", bytes(ByteOrder.LITTLE_ENDIAN, 0xa1b2c3d4, 0x00040002, 0, 0, 65535, 1), null),
            new Row("pcap, big-endian, nanoseconds", bytes(ByteOrder.BIG_ENDIAN, 0xa1b23c4d, 0x00020004, 0, 0, 65535, 1), null),
            new Row("pcap of Linux cooked frames", bytes(ByteOrder.LITTLE_ENDIAN, 0xa1b2c3d4, 0x00040002, 0, 0, 65535, 113),
                    "its frames are not Ethernet frames (link type 113)"),
            new Row("pcap header cut short", bytes(ByteOrder.LITTLE_ENDIAN, 0xa1b2c3d4, 0x00040002), notCapture),
            new Row("pcapng", pcapngWithInterface(ByteOrder.LITTLE_ENDIAN, 1), null),
            new Row("pcapng, big-endian", pcapngWithInterface(ByteOrder.BIG_ENDIAN, 1), null),
            new Row("pcapng of 802.11 frames", pcapngWithInterface(ByteOrder.LITTLE_ENDIAN, 105),
                    "its frames are not Ethernet frames (link type 105)"),
            new Row("pcapng without an interface", java.util.Arrays.copyOf(pcapngWithInterface(ByteOrder.LITTLE_ENDIAN, 1), 28),
                    "a pcapng file without an interface description"),
            new Row("pcapng with a block of length 0",
                    bytes(ByteOrder.LITTLE_ENDIAN, 0x0A0D0D0A, 0, 0x1A2B3C4D), "a damaged pcapng file (a block of length 0)"),
            new Row("empty file", new byte[0], notCapture),
            new Row("text", "GET / HTTP/1.1\r\nHost: example\r\n\r\n".getBytes(java.nio.charset.StandardCharsets.US_ASCII), notCapture),
        };
        for (Row row : rows) {
            Path file = dir.resolve(row.name().replace(' ', '_').replace(',', '_'));
            Files.write(file, row.content());
            checks.equal("replay file: " + row.name(), row.problem(), ReplayFile.problem(file));
        }
        checks.equal("replay file: missing", "no such file", ReplayFile.problem(dir.resolve("missing.pcap")));
        checks.equal("replay file: a directory", "not a regular file", ReplayFile.problem(dir));
    }

    private static void writtenLengths(Checks checks, Path dir) throws IOException {
        Path file = dir.resolve("lengths.pcapng");
        byte[] frame = new byte[101];
        for (int i = 0; i < frame.length; i++) {
            frame[i] = (byte) (i + 1);
        }
        Instant time = Instant.ofEpochSecond(1_800_000_000L, 123_456_789);
        try (CaptureFileWriter writer = CaptureFileWriter.open(file, false, null)) {
            writer.begin("card 1", "Adapter");
            writer.frame(frame, 101, 70000, time);
        }
        ByteBuffer b = ByteBuffer.wrap(Files.readAllBytes(file)).order(ByteOrder.LITTLE_ENDIAN);
        int offset = 0;
        for (int block = 0; block < 2; block++) {  // section header, interface description
            offset += b.getInt(offset + 4);
        }
        checks.equal("frame block type", 6, b.getInt(offset));
        checks.equal("frame block length: 32 + 101 padded to 104", 136, b.getInt(offset + 4));
        checks.equal("frame block length repeated at its end", 136, b.getInt(offset + 132));
        long micros = ((long) b.getInt(offset + 12) << 32) | (b.getInt(offset + 16) & 0xFFFFFFFFL);
        checks.equal("timestamp in microseconds", 1_800_000_000_123_456L, micros);
        checks.equal("captured length: the bytes copied", 101, b.getInt(offset + 20));
        checks.equal("original length: the frame's length", 70000, b.getInt(offset + 24));
        checks.equal("frame bytes", 1, (int) b.get(offset + 28));
        checks.equal("padding", 0, (int) b.get(offset + 28 + 101));
        offset += 136;
        checks.equal("statistics block after the frame", 5, b.getInt(offset));
        checks.equal("statistics: frames received, frames saved", List.of(1L, 1L),
                List.of(b.getLong(offset + 24), b.getLong(offset + 36)));
        checks.equal("nothing after the statistics", offset + b.getInt(offset + 4), b.limit());

        // An existing file: refused without force, kept as it is until the capture begins with force.
        Files.writeString(file, "keep");
        try {
            CaptureFileWriter.open(file, false, null).close();
            checks.isTrue("existing file refused", false, "opened");
        } catch (java.nio.file.FileAlreadyExistsException e) {
            checks.equal("existing file refused", "keep", Files.readString(file));
        }
        CaptureFileWriter forced = CaptureFileWriter.open(file, true, null);
        checks.equal("forced: untouched before the capture begins", "keep", Files.readString(file));
        forced.abandon();
        checks.equal("forced, abandoned: the old file stays", "keep", Files.readString(file));
        Path fresh = dir.resolve("fresh.pcapng");
        CaptureFileWriter.open(fresh, false, null).abandon();
        checks.equal("created, abandoned: removed", false, Files.exists(fresh));
    }

    /** A disk with {@code room} bytes left: the write that meets the end writes what fits, the next one fails. */
    private static final class FillingDisk {
        long room;
        int writes;
        boolean closeFails;  // the file system reports an error only when the file is closed (NFS, a quota)

        FillingDisk(long room) {
            this.room = room;
        }

        SeekableByteChannel create(Path path) throws IOException {
            FileChannel file = FileChannel.open(path, StandardOpenOption.CREATE_NEW, StandardOpenOption.WRITE);
            InvocationHandler calls = (proxy, method, args) -> {
                if (method.getName().equals("close") && closeFails) {
                    file.close();
                    throw new IOException("Input/output error");
                }
                if (!method.getName().equals("write")) {
                    try {
                        return method.invoke(file, args);
                    } catch (InvocationTargetException e) {
                        throw e.getCause();
                    }
                }
                writes++;
                if (room == 0) {
                    throw new IOException("No space left on device");
                }
                ByteBuffer source = (ByteBuffer) args[0];
                int written = file.write(source.slice().limit((int) Math.min(source.remaining(), room)));
                source.position(source.position() + written);
                room -= written;
                return written;
            };
            return (SeekableByteChannel) Proxy.newProxyInstance(CaptureFilesTest.class.getClassLoader(),
                    new Class<?>[] {SeekableByteChannel.class}, calls);
        }
    }

    private static void writeErrors(Checks checks, Path dir) throws IOException {
        // Ten frames of 1,514 bytes onto a disk with 5,000 bytes left: the write that fills it is cut short.
        Path file = dir.resolve("full.pcapng");
        FillingDisk disk = new FillingDisk(5000);
        CaptureFileWriter writer = new CaptureFileWriter(file, disk.create(file), true, false, 0);
        byte[] frame = new byte[1514];
        IOException error = null;
        try {
            writer.begin("card 1", "Adapter");
            for (int i = 0; i < 10; i++) {
                frame[0] = (byte) i;
                writer.frame(frame, frame.length, frame.length, Instant.EPOCH);
            }
            writer.close();
        } catch (IOException e) {
            error = e;
        }
        checks.equal("full disk: the error", "No space left on device", error == null ? null : error.getMessage());
        // The disk is freed: still nothing is written after the error.
        disk.room = Long.MAX_VALUE;
        int writes = disk.writes;
        writer.close();
        checks.equal("full disk: nothing written after the error", writes, disk.writes);
        checks.equal("full disk: the error is said once", List.of(true, false), List.of(writer.firstReport(), writer.firstReport()));
        // The file: whole blocks only, the first frames in order, as many as the message says.
        ByteBuffer b = ByteBuffer.wrap(Files.readAllBytes(file)).order(ByteOrder.LITTLE_ENDIAN);
        int offset = 0;
        int frames = 0;
        boolean inOrder = true;
        while (offset + 8 <= b.limit() && offset + b.getInt(offset + 4) <= b.limit()
                && b.getInt(offset + b.getInt(offset + 4) - 4) == b.getInt(offset + 4)) {
            if (b.getInt(offset) == 6) {
                inOrder &= b.get(offset + 28) == frames++;
            }
            offset += b.getInt(offset + 4);
        }
        checks.equal("full disk: the file ends after a whole block", b.limit(), offset);
        checks.isTrue("full disk: the first frames, in order", frames > 0 && frames < 10 && inOrder, frames + " frames");
        checks.equal("full disk: what the message says", "the file holds the first " + frames + " frames", writer.saved());

        // Full from the start (the headers cut short): the file this run created goes.
        Path empty = dir.resolve("empty.pcapng");
        CaptureFileWriter none = new CaptureFileWriter(empty, new FillingDisk(50).create(empty), true, false, 0);
        try {
            none.begin("card 1", "Adapter");
            checks.isTrue("no room: the headers fail", false, "written");
        } catch (IOException e) {
            none.abandon();
        }
        checks.equal("no room: no file left", false, Files.exists(empty));
        checks.equal("no room: what the message says", "no frame was saved, and the file is removed", none.saved());

        // An error that only the close reports: the run is not a save.
        Path late = dir.resolve("late.pcapng");
        FillingDisk nfs = new FillingDisk(Long.MAX_VALUE);
        nfs.closeFails = true;
        CaptureFileWriter closing = new CaptureFileWriter(late, nfs.create(late), true, false, 0);
        String closeError = null;
        try {
            closing.begin("card 1", "Adapter");
            closing.frame(frame, 60, 60, Instant.EPOCH);
            closing.close();
        } catch (IOException e) {
            closeError = e.getMessage();
        }
        checks.equal("failing close: the error", "Input/output error", closeError);
        checks.equal("failing close: failed, said once", List.of(true, true, false),
                List.of(closing.failed(), closing.firstReport(), closing.firstReport()));

        // A pipe: each frame goes out as it comes, for the reader.
        Path piped = dir.resolve("piped.pcapng");
        try (CaptureFileWriter live = new CaptureFileWriter(piped, new FillingDisk(Long.MAX_VALUE).create(piped), false, true, 0)) {
            live.begin("card 1", "Adapter");
            long before = Files.size(piped);
            live.frame(frame, 60, 60, Instant.EPOCH);
            long deadline = System.nanoTime() + 5_000_000_000L;
            while (Files.size(piped) == before && System.nanoTime() < deadline) {
                live.handOverIfDue();  // as the console's timer does
                Thread.onSpinWait();
            }
            checks.equal("pipe: the frame went out while the capture goes on", before + 92, Files.size(piped));
        }
    }

    public static void main(String[] args) throws IOException {
        Checks checks = new Checks();
        Path dir = Files.createTempDirectory("vorel-capture-files");
        try {
            replayFiles(checks, dir);
            writtenLengths(checks, dir);
            writeErrors(checks, dir);
        } finally {
            try (Stream<Path> files = Files.walk(dir)) {
                files.sorted(Comparator.reverseOrder()).forEach(p -> p.toFile().delete());
            }
        }
        checks.finish();
    }
}
