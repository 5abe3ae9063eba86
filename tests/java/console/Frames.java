package com.larkspire.vorel.console;

import java.io.ByteArrayOutputStream;
import java.net.InetAddress;
import java.net.UnknownHostException;
import java.util.Arrays;

/** Builds test frames header by header, with lengths filled in as a sender would. */
final class Frames {
    static final String MAC_A = "02:00:00:00:00:01";
    static final String MAC_B = "02:00:00:00:00:02";
    static final String BROADCAST = "ff:ff:ff:ff:ff:ff";

    private Frames() {
    }

    static byte[] ethernet(String destination, String source, int type, byte[] payload) {
        return concat(mac(destination), mac(source), u16(type), payload);
    }

    /** An Ethernet frame padded to the 60-byte minimum, as it is seen on the wire. */
    static byte[] padded(byte[] frame) {
        return frame.length >= 60 ? frame : Arrays.copyOf(frame, 60);
    }

    static byte[] vlan(int id, int type, byte[] payload) {
        return concat(u16(id), u16(type), payload);
    }

    static byte[] ipv4(int protocol, String source, String destination, byte[] payload) {
        return concat(bytes(0x45, 0x00), u16(20 + payload.length), bytes(0x12, 0x34, 0x40, 0x00, 64, protocol, 0, 0),
                address(source), address(destination), payload);
    }

    static byte[] ipv6(int next, String source, String destination, byte[] payload) {
        return concat(bytes(0x60, 0, 0, 0), u16(payload.length), bytes(next, 64), address(source), address(destination),
                payload);
    }

    static byte[] udp(int sourcePort, int destinationPort, int payloadLength) {
        return concat(u16(sourcePort), u16(destinationPort), u16(8 + payloadLength), u16(0), new byte[payloadLength]);
    }

    static byte[] tcp(int sourcePort, int destinationPort, int flags, int payloadLength) {
        return concat(u16(sourcePort), u16(destinationPort), bytes(0, 0, 0, 1, 0, 0, 0, 0, 0x50, flags, 0xff, 0xff, 0, 0,
                0, 0), new byte[payloadLength]);
    }

    static byte[] icmp(int type, int code, int id, int sequence) {
        return concat(bytes(type, code, 0, 0), u16(id), u16(sequence), new byte[8]);
    }

    static byte[] arp(int operation, String senderMac, String senderIp, String targetMac, String targetIp) {
        return concat(u16(1), u16(0x0800), bytes(6, 4), u16(operation), mac(senderMac), address(senderIp),
                mac(targetMac), address(targetIp));
    }

    static byte[] mac(String text) {
        String[] parts = text.split(":");
        byte[] mac = new byte[parts.length];
        for (int i = 0; i < parts.length; i++) {
            mac[i] = (byte) Integer.parseInt(parts[i], 16);
        }
        return mac;
    }

    /** The bytes of a literal IPv4 or IPv6 address (no name look-up: literals only). */
    static byte[] address(String literal) {
        try {
            byte[] raw = InetAddress.getByName(literal).getAddress();
            if (literal.contains(":") && raw.length == 4) {
                // InetAddress turns ::ffff:a.b.c.d into an IPv4 address; keep the 16 bytes.
                return concat(new byte[10], bytes(0xff, 0xff), raw);
            }
            return raw;
        } catch (UnknownHostException e) {
            throw new IllegalArgumentException(literal, e);
        }
    }

    static byte[] u16(int value) {
        return bytes(value >>> 8, value);
    }

    static byte[] bytes(int... values) {
        byte[] bytes = new byte[values.length];
        for (int i = 0; i < values.length; i++) {
            bytes[i] = (byte) values[i];
        }
        return bytes;
    }

    static byte[] concat(byte[]... parts) {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        for (byte[] part : parts) {
            out.writeBytes(part);
        }
        return out.toByteArray();
    }

    /** A copy of {@code frame} with {@code value} written at {@code offset}. */
    static byte[] with(byte[] frame, int offset, int... value) {
        byte[] copy = frame.clone();
        for (int i = 0; i < value.length; i++) {
            copy[offset + i] = (byte) value[i];
        }
        return copy;
    }
}
