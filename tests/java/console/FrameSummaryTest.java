package com.larkspire.vorel.console;

import static com.larkspire.vorel.console.Frames.BROADCAST;
import static com.larkspire.vorel.console.Frames.MAC_A;
import static com.larkspire.vorel.console.Frames.MAC_B;
import static com.larkspire.vorel.console.Frames.arp;
import static com.larkspire.vorel.console.Frames.bytes;
import static com.larkspire.vorel.console.Frames.concat;
import static com.larkspire.vorel.console.Frames.ethernet;
import static com.larkspire.vorel.console.Frames.icmp;
import static com.larkspire.vorel.console.Frames.ipv4;
import static com.larkspire.vorel.console.Frames.ipv6;
import static com.larkspire.vorel.console.Frames.padded;
import static com.larkspire.vorel.console.Frames.tcp;
import static com.larkspire.vorel.console.Frames.udp;
import static com.larkspire.vorel.console.Frames.vlan;
import static com.larkspire.vorel.console.Frames.with;

import java.util.Arrays;
import java.util.List;
import java.util.Random;

/**
 * The capture console's frame decoder, without the library: exact summaries for each kind of frame, and a summary
 * (never an exception) for truncated, bogus and random bytes.
 */
public final class FrameSummaryTest {

    private record Case(String name, byte[] frame, String expected) {
    }

    // Frames used by several cases. Offsets: Ethernet header 14, IPv4 header 14..33, IPv6 header 14..53.
    private static final byte[] UDP4 = padded(ethernet(MAC_B, MAC_A, 0x0800,
            ipv4(17, "192.168.1.10", "192.168.1.20", udp(53, 40000, 12))));
    private static final byte[] TCP4 = ethernet(MAC_B, MAC_A, 0x0800, ipv4(6, "10.0.0.1", "10.0.0.2", tcp(51000, 443, 0x18, 100)));
    private static final byte[] UDP6 = ethernet("33:33:00:00:00:fb", MAC_A, 0x86dd,
            ipv6(17, "2001:db8::1", "ff02::fb", udp(5353, 5353, 10)));
    private static final byte[] ARP_REQUEST = padded(ethernet(BROADCAST, MAC_A, 0x0806,
            arp(1, MAC_A, "10.0.0.1", "00:00:00:00:00:00", "10.0.0.2")));
    private static final byte[] ARP_REPLY = padded(ethernet(MAC_A, MAC_B, 0x0806, arp(2, MAC_B, "10.0.0.2", MAC_A, "10.0.0.1")));
    private static final byte[] PING = ethernet(MAC_B, MAC_A, 0x0800, ipv4(1, "10.0.0.1", "10.0.0.2", icmp(8, 0, 0x1234, 1)));
    private static final byte[] PING6 = ethernet(MAC_B, MAC_A, 0x86dd, ipv6(58, "fe80::1", "fe80::2", icmp(128, 0, 1, 2)));
    private static final byte[] VLAN_UDP4 = ethernet(MAC_B, MAC_A, 0x8100,
            vlan(10, 0x0800, ipv4(17, "10.0.0.1", "10.0.0.2", udp(1234, 5678, 0))));
    private static final byte[] QINQ_ARP = padded(ethernet(BROADCAST, MAC_A, 0x88a8,
            vlan(100, 0x8100, vlan(10, 0x0806, arp(1, MAC_A, "10.0.0.1", "00:00:00:00:00:00", "10.0.0.2")))));
    private static final byte[] SMALL_UDP4 = padded(ethernet(MAC_B, MAC_A, 0x0800, ipv4(17, "10.0.0.1", "10.0.0.2", udp(53, 40000, 0))));
    private static final byte[] SMALL_TCP4 = padded(ethernet(MAC_B, MAC_A, 0x0800, ipv4(6, "10.0.0.1", "10.0.0.2", tcp(51000, 443, 0x12, 0))));
    private static final byte[] ARP_REQUEST_BODY = arp(1, MAC_A, "10.0.0.1", "00:00:00:00:00:00", "10.0.0.2");
    private static final byte[] TCP6 = ethernet(MAC_B, MAC_A, 0x86dd, ipv6(6, "2001:db8::1", "2001:db8::2", tcp(40000, 22, 0x10, 0)));

    private static final List<byte[]> SAMPLES = List.of(UDP4, TCP4, UDP6, ARP_REQUEST, ARP_REPLY, PING, PING6, VLAN_UDP4,
            QINQ_ARP, SMALL_UDP4, SMALL_TCP4, TCP6);

    private static List<Case> wellFormed() {
        return List.of(
                new Case("IPv4 UDP", UDP4, "IPv4 UDP 192.168.1.10:53 -> 192.168.1.20:40000 len=12"),
                new Case("IPv4 TCP PSH,ACK with data", TCP4, "IPv4 TCP 10.0.0.1:51000 -> 10.0.0.2:443 [PSH,ACK] len=100"),
                new Case("IPv4 TCP SYN,ACK, padded frame", SMALL_TCP4, "IPv4 TCP 10.0.0.1:51000 -> 10.0.0.2:443 [SYN,ACK] len=0"),
                new Case("IPv4 TCP SYN", with(SMALL_TCP4, 47, 0x02), "IPv4 TCP 10.0.0.1:51000 -> 10.0.0.2:443 [SYN] len=0"),
                new Case("IPv4 TCP FIN,PSH,ACK", with(SMALL_TCP4, 47, 0x19), "IPv4 TCP 10.0.0.1:51000 -> 10.0.0.2:443 [FIN,PSH,ACK] len=0"),
                new Case("IPv4 TCP RST", with(SMALL_TCP4, 47, 0x04), "IPv4 TCP 10.0.0.1:51000 -> 10.0.0.2:443 [RST] len=0"),
                new Case("IPv4 TCP no flags", with(SMALL_TCP4, 47, 0x00), "IPv4 TCP 10.0.0.1:51000 -> 10.0.0.2:443 [none] len=0"),
                new Case("IPv4 TCP every flag", with(SMALL_TCP4, 47, 0xff),
                        "IPv4 TCP 10.0.0.1:51000 -> 10.0.0.2:443 [FIN,SYN,RST,PSH,ACK,URG,ECE,CWR] len=0"),
                new Case("IPv4 TCP with options", ethernet(MAC_B, MAC_A, 0x0800, ipv4(6, "10.0.0.1", "10.0.0.2",
                        concat(with(tcp(51000, 443, 0x02, 0), 12, 0xa0), new byte[20]))),
                        "IPv4 TCP 10.0.0.1:51000 -> 10.0.0.2:443 [SYN] len=0"),
                new Case("IPv6 UDP", UDP6, "IPv6 UDP [2001:db8::1]:5353 -> [ff02::fb]:5353 len=10"),
                new Case("IPv6 TCP", TCP6, "IPv6 TCP [2001:db8::1]:40000 -> [2001:db8::2]:22 [ACK] len=0"),
                new Case("ARP request", ARP_REQUEST, "ARP request who-has 10.0.0.2 tell 10.0.0.1"),
                new Case("ARP reply", ARP_REPLY, "ARP reply 10.0.0.2 is-at 02:00:00:00:00:02"),
                new Case("ARP, not Ethernet and IPv4", padded(ethernet(BROADCAST, MAC_A, 0x0806, with(ARP_REQUEST_BODY, 0, 0, 6))),
                        "ARP request (htype 6, ptype 0x0800)"),
                new Case("ARP unknown opcode", padded(ethernet(BROADCAST, MAC_A, 0x0806, with(ARP_REQUEST_BODY, 6, 0, 9))),
                        "ARP opcode 9 10.0.0.1 -> 10.0.0.2"),
                new Case("RARP request", padded(ethernet(BROADCAST, MAC_A, 0x8035, arp(3, MAC_A, "0.0.0.0", MAC_A, "0.0.0.0"))),
                        "RARP reverse request who-is 02:00:00:00:00:01 tell 02:00:00:00:00:01"),
                new Case("ICMP echo request", PING, "IPv4 ICMP 10.0.0.1 -> 10.0.0.2 echo request id=4660 seq=1"),
                new Case("ICMP echo reply", ethernet(MAC_A, MAC_B, 0x0800, ipv4(1, "10.0.0.2", "10.0.0.1", icmp(0, 0, 0x1234, 1))),
                        "IPv4 ICMP 10.0.0.2 -> 10.0.0.1 echo reply id=4660 seq=1"),
                new Case("ICMP port unreachable", ethernet(MAC_A, MAC_B, 0x0800, ipv4(1, "10.0.0.2", "10.0.0.1", icmp(3, 3, 0, 0))),
                        "IPv4 ICMP 10.0.0.2 -> 10.0.0.1 destination unreachable code 3"),
                new Case("ICMP time exceeded", ethernet(MAC_A, MAC_B, 0x0800, ipv4(1, "10.0.0.254", "10.0.0.1", icmp(11, 0, 0, 0))),
                        "IPv4 ICMP 10.0.0.254 -> 10.0.0.1 time exceeded"),
                new Case("ICMP unknown type", ethernet(MAC_A, MAC_B, 0x0800, ipv4(1, "10.0.0.2", "10.0.0.1", icmp(42, 1, 0, 0))),
                        "IPv4 ICMP 10.0.0.2 -> 10.0.0.1 type 42 code 1"),
                new Case("ICMPv6 echo request", PING6, "IPv6 ICMPv6 fe80::1 -> fe80::2 echo request id=1 seq=2"),
                new Case("ICMPv6 neighbor solicitation", ethernet("33:33:ff:00:00:02", MAC_A, 0x86dd,
                        ipv6(58, "fe80::1", "ff02::1:ff00:2", icmp(135, 0, 0, 0))),
                        "IPv6 ICMPv6 fe80::1 -> ff02::1:ff00:2 neighbor solicitation"),
                new Case("ICMPv6 after hop-by-hop: MLDv2 report", ethernet("33:33:00:00:00:16", MAC_A, 0x86dd,
                        ipv6(0, "fe80::1", "ff02::16", concat(bytes(58, 0, 5, 2, 0, 0, 1, 0), icmp(143, 0, 0, 0)))),
                        "IPv6 ICMPv6 fe80::1 -> ff02::16 multicast listener report v2"),
                new Case("802.1Q VLAN", VLAN_UDP4, "VLAN 10 IPv4 UDP 10.0.0.1:1234 -> 10.0.0.2:5678 len=0"),
                new Case("802.1Q VLAN with priority", with(VLAN_UDP4, 14, 0xa0, 0x0a), "VLAN 10 IPv4 UDP 10.0.0.1:1234 -> 10.0.0.2:5678 len=0"),
                new Case("802.1ad double tag", QINQ_ARP, "VLAN 100 VLAN 10 ARP request who-has 10.0.0.2 tell 10.0.0.1"),
                new Case("LLDP", padded(ethernet("01:80:c2:00:00:0e", MAC_A, 0x88cc, new byte[20])),
                        "LLDP 02:00:00:00:00:01 -> 01:80:c2:00:00:0e"),
                new Case("unknown ethertype", padded(ethernet(BROADCAST, MAC_A, 0x88b5, new byte[4])),
                        "ethertype 0x88b5 02:00:00:00:00:01 -> ff:ff:ff:ff:ff:ff"),
                new Case("802.3 with STP", padded(ethernet("01:80:c2:00:00:00", MAC_A, 38, bytes(0x42, 0x42, 0x03))),
                        "802.3 02:00:00:00:00:01 -> 01:80:c2:00:00:00 LLC dsap=0x42 ssap=0x42 STP"),
                new Case("802.3 with SNAP", padded(ethernet("01:00:0c:cc:cc:cc", MAC_A, 40, bytes(0xaa, 0xaa, 0x03, 0, 0, 0x0c, 0x20, 0))),
                        "802.3 02:00:00:00:00:01 -> 01:00:0c:cc:cc:cc LLC dsap=0xaa ssap=0xaa SNAP oui=0x00000c type=0x2000"),
                new Case("IPv4 first fragment", with(UDP4, 20, 0x20, 0x00), "IPv4 UDP 192.168.1.10:53 -> 192.168.1.20:40000 len=12"),
                new Case("IPv4 later fragment", with(UDP4, 20, 0x00, 0xb9), "IPv4 UDP 192.168.1.10 -> 192.168.1.20 fragment offset=1480"),
                new Case("IPv4 IGMP", padded(ethernet("01:00:5e:00:00:01", MAC_A, 0x0800, ipv4(2, "10.0.0.1", "224.0.0.1", new byte[8]))),
                        "IPv4 IGMP 10.0.0.1 -> 224.0.0.1"),
                new Case("IPv4 unknown protocol", padded(ethernet(MAC_B, MAC_A, 0x0800, ipv4(253, "10.0.0.1", "10.0.0.2", new byte[8]))),
                        "IPv4 proto 253 10.0.0.1 -> 10.0.0.2"),
                new Case("IPv4 total length 0 (segmentation offload)", with(TCP4, 16, 0, 0),
                        "IPv4 TCP 10.0.0.1:51000 -> 10.0.0.2:443 [PSH,ACK] len=100"),
                new Case("IPv4 frame cut short of its total length", Arrays.copyOf(TCP4, 60),
                        "IPv4 TCP 10.0.0.1:51000 -> 10.0.0.2:443 [PSH,ACK] len=100"),
                new Case("IPv6 later fragment", ethernet(MAC_B, MAC_A, 0x86dd, ipv6(44, "2001:db8::1", "2001:db8::2",
                        concat(bytes(17, 0, 0x05, 0xc8, 0, 0, 0, 1), new byte[16]))),
                        "IPv6 UDP 2001:db8::1 -> 2001:db8::2 fragment offset=1480"),
                new Case("IPv6 first fragment", ethernet(MAC_B, MAC_A, 0x86dd, ipv6(44, "2001:db8::1", "2001:db8::2",
                        concat(bytes(17, 0, 0x00, 0x01, 0, 0, 0, 1), udp(1000, 2000, 4)))),
                        "IPv6 UDP [2001:db8::1]:1000 -> [2001:db8::2]:2000 len=4"),
                new Case("IPv6 ESP", ethernet(MAC_B, MAC_A, 0x86dd, ipv6(50, "2001:db8::1", "2001:db8::2", new byte[16])),
                        "IPv6 ESP 2001:db8::1 -> 2001:db8::2"),
                new Case("IPv6 no next header", ethernet(MAC_B, MAC_A, 0x86dd, ipv6(59, "2001:db8::1", "2001:db8::2", new byte[0])),
                        "IPv6 no-next-header 2001:db8::1 -> 2001:db8::2"),
                new Case("IPv6 IPv4-mapped addresses", ethernet(MAC_B, MAC_A, 0x86dd, ipv6(17, "::ffff:192.0.2.1", "::ffff:192.0.2.2", udp(1, 2, 0))),
                        "IPv6 UDP [::ffff:192.0.2.1]:1 -> [::ffff:192.0.2.2]:2 len=0"));
    }

    private static List<Case> bogus() {
        byte[] hopByHop = ethernet(MAC_B, MAC_A, 0x86dd, ipv6(0, "2001:db8::1", "2001:db8::2", concat(bytes(17, 200), new byte[14])));
        byte[] manyTags = ethernet(MAC_B, MAC_A, 0x8100, concat(vlan(1, 0x8100, vlan(2, 0x8100, vlan(3, 0x8100, vlan(4, 0x8100,
                vlan(5, 0x8100, vlan(6, 0x8100, vlan(7, 0x8100, vlan(8, 0x8100, vlan(9, 0x0800, new byte[40])))))))))));
        byte[] manyHeaders = ethernet(MAC_B, MAC_A, 0x86dd, ipv6(60, "2001:db8::1", "2001:db8::2", new byte[80]));
        for (int i = 0; i < 10; i++) {
            manyHeaders[54 + 8 * i] = 60;
        }
        return List.of(
                new Case("IPv4 type with version 6", with(UDP4, 14, 0x65), "IPv4 [bad version 6]"),
                new Case("IPv4 header length 16", with(UDP4, 14, 0x44),
                        "IPv4 UDP 192.168.1.10 -> 192.168.1.20 [bad header length 16]"),
                new Case("IPv4 header length 60 beyond the total length", with(SMALL_UDP4, 14, 0x4f),
                        "IPv4 UDP 10.0.0.1 -> 10.0.0.2 [bad total length 28]"),
                new Case("IPv4 header length 60 beyond the frame", with(with(SMALL_UDP4, 14, 0x4f), 16, 0xff, 0xff),
                        "IPv4 UDP 10.0.0.1 -> 10.0.0.2 [truncated]"),
                new Case("IPv4 total length below the header", with(UDP4, 16, 0, 10),
                        "IPv4 UDP 192.168.1.10 -> 192.168.1.20 [bad total length 10]"),
                new Case("IPv4 total length cutting the UDP header", with(UDP4, 16, 0, 24),
                        "IPv4 UDP 192.168.1.10 -> 192.168.1.20 [truncated]"),
                new Case("IPv4 total length 65535 in a short frame", with(UDP4, 16, 0xff, 0xff),
                        "IPv4 UDP 192.168.1.10:53 -> 192.168.1.20:40000 len=12"),
                new Case("UDP length 4", with(UDP4, 38, 0, 4), "IPv4 UDP 192.168.1.10:53 -> 192.168.1.20:40000 [bad length 4]"),
                new Case("UDP length 65535", with(UDP4, 38, 0xff, 0xff), "IPv4 UDP 192.168.1.10:53 -> 192.168.1.20:40000 len=65527"),
                new Case("TCP data offset 4", with(SMALL_TCP4, 46, 0x10),
                        "IPv4 TCP 10.0.0.1:51000 -> 10.0.0.2:443 [SYN,ACK] [bad data offset 4]"),
                new Case("TCP data offset 60 in a 20-byte segment", with(SMALL_TCP4, 46, 0xf0),
                        "IPv4 TCP 10.0.0.1:51000 -> 10.0.0.2:443 [SYN,ACK] [bad length 20]"),
                new Case("IPv6 type with version 4", with(UDP6, 14, 0x45), "IPv6 [bad version 4]"),
                new Case("IPv6 extension header longer than the payload", hopByHop,
                        "IPv6 hop-by-hop 2001:db8::1 -> 2001:db8::2 [bad payload length 16]"),
                new Case("IPv6 payload length cutting an extension header", with(hopByHop, 18, 0, 4),
                        "IPv6 hop-by-hop 2001:db8::1 -> 2001:db8::2 [bad payload length 4]"),
                new Case("IPv6 payload length below the UDP header", with(UDP6, 18, 0, 4),
                        "IPv6 UDP 2001:db8::1 -> ff02::fb [truncated]"),
                new Case("IPv6 payload length 0 (jumbogram or offload)", with(UDP6, 18, 0, 0),
                        "IPv6 UDP [2001:db8::1]:5353 -> [ff02::fb]:5353 len=10"),
                new Case("IPv6 more than eight extension headers", manyHeaders,
                        "IPv6 destination-options 2001:db8::1 -> 2001:db8::2 [too many extension headers]"),
                new Case("nine VLAN tags", manyTags,
                        "VLAN 1 VLAN 2 VLAN 3 VLAN 4 VLAN 5 VLAN 6 VLAN 7 VLAN 8 [too many VLAN tags]"),
                new Case("ethertype 1501..1535", padded(ethernet(BROADCAST, MAC_A, 1501, new byte[0])),
                        "ethertype 0x05dd 02:00:00:00:00:01 -> ff:ff:ff:ff:ff:ff"));
    }

    private static List<Case> truncated() {
        return List.of(
                new Case("no bytes", new byte[0], "[empty]"),
                new Case("1 byte", new byte[1], "Ethernet [truncated]"),
                new Case("13 bytes", Arrays.copyOf(UDP4, 13), "Ethernet [truncated]"),
                new Case("Ethernet header only", Arrays.copyOf(UDP4, 14), "IPv4 [truncated]"),
                new Case("IPv4 header less a byte", Arrays.copyOf(UDP4, 33), "IPv4 [truncated]"),
                new Case("IPv4 header, no UDP", Arrays.copyOf(UDP4, 34), "IPv4 UDP 192.168.1.10 -> 192.168.1.20 [truncated]"),
                new Case("UDP header less a byte", Arrays.copyOf(UDP4, 41), "IPv4 UDP 192.168.1.10 -> 192.168.1.20 [truncated]"),
                new Case("UDP header, no data", Arrays.copyOf(UDP4, 42), "IPv4 UDP 192.168.1.10:53 -> 192.168.1.20:40000 len=12"),
                new Case("TCP header less a byte", Arrays.copyOf(TCP4, 53), "IPv4 TCP 10.0.0.1 -> 10.0.0.2 [truncated]"),
                new Case("TCP header, no data", Arrays.copyOf(TCP4, 54), "IPv4 TCP 10.0.0.1:51000 -> 10.0.0.2:443 [PSH,ACK] len=100"),
                new Case("ARP fixed part only", Arrays.copyOf(ARP_REQUEST, 22), "ARP request [truncated]"),
                new Case("ARP less than its fixed part", Arrays.copyOf(ARP_REQUEST, 21), "ARP [truncated]"),
                new Case("ARP addresses less a byte", Arrays.copyOf(ARP_REQUEST, 41), "ARP request [truncated]"),
                new Case("VLAN tag less a byte", Arrays.copyOf(VLAN_UDP4, 17), "VLAN [truncated]"),
                new Case("VLAN tag only", Arrays.copyOf(VLAN_UDP4, 18), "VLAN 10 IPv4 [truncated]"),
                new Case("IPv6 header less a byte", Arrays.copyOf(UDP6, 53), "IPv6 [truncated]"),
                new Case("IPv6 header, no UDP", Arrays.copyOf(UDP6, 54), "IPv6 UDP 2001:db8::1 -> ff02::fb [truncated]"),
                new Case("ICMP cut inside type and code", Arrays.copyOf(PING, 36), "IPv4 ICMP 10.0.0.1 -> 10.0.0.2 [truncated]"),
                new Case("ICMP echo without id and sequence", Arrays.copyOf(PING, 38),
                        "IPv4 ICMP 10.0.0.1 -> 10.0.0.2 echo request [truncated]"),
                new Case("802.3 without LLC", Arrays.copyOf(padded(ethernet(BROADCAST, MAC_A, 38, bytes(0x42, 0x42, 3))), 16),
                        "802.3 02:00:00:00:00:01 -> ff:ff:ff:ff:ff:ff [truncated]"),
                new Case("IPv6 extension header cut", Arrays.copyOf(ethernet(MAC_B, MAC_A, 0x86dd,
                        ipv6(0, "fe80::1", "ff02::16", concat(bytes(58, 0, 5, 2, 0, 0, 1, 0), icmp(143, 0, 0, 0)))), 60),
                        "IPv6 hop-by-hop fe80::1 -> ff02::16 [truncated]"));
    }

    private static void ipv6Text(Checks checks) {
        String[][] cases = {
                {"::", "::"},
                {"::1", "::1"},
                {"1::", "1::"},
                {"2001:DB8::1", "2001:db8::1"},
                {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
                {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},
                {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},
                {"fe80:0000:0000:0000:0abc:00de:f012:0001", "fe80::abc:de:f012:1"},
                {"::ffff:192.0.2.1", "::ffff:192.0.2.1"},
                {"::192.0.2.1", "::c000:201"},
        };
        for (String[] c : cases) {
            checks.equal("IPv6 text of " + c[0], c[1], FrameSummary.ipv6Address(Frames.address(c[0]), 0));
        }
    }

    /** Every prefix of every sample, passed both as a shorter array and as a length: a summary, the same one. */
    private static void prefixes(Checks checks) {
        for (int s = 0; s < SAMPLES.size(); s++) {
            byte[] frame = SAMPLES.get(s);
            for (int length = 0; length <= Math.max(60, frame.length); length++) {
                int n = Math.min(length, frame.length);
                String name = "sample " + s + " cut to " + length + " bytes";
                checks.noThrow(name, () -> {
                    String byLength = FrameSummary.describe(frame, n);
                    String byArray = FrameSummary.describe(Arrays.copyOf(frame, n));
                    if (byLength.isEmpty() || !byLength.equals(byArray)) {
                        throw new AssertionError("'" + byLength + "' against '" + byArray + "'");
                    }
                });
            }
        }
        checks.equal("length beyond the array", FrameSummary.describe(UDP4), FrameSummary.describe(UDP4, 100_000));
        checks.equal("negative length", "[empty]", FrameSummary.describe(UDP4, -5));
        checks.equal("length of Integer.MIN_VALUE", "[empty]", FrameSummary.describe(UDP4, Integer.MIN_VALUE));
    }

    /** Random damage to the samples and random bytes behind known Ethernet types: always a summary. */
    private static void fuzz(Checks checks) {
        Random random = new Random(20261207L);
        int[] types = {0x0800, 0x86dd, 0x0806, 0x8035, 0x8100, 0x88a8, 38, 0x88cc};
        int rounds = 200_000;
        String failure = null;
        for (int round = 0; round < rounds && failure == null; round++) {
            byte[] frame;
            if (round % 2 == 0) {
                byte[] sample = SAMPLES.get(random.nextInt(SAMPLES.size()));
                frame = Arrays.copyOf(sample, random.nextInt(sample.length + 8));
                for (int hits = 1 + random.nextInt(6); hits > 0 && frame.length > 0; hits--) {
                    frame[random.nextInt(frame.length)] = (byte) random.nextInt(256);
                }
            } else {
                frame = new byte[random.nextInt(140)];
                random.nextBytes(frame);
                if (frame.length >= 14) {
                    int type = types[random.nextInt(types.length)];
                    frame[12] = (byte) (type >>> 8);
                    frame[13] = (byte) type;
                }
            }
            try {
                String summary = FrameSummary.describe(frame, random.nextInt(frame.length + 4) - 2);
                if (summary.isEmpty()) {
                    failure = "empty summary for " + hex(frame);
                }
            } catch (RuntimeException | Error e) {
                failure = e + " for " + hex(frame);
            }
        }
        checks.isTrue("fuzz: " + rounds + " damaged or random frames", failure == null, failure);
    }

    private static String hex(byte[] bytes) {
        StringBuilder text = new StringBuilder();
        for (byte b : bytes) {
            text.append(String.format("%02x", b & 0xff));
        }
        return text.toString();
    }

    public static void main(String[] args) {
        Checks checks = new Checks();
        for (List<Case> table : List.of(wellFormed(), bogus(), truncated())) {
            for (Case c : table) {
                String actual;
                try {
                    actual = FrameSummary.describe(c.frame());
                } catch (RuntimeException | Error e) {
                    actual = "threw " + e;
                }
                checks.equal(c.name(), c.expected(), actual);
            }
        }
        ipv6Text(checks);
        prefixes(checks);
        fuzz(checks);
        checks.finish();
    }
}
