package vorel.tests;

import com.larkspire.vorel.util.NativeCollection;
import java.nio.charset.StandardCharsets;

/**
 * Live capture on the only adapter: counts the UDP datagrams "vorel-NNNNNN" sent to port 9999 and checks that
 * each arrives exactly once and in order. Argument: how many are sent. A watchdog releases the capture after
 * 30 seconds so that a lost datagram fails the test instead of hanging it.
 */
public final class LiveCaptureTest {
    public static void main(String[] args) throws Exception {
        int expected = Integer.parseInt(args[0]);
        NativeCollection nc = new NativeCollection();
        Check.equal(0, nc.DriverStart(1), "start on the veth end");
        Thread watchdog = new Thread(() -> {
            try {
                Thread.sleep(30000);
                System.out.println("== watchdog released the capture");
                nc.DriverStop();
                nc.FreeOnExit();
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        });
        watchdog.setDaemon(true);
        watchdog.start();
        System.out.println("== ready");

        byte[] frame = new byte[65535];
        int received = 0;
        int last = 0;
        int outOfOrder = 0;
        while (received < expected) {
            int length = nc.GetFrameFromDriver(frame, frame.length);
            if (length == 0) {
                if (!watchdog.isAlive()) {
                    break;
                }
                continue;
            }
            int number = datagramNumber(frame, Math.min(length, frame.length));
            if (number < 0) {
                continue;
            }
            if (number != last + 1) {
                outOfOrder++;
            }
            last = number;
            received++;
        }
        Check.equal(expected, received, "datagrams received");
        Check.equal(0, outOfOrder, "datagrams out of order, missing or repeated");
        watchdog.interrupt();
        nc.FreeOnExit();
        Check.finish();
    }

    /** The number of an IPv4/UDP frame to port 9999 carrying "vorel-NNNNNN", or -1 for any other frame. */
    static int datagramNumber(byte[] f, int length) {
        if (length < 14 + 20 + 8 + 12 || f[12] != 0x08 || f[13] != 0x00 || f[23] != 17) {
            return -1;
        }
        int ipHeader = (f[14] & 0x0f) * 4;
        int udp = 14 + ipHeader;
        int port = ((f[udp + 2] & 0xff) << 8) | (f[udp + 3] & 0xff);
        if (port != 9999 || udp + 8 + 12 > length) {
            return -1;
        }
        String payload = new String(f, udp + 8, 12, StandardCharsets.US_ASCII);
        return payload.startsWith("vorel-") ? Integer.parseInt(payload.substring(6)) : -1;
    }
}
