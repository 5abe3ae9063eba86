package vorel.tests;

import com.larkspire.vorel.util.NativeCollection;

/**
 * Starts on the registry path (Windows NT 4.0, or card -2 on later versions) through the JVM: a card whose
 * device does not open, then a card whose device replays a capture file, with the promiscuous request refused.
 * The expected output holds the UTF-16 descriptions as the console shows them. Arguments: the capture file to
 * write, the card number of the start that fails, the card number of the start that works.
 */
public final class RegistryStartTest {
    public static void main(String[] args) throws Exception {
        CaptureReplayTest.writeCapture(args[0]);
        NativeCollection nc = new NativeCollection();
        Check.equal(-1, nc.DriverStart(Integer.parseInt(args[1])), "a card whose device does not open");
        Check.equal(2, nc.GetCardNumbers(), "exported devices (the registry path, also for card -2)");
        System.out.println("== open failed");
        Check.equal(0, nc.DriverStart(Integer.parseInt(args[2])), "a card with a device, promiscuous mode refused");
        System.out.println("== started");
        for (int n = 0; n < 10; n++) {
            CaptureReplayTest.expectFrame(nc, n);
        }
        nc.FreeOnExit();
        System.out.println("== released");
        Check.finish();
    }
}
