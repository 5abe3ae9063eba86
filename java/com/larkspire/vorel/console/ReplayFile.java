package com.larkspire.vorel.console;

import java.io.IOException;
import java.io.InputStream;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;

/**
 * Checks, before a replay starts, that a file is a capture file whose frames an Ethernet adapter can stand for:
 * pcap (either byte order, microsecond or nanosecond timestamps) or pcapng whose first interface is Ethernet.
 */
final class ReplayFile {

    private static final int PCAP_MICROSECONDS = 0xA1B2C3D4;
    private static final int PCAP_NANOSECONDS = 0xA1B23C4D;
    private static final int PCAPNG_SECTION = 0x0A0D0D0A;
    private static final int PCAPNG_BYTE_ORDER = 0x1A2B3C4D;
    private static final int PCAPNG_INTERFACE = 1;
    /** How far into a pcapng file the first interface description is looked for. */
    private static final int LOOK_BYTES = 1 << 20;

    private ReplayFile() {
    }

    /**
     * Returns null when {@code file} can be replayed, otherwise why not, as one line for the user.
     */
    static String problem(Path file) {
        if (Files.exists(file) && !Files.isRegularFile(file)) {
            // A pipe would be drained by this check, and a reader blocked on it could not be stopped.
            return "not a regular file";
        }
        byte[] head;
        try (InputStream in = Files.newInputStream(file)) {
            head = in.readNBytes(LOOK_BYTES);
        } catch (NoSuchFileException e) {
            return "no such file";
        } catch (IOException e) {
            return "cannot read it: " + CaptureConsole.reason(e);
        }
        ByteBuffer bytes = ByteBuffer.wrap(head).order(ByteOrder.LITTLE_ENDIAN);
        if (head.length >= 4 && bytes.getInt(0) == PCAPNG_SECTION) {
            return pcapngProblem(bytes);
        }
        if (head.length >= 24) {
            for (ByteOrder order : new ByteOrder[] {ByteOrder.LITTLE_ENDIAN, ByteOrder.BIG_ENDIAN}) {
                bytes.order(order);
                int magic = bytes.getInt(0);
                if (magic == PCAP_MICROSECONDS || magic == PCAP_NANOSECONDS) {
                    return linkTypeProblem(bytes.getInt(20) & 0xFFFF);
                }
            }
        }
        return "not a capture file (pcap or pcapng)";
    }

    private static String pcapngProblem(ByteBuffer bytes) {
        if (bytes.limit() < 12) {
            return "not a capture file (pcap or pcapng)";
        }
        int magic = bytes.getInt(8);
        if (magic != PCAPNG_BYTE_ORDER) {
            bytes.order(ByteOrder.BIG_ENDIAN);
            if (bytes.getInt(8) != PCAPNG_BYTE_ORDER) {
                return "not a capture file (pcap or pcapng)";
            }
        }
        // Walk the blocks to the first interface description.
        long offset = 0;
        while (offset + 12 <= bytes.limit()) {
            int type = bytes.getInt((int) offset);
            long length = bytes.getInt((int) offset + 4) & 0xFFFFFFFFL;
            if (length < 12 || length % 4 != 0) {
                return "a damaged pcapng file (a block of length " + length + ")";
            }
            if (type == PCAPNG_INTERFACE && offset + 10 <= bytes.limit()) {
                return linkTypeProblem(bytes.getShort((int) offset + 8) & 0xFFFF);
            }
            offset += length;
        }
        return "a pcapng file without an interface description";
    }

    private static String linkTypeProblem(int linkType) {
        return linkType == CaptureFileWriter.LINKTYPE_ETHERNET
                ? null : "its frames are not Ethernet frames (link type " + linkType + ")";
    }
}
