package com.larkspire.vorel.console;

import com.larkspire.vorel.util.NativeCollection;
import java.io.PrintStream;
import java.math.BigDecimal;
import java.time.LocalTime;
import java.time.format.DateTimeFormatter;
import java.util.Locale;

/**
 * The capture console: what Network Vorel does with the tamsil library, on a command line. It lists the
 * adapters, starts a capture on the card given (or lets the library's console dialogue ask for one), and prints
 * one line per frame with a running count, the time, the frame's length and a decoded summary, until Ctrl+C or
 * a frame or time limit.
 *
 * <pre>
 * java -Djava.library.path=&lt;build&gt; -cp &lt;build&gt;/java-classes com.larkspire.vorel.console.CaptureConsole [options] [card]
 * </pre>
 *
 * <p>Ctrl+C is the library's: its console handler releases the capture and ends the process with 0, so no
 * summary line follows then. Exit codes: 0 done, 1 the library could not be loaded or the capture not started,
 * 2 a wrong command line.
 */
public final class CaptureConsole {

    /** The buffer that GetFrameFromDriver fills: the largest frame the driver's 16-bit length can state. */
    static final int BUFFER_LENGTH = 65535;

    private static final DateTimeFormatter TIME = DateTimeFormatter.ofPattern("HH:mm:ss.SSS", Locale.ROOT);

    private final NativeCollection library;
    private final PrintStream out;

    private CaptureConsole(NativeCollection library, PrintStream out) {
        this.library = library;
        this.out = out;
    }

    public static void main(String[] args) {
        ConsoleOptions options;
        try {
            options = ConsoleOptions.parse(args);
        } catch (IllegalArgumentException e) {
            System.err.println("CaptureConsole: " + e.getMessage());
            System.err.println("Try --help.");
            System.exit(2);
            return;
        }
        if (options.help()) {
            System.out.print(ConsoleOptions.USAGE);
            return;
        }
        NativeCollection library;
        try {
            library = new NativeCollection();
        } catch (UnsatisfiedLinkError e) {
            System.err.println("CaptureConsole: cannot load the tamsil library: " + e.getMessage());
            System.err.println("Give its directory with -Djava.library.path=<build directory>.");
            System.exit(1);
            return;
        }
        CaptureConsole console = new CaptureConsole(library, System.out);
        int status;
        try {
            status = options.list() ? console.listAdapters() : console.capture(options);
        } catch (UnsatisfiedLinkError e) {
            // A library built without one of NativeCollection's methods.
            System.err.println("CaptureConsole: the tamsil library lacks a native method: " + e.getMessage());
            status = 1;
        }
        System.out.flush();
        if (status != 0) {
            System.exit(status);
        }
    }

    /** Prints the adapters with their card numbers; 0 when the library could list them, 1 otherwise. */
    private int listAdapters() {
        int count = library.GetCardNumbers();
        if (count < 0) {
            System.err.println("CaptureConsole: the library could not list the adapters (GetCardNumbers gave " + count + ")");
            return 1;
        }
        if (count == 0) {
            out.println("No adapters found.");
            return 0;
        }
        out.println("Card  Adapter");
        for (int card = 1; card <= count; card++) {
            out.printf("%4d  %s%n", card, description(card));
        }
        return 0;
    }

    private int capture(ConsoleOptions options) {
        int card = options.driverCard();
        if (card > 0) {
            // The library ends the process (or picks its only adapter) for a number beyond the adapters; say so here.
            int count = library.GetCardNumbers();
            if (count > 0 && card > count) {
                System.err.printf("CaptureConsole: there is no card %d: this machine has %d adapter%s (see --list)%n",
                        card, count, count == 1 ? "" : "s");
                return 2;
            }
        }
        out.flush();
        int started = library.DriverStart(card);
        if (started != 0) {
            System.err.println("CaptureConsole: the capture could not be started on "
                    + (card > 0 ? "card " + card : "the chosen card") + " (DriverStart gave " + started + ")");
            return 1;
        }
        out.println("Capturing on " + chosenCard() + limits(options) + ". Ctrl+C ends it.");
        out.printf("%7s %-12s %7s  %s%n", "Frame", "Time", "Length", "Summary");

        CaptureSession session = CaptureSession.over(library);
        if (options.hasTimeLimit()) {
            session.releaseAfter(options.maxTime());
        }
        long startNanos = System.nanoTime();
        long frames = 0;
        long bytes = 0;
        long frameLimit = options.maxFrames().orElse(Long.MAX_VALUE);
        byte[] buffer = new byte[BUFFER_LENGTH];
        while (frames < frameLimit) {
            int length = session.nextFrame(buffer);
            if (length == CaptureSession.ENDED) {
                break;
            }
            if (length <= 0) {
                // Nothing delivered (an empty frame, or delivery stopped for a moment): not an end by itself.
                pauseBriefly();
                continue;
            }
            frames++;
            bytes += length;
            out.println(frameLine(frames, LocalTime.now(), length, buffer));
        }
        session.release();
        double seconds = (System.nanoTime() - startNanos) / 1e9;
        out.printf(Locale.ROOT, "%d frame%s, %d byte%s in %.3f s%n",
                frames, frames == 1 ? "" : "s", bytes, bytes == 1 ? "" : "s", seconds);
        return 0;
    }

    /**
     * One frame's line: running count, time, length and summary. A frame longer than the buffer has its length
     * marked with '*': only the buffer's length was copied and decoded.
     */
    static String frameLine(long count, LocalTime time, int length, byte[] buffer) {
        boolean truncated = length > buffer.length;
        String summary = FrameSummary.describe(buffer, Math.min(length, buffer.length));
        return String.format(Locale.ROOT, "%7d %s %6d%s  %s", count, TIME.format(time), length, truncated ? "*" : " ", summary);
    }

    private String chosenCard() {
        int card = library.GetCardNumber();
        int count = library.GetCardNumbers();
        if (card >= 1 && card <= count) {
            return "card " + card + " (" + description(card) + ")";
        }
        return "card " + card;
    }

    private String description(int card) {
        String description = library.GetCardDescription(card - 1);
        return description == null || description.isEmpty() ? "no description" : description;
    }

    private static String limits(ConsoleOptions options) {
        StringBuilder text = new StringBuilder();
        options.maxFrames().ifPresent(n -> text.append(n).append(n == 1 ? " frame" : " frames"));
        if (options.hasTimeLimit()) {
            text.append(text.length() > 0 ? " or " : "").append(seconds(options)).append(" s");
        }
        return text.length() == 0 ? "" : ", until " + text;
    }

    private static String seconds(ConsoleOptions options) {
        return BigDecimal.valueOf(options.maxTime().toMillis(), 3).stripTrailingZeros().toPlainString();
    }

    private static void pauseBriefly() {
        try {
            Thread.sleep(10);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }
}
