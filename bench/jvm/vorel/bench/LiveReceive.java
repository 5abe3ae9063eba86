package vorel.bench;

import com.larkspire.vorel.util.NativeCollection;
import java.util.concurrent.atomic.AtomicLong;

/**
 * The Java end of the live benchmark: captures on card 1 and counts the UDP datagrams to the benchmark's port
 * until the traffic has been quiet for 1.5 s (or 120 s have passed), then prints
 * "java <frames> <seconds from the first to the last frame>".
 */
public final class LiveReceive {
    public static void main(String[] args) throws Exception {
        int port = Integer.parseInt(args[0]);
        NativeCollection nc = new NativeCollection();
        if (nc.DriverStart(1) != 0) {
            throw new IllegalStateException("DriverStart failed");
        }
        AtomicLong counted = new AtomicLong();
        AtomicLong firstNs = new AtomicLong();
        AtomicLong lastNs = new AtomicLong();
        Thread watcher = new Thread(() -> {
            long seen = -1;
            long deadline = System.nanoTime() + 120_000_000_000L;
            try {
                System.out.println("ready");
                while (System.nanoTime() < deadline) {
                    Thread.sleep(1500);
                    long now = counted.get();
                    if (now > 0 && now == seen) {
                        break;
                    }
                    seen = now;
                }
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
            nc.DriverStop();
            nc.FreeOnExit();
        });
        watcher.start();
        byte[] frame = new byte[65535];
        while (watcher.isAlive()) {
            int length = nc.GetFrameFromDriver(frame, frame.length);
            if (length >= 42 && frame[12] == 0x08 && frame[13] == 0x00 && frame[23] == 17) {
                int udp = 14 + (frame[14] & 0x0f) * 4;
                if ((((frame[udp + 2] & 0xff) << 8) | (frame[udp + 3] & 0xff)) == port) {
                    long now = System.nanoTime();
                    if (counted.getAndIncrement() == 0) {
                        firstNs.set(now);
                    }
                    lastNs.set(now);
                }
            }
        }
        watcher.join();
        System.out.printf("java %d %.3f%n", counted.get(), (lastNs.get() - firstNs.get()) / 1e9);
    }
}
