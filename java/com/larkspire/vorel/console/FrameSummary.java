package com.larkspire.vorel.console;

import java.util.Objects;

/**
 * One-line summaries of Ethernet frames, for the capture console.
 *
 * <p>The summary names the outermost protocols that the frame's bytes hold: 802.1Q VLAN tags, the Ethernet type,
 * IPv4 or IPv6 with source and destination, TCP and UDP ports (and TCP flags), ARP requests and replies, ICMP and
 * ICMPv6 types. Examples:
 *
 * <pre>
 * IPv4 UDP 192.168.1.10:53 -&gt; 192.168.1.20:40000 len=12
 * IPv4 TCP 10.0.0.1:443 -&gt; 10.0.0.2:51000 [SYN,ACK] len=0
 * IPv6 UDP [2001:db8::1]:5353 -&gt; [ff02::fb]:5353 len=10
 * VLAN 10 ARP request who-has 10.0.0.2 tell 10.0.0.1
 * IPv4 ICMP 10.0.0.1 -&gt; 10.0.0.2 echo request id=4660 seq=1
 * </pre>
 *
 * <p>Decoding never fails: every byte array, whatever its length or contents, yields a summary. A header that the
 * captured bytes do not hold completely ends the summary with {@code [truncated]}; a header field whose value
 * cannot be right (a version, a header or datagram length) ends it with a bracketed remark such as
 * {@code [bad version 6]}. Lengths in the summary ({@code len=}) are payload lengths as the headers state them,
 * so they stay right when the capture holds only part of the frame.
 */
public final class FrameSummary {

    private static final int ETHERNET_HEADER = 14;
    private static final int MAX_VLAN_TAGS = 8;
    private static final int MAX_IPV6_EXTENSION_HEADERS = 8;

    private static final String TRUNCATED = "[truncated]";

    private final byte[] frame;
    private final int end;
    private final StringBuilder out = new StringBuilder(96);

    private FrameSummary(byte[] frame, int end) {
        this.frame = frame;
        this.end = end;
    }

    /** Summarizes a whole byte array as one captured frame. */
    public static String describe(byte[] frame) {
        Objects.requireNonNull(frame, "frame");
        return describe(frame, frame.length);
    }

    /**
     * Summarizes the first {@code length} bytes of {@code frame}: the bytes of one frame that were captured.
     * A length outside 0..frame.length is clamped to that range.
     */
    public static String describe(byte[] frame, int length) {
        Objects.requireNonNull(frame, "frame");
        int captured = Math.max(0, Math.min(length, frame.length));
        FrameSummary summary = new FrameSummary(frame, captured);
        summary.ethernet();
        return summary.out.toString();
    }

    // ---- Link layer -------------------------------------------------------------------------------------------

    private void ethernet() {
        if (end == 0) {
            out.append("[empty]");
            return;
        }
        if (!has(0, ETHERNET_HEADER, end)) {
            out.append("Ethernet ").append(TRUNCATED);
            return;
        }
        int type = u16(12);
        int offset = ETHERNET_HEADER;
        for (int tags = 0; isVlanTag(type); tags++) {
            if (tags == MAX_VLAN_TAGS) {
                out.append("[too many VLAN tags]");
                return;
            }
            if (!has(offset, 4, end)) {
                out.append("VLAN ").append(TRUNCATED);
                return;
            }
            out.append("VLAN ").append(u16(offset) & 0x0fff).append(' ');
            type = u16(offset + 2);
            offset += 4;
        }
        switch (type) {
            case 0x0800 -> ipv4(offset);
            case 0x86dd -> ipv6(offset);
            case 0x0806 -> arp(offset, "ARP");
            case 0x8035 -> arp(offset, "RARP");
            default -> {
                if (type <= 1500) {
                    ieee8023(offset);
                } else {
                    out.append(etherTypeName(type)).append(' ').append(mac(6)).append(" -> ").append(mac(0));
                }
            }
        }
    }

    private static boolean isVlanTag(int type) {
        return type == 0x8100 || type == 0x88a8 || type == 0x9100;
    }

    private static String etherTypeName(int type) {
        return switch (type) {
            case 0x0842 -> "Wake-on-LAN";
            case 0x8808 -> "MAC control";
            case 0x8847 -> "MPLS";
            case 0x8848 -> "MPLS multicast";
            case 0x8863 -> "PPPoE discovery";
            case 0x8864 -> "PPPoE session";
            case 0x888e -> "EAPOL";
            case 0x88cc -> "LLDP";
            case 0x88e5 -> "MACsec";
            case 0x88f7 -> "PTP";
            default -> "ethertype " + hex16(type);
        };
    }

    /** An IEEE 802.3 frame: the type field is a length, an LLC header follows. */
    private void ieee8023(int offset) {
        out.append("802.3 ").append(mac(6)).append(" -> ").append(mac(0));
        if (!has(offset, 3, end)) {
            out.append(' ').append(TRUNCATED);
            return;
        }
        int dsap = u8(offset);
        int ssap = u8(offset + 1);
        out.append(" LLC dsap=").append(hex8(dsap)).append(" ssap=").append(hex8(ssap));
        if (dsap == 0x42 && ssap == 0x42) {
            out.append(" STP");
        } else if (dsap == 0xaa && ssap == 0xaa) {
            if (!has(offset, 8, end)) {
                out.append(" SNAP ").append(TRUNCATED);
                return;
            }
            int oui = (u8(offset + 3) << 16) | u16(offset + 4);
            out.append(" SNAP oui=").append(String.format("0x%06x", oui)).append(" type=").append(hex16(u16(offset + 6)));
        }
    }

    private void arp(int offset, String name) {
        out.append(name);
        if (!has(offset, 8, end)) {
            out.append(' ').append(TRUNCATED);
            return;
        }
        int hardwareType = u16(offset);
        int protocolType = u16(offset + 2);
        int hardwareLength = u8(offset + 4);
        int protocolLength = u8(offset + 5);
        int operation = u16(offset + 6);
        out.append(' ').append(arpOperationName(operation));
        if (hardwareType != 1 || protocolType != 0x0800 || hardwareLength != 6 || protocolLength != 4) {
            out.append(" (htype ").append(hardwareType).append(", ptype ").append(hex16(protocolType)).append(')');
            return;
        }
        if (!has(offset, 28, end)) {
            out.append(' ').append(TRUNCATED);
            return;
        }
        String senderMac = mac(offset + 8);
        String senderIp = ipv4Address(offset + 14);
        String targetMac = mac(offset + 18);
        String targetIp = ipv4Address(offset + 24);
        switch (operation) {
            case 1 -> out.append(" who-has ").append(targetIp).append(" tell ").append(senderIp);
            case 2 -> out.append(' ').append(senderIp).append(" is-at ").append(senderMac);
            case 3 -> out.append(" who-is ").append(targetMac).append(" tell ").append(senderMac);
            case 4 -> out.append(' ').append(targetMac).append(" is-at ").append(targetIp);
            default -> out.append(' ').append(senderIp).append(" -> ").append(targetIp);
        }
    }

    private static String arpOperationName(int operation) {
        return switch (operation) {
            case 1 -> "request";
            case 2 -> "reply";
            case 3 -> "reverse request";
            case 4 -> "reverse reply";
            default -> "opcode " + operation;
        };
    }

    // ---- Network layer ----------------------------------------------------------------------------------------

    private void ipv4(int offset) {
        out.append("IPv4 ");
        if (!has(offset, 20, end)) {
            out.append(TRUNCATED);
            return;
        }
        int version = u8(offset) >>> 4;
        if (version != 4) {
            out.append("[bad version ").append(version).append(']');
            return;
        }
        int headerLength = (u8(offset) & 0x0f) * 4;
        int totalLength = u16(offset + 2);
        int fragmentOffset = (u16(offset + 6) & 0x1fff) * 8;
        int protocol = u8(offset + 9);
        String source = ipv4Address(offset + 12);
        String destination = ipv4Address(offset + 16);

        out.append(protocolName(protocol)).append(' ');
        if (headerLength < 20) {
            addresses(source, destination);
            out.append(" [bad header length ").append(headerLength).append(']');
            return;
        }
        // A total length of 0 is what segmentation offload leaves in frames captured on the sending host:
        // the datagram then runs to the end of the frame.
        int payloadLength;
        if (totalLength == 0) {
            payloadLength = Math.max(0, end - offset - headerLength);
        } else if (totalLength < headerLength) {
            addresses(source, destination);
            out.append(" [bad total length ").append(totalLength).append(']');
            return;
        } else {
            payloadLength = totalLength - headerLength;
        }
        if (fragmentOffset != 0) {
            addresses(source, destination);
            out.append(" fragment offset=").append(fragmentOffset);
            return;
        }
        int payload = offset + headerLength;
        if (payload > end) {
            addresses(source, destination);
            out.append(' ').append(TRUNCATED);
            return;
        }
        transport(protocol, source, destination, false, payload, payloadLength);
    }

    private void ipv6(int offset) {
        out.append("IPv6 ");
        if (!has(offset, 40, end)) {
            out.append(TRUNCATED);
            return;
        }
        int version = u8(offset) >>> 4;
        if (version != 6) {
            out.append("[bad version ").append(version).append(']');
            return;
        }
        int declaredLength = u16(offset + 4);
        int next = u8(offset + 6);
        String source = ipv6Address(frame, offset + 8);
        String destination = ipv6Address(frame, offset + 24);

        int payload = offset + 40;
        // A payload length of 0 (a jumbogram, or segmentation offload) runs to the end of the frame.
        int remaining = declaredLength == 0 ? end - payload : declaredLength;
        for (int headers = 0; isIpv6ExtensionHeader(next); headers++) {
            if (headers == MAX_IPV6_EXTENSION_HEADERS) {
                out.append(protocolName(next)).append(' ');
                addresses(source, destination);
                out.append(" [too many extension headers]");
                return;
            }
            int limit = Math.min(end, payload + remaining);
            if (!has(payload, 8, limit)) {
                out.append(protocolName(next)).append(' ');
                addresses(source, destination);
                out.append(' ').append(remaining < 8 ? "[bad payload length " + declaredLength + "]" : TRUNCATED);
                return;
            }
            int length = switch (next) {
                case 44 -> 8;
                case 51 -> (u8(payload + 1) + 2) * 4;
                default -> (u8(payload + 1) + 1) * 8;
            };
            if (length > remaining) {
                out.append(protocolName(next)).append(' ');
                addresses(source, destination);
                out.append(" [bad payload length ").append(declaredLength).append(']');
                return;
            }
            if (next == 44) {
                int fragmentOffset = u16(payload + 2) & 0xfff8;
                if (fragmentOffset != 0) {
                    out.append(protocolName(u8(payload))).append(' ');
                    addresses(source, destination);
                    out.append(" fragment offset=").append(fragmentOffset);
                    return;
                }
            }
            next = u8(payload);
            payload += length;
            remaining -= length;
        }
        out.append(protocolName(next)).append(' ');
        if (payload > end) {
            addresses(source, destination);
            out.append(' ').append(TRUNCATED);
            return;
        }
        transport(next, source, destination, true, payload, remaining);
    }

    private static boolean isIpv6ExtensionHeader(int next) {
        return next == 0 || next == 43 || next == 44 || next == 51 || next == 60;
    }

    private static String protocolName(int protocol) {
        return switch (protocol) {
            case 0 -> "hop-by-hop";
            case 1 -> "ICMP";
            case 2 -> "IGMP";
            case 4 -> "IPIP";
            case 6 -> "TCP";
            case 17 -> "UDP";
            case 41 -> "IPv6-in-IP";
            case 43 -> "routing";
            case 44 -> "fragment";
            case 47 -> "GRE";
            case 50 -> "ESP";
            case 51 -> "AH";
            case 58 -> "ICMPv6";
            case 59 -> "no-next-header";
            case 60 -> "destination-options";
            case 89 -> "OSPF";
            case 103 -> "PIM";
            case 112 -> "VRRP";
            case 132 -> "SCTP";
            default -> "proto " + protocol;
        };
    }

    // ---- Transport layer --------------------------------------------------------------------------------------

    /**
     * Decodes the transport header at {@code offset}. The protocol's name has been written; what follows is the
     * addresses (with ports where the protocol has them) and the protocol's details. {@code length} is the
     * payload length that the network header states; the captured bytes are bounded by it and by the frame.
     */
    private void transport(int protocol, String source, String destination, boolean ipv6, int offset, int length) {
        int limit = (int) Math.min(end, (long) offset + Math.max(0, length));
        switch (protocol) {
            case 6 -> tcp(source, destination, ipv6, offset, limit, length);
            case 17 -> udp(source, destination, ipv6, offset, limit);
            case 1 -> icmp(source, destination, offset, limit, false);
            case 58 -> icmp(source, destination, offset, limit, true);
            default -> addresses(source, destination);
        }
    }

    private void udp(String source, String destination, boolean ipv6, int offset, int limit) {
        if (!has(offset, 8, limit)) {
            addresses(source, destination);
            out.append(' ').append(TRUNCATED);
            return;
        }
        endpoints(source, u16(offset), destination, u16(offset + 2), ipv6);
        int length = u16(offset + 4);
        if (length < 8) {
            out.append(" [bad length ").append(length).append(']');
        } else {
            out.append(" len=").append(length - 8);
        }
    }

    private void tcp(String source, String destination, boolean ipv6, int offset, int limit, int segmentLength) {
        if (!has(offset, 20, limit)) {
            addresses(source, destination);
            out.append(' ').append(TRUNCATED);
            return;
        }
        endpoints(source, u16(offset), destination, u16(offset + 2), ipv6);
        int headerLength = (u8(offset + 12) >>> 4) * 4;
        out.append(' ').append(tcpFlags(u8(offset + 13)));
        if (headerLength < 20) {
            out.append(" [bad data offset ").append(headerLength).append(']');
        } else if (segmentLength < headerLength) {
            out.append(" [bad length ").append(segmentLength).append(']');
        } else {
            out.append(" len=").append(segmentLength - headerLength);
        }
    }

    private static final String[] TCP_FLAG_NAMES = {"FIN", "SYN", "RST", "PSH", "ACK", "URG", "ECE", "CWR"};

    private static String tcpFlags(int flags) {
        StringBuilder names = new StringBuilder("[");
        for (int bit = 0; bit < TCP_FLAG_NAMES.length; bit++) {
            if ((flags & (1 << bit)) != 0) {
                if (names.length() > 1) {
                    names.append(',');
                }
                names.append(TCP_FLAG_NAMES[bit]);
            }
        }
        return names.append(names.length() == 1 ? "none]" : "]").toString();
    }

    private void icmp(String source, String destination, int offset, int limit, boolean v6) {
        addresses(source, destination);
        if (!has(offset, 4, limit)) {
            out.append(' ').append(TRUNCATED);
            return;
        }
        int type = u8(offset);
        int code = u8(offset + 1);
        String name = v6 ? icmpv6TypeName(type) : icmpTypeName(type);
        boolean echo = v6 ? type == 128 || type == 129 : type == 0 || type == 8;
        if (name == null) {
            out.append(" type ").append(type).append(" code ").append(code);
            return;
        }
        out.append(' ').append(name);
        if (code != 0) {
            out.append(" code ").append(code);
        }
        if (echo) {
            if (!has(offset, 8, limit)) {
                out.append(' ').append(TRUNCATED);
                return;
            }
            out.append(" id=").append(u16(offset + 4)).append(" seq=").append(u16(offset + 6));
        }
    }

    private static String icmpTypeName(int type) {
        return switch (type) {
            case 0 -> "echo reply";
            case 3 -> "destination unreachable";
            case 4 -> "source quench";
            case 5 -> "redirect";
            case 8 -> "echo request";
            case 9 -> "router advertisement";
            case 10 -> "router solicitation";
            case 11 -> "time exceeded";
            case 12 -> "parameter problem";
            case 13 -> "timestamp request";
            case 14 -> "timestamp reply";
            default -> null;
        };
    }

    private static String icmpv6TypeName(int type) {
        return switch (type) {
            case 1 -> "destination unreachable";
            case 2 -> "packet too big";
            case 3 -> "time exceeded";
            case 4 -> "parameter problem";
            case 128 -> "echo request";
            case 129 -> "echo reply";
            case 130 -> "multicast listener query";
            case 131 -> "multicast listener report";
            case 132 -> "multicast listener done";
            case 133 -> "router solicitation";
            case 134 -> "router advertisement";
            case 135 -> "neighbor solicitation";
            case 136 -> "neighbor advertisement";
            case 137 -> "redirect";
            case 143 -> "multicast listener report v2";
            default -> null;
        };
    }

    // ---- Formatting -------------------------------------------------------------------------------------------

    private void addresses(String source, String destination) {
        out.append(source).append(" -> ").append(destination);
    }

    private void endpoints(String source, int sourcePort, String destination, int destinationPort, boolean ipv6) {
        if (ipv6) {
            out.append('[').append(source).append("]:").append(sourcePort)
                    .append(" -> [").append(destination).append("]:").append(destinationPort);
        } else {
            out.append(source).append(':').append(sourcePort).append(" -> ").append(destination).append(':').append(destinationPort);
        }
    }

    private String mac(int offset) {
        StringBuilder text = new StringBuilder(17);
        for (int i = 0; i < 6; i++) {
            if (i > 0) {
                text.append(':');
            }
            int b = u8(offset + i);
            text.append(Character.forDigit(b >>> 4, 16)).append(Character.forDigit(b & 0x0f, 16));
        }
        return text.toString();
    }

    private String ipv4Address(int offset) {
        return ipv4Address(frame, offset);
    }

    static String ipv4Address(byte[] bytes, int offset) {
        return (bytes[offset] & 0xff) + "." + (bytes[offset + 1] & 0xff) + "." + (bytes[offset + 2] & 0xff) + "."
                + (bytes[offset + 3] & 0xff);
    }

    /**
     * The 16 bytes at {@code offset} as an IPv6 address in the text form of RFC 5952: lower-case hexadecimal,
     * no leading zeros, the longest run of two or more zero groups (the first of equal runs) shortened to "::",
     * and IPv4-mapped addresses as {@code ::ffff:a.b.c.d}.
     */
    static String ipv6Address(byte[] bytes, int offset) {
        int[] groups = new int[8];
        for (int i = 0; i < 8; i++) {
            groups[i] = ((bytes[offset + 2 * i] & 0xff) << 8) | (bytes[offset + 2 * i + 1] & 0xff);
        }
        if (groups[0] == 0 && groups[1] == 0 && groups[2] == 0 && groups[3] == 0 && groups[4] == 0
                && groups[5] == 0xffff) {
            return "::ffff:" + ipv4Address(bytes, offset + 12);
        }
        int bestStart = -1;
        int bestLength = 1;
        for (int i = 0; i < 8; ) {
            if (groups[i] != 0) {
                i++;
                continue;
            }
            int runEnd = i;
            while (runEnd < 8 && groups[runEnd] == 0) {
                runEnd++;
            }
            if (runEnd - i > bestLength) {
                bestStart = i;
                bestLength = runEnd - i;
            }
            i = runEnd;
        }
        StringBuilder text = new StringBuilder(39);
        for (int i = 0; i < 8; i++) {
            if (i == bestStart) {
                text.append("::");
                i += bestLength - 1;
                continue;
            }
            if (i > 0 && i != bestStart + bestLength) {
                text.append(':');
            }
            text.append(Integer.toHexString(groups[i]));
        }
        return text.toString();
    }

    private static String hex8(int value) {
        return String.format("0x%02x", value);
    }

    private static String hex16(int value) {
        return String.format("0x%04x", value);
    }

    // ---- Bounds-checked access --------------------------------------------------------------------------------

    /** Whether {@code count} bytes from {@code offset} lie before {@code limit}. */
    private static boolean has(int offset, int count, int limit) {
        return offset >= 0 && count >= 0 && offset <= limit - count;
    }

    private int u8(int offset) {
        return frame[offset] & 0xff;
    }

    private int u16(int offset) {
        return ((frame[offset] & 0xff) << 8) | (frame[offset + 1] & 0xff);
    }
}
