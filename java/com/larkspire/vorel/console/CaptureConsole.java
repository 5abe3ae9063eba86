package com.larkspire.vorel.console;

import com.larkspire.vorel.util.NativeCollection;
import java.io.IOException;
import java.io.PrintStream;
import java.math.BigDecimal;
import java.nio.file.AccessDeniedException;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.FileSystemException;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.time.Instant;
import java.time.LocalTime;
import java.time.ZoneId;
import java.time.format.DateTimeFormatter;
import java.util.Locale;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicReference;
import java.util.function.BooleanSupplier;
import java.util.function.LongSupplier;

/**
 * The capture console: what Network Vorel does with the tamsil library, on a command line. It lists the
 * adapters, starts a capture on the card given (or lets the library's console dialogue ask for one), and prints
 * one line per frame with a running count, the time, the frame's length and a decoded summary, until Ctrl+C or
 * a frame or time limit. With --write it also saves the frames as a pcapng file; with --replay a capture file
 * stands for the chosen adapter.
 *
 * <pre>
 * java -Djava.library.path=&lt;build&gt; -cp &lt;build&gt;/java-classes com.larkspire.vorel.console.CaptureConsole [options] [card]
 * </pre>
 *
 * <p>Ctrl+C is the library's: its console handler releases the capture and ends the process with 0, so no
 * summary line follows then. While frames are being saved the console takes Ctrl+C itself, so that every frame
 * it printed is in the file: it ends the run as a limit does. SIGTERM and SIGHUP always end the run so. Exit
 * codes: 0 done, 1 the library could not be loaded, the capture not started, the file to replay is unusable or
 * frames could not be saved, 2 a wrong command line or a file to write that cannot be created.
 */
public final class CaptureConsole {

    /** The buffer that GetFrameFromDriver fills: the largest frame the driver's 16-bit length can state. */
    static final int BUFFER_LENGTH = 65535;

    private static final DateTimeFormatter TIME = DateTimeFormatter.ofPattern("HH:mm:ss.SSS", Locale.ROOT);

    /** How often waiting frames are handed to the file's writer on a quiet network. */
    private static final long HAND_OVER_PERIOD_MS = 50;
    /** How often a second JVM looks whether the first one is still there. */
    private static final long PARENT_WATCH_MS = 200;
    /**
     * How long a run told to end may go without progress (frames out to the file, lines out to the console)
     * before the JVM ends without it. A writer that still serves a slow reader is not cut off.
     */
    private static final long END_LIMIT_MS = Long.getLong("com.larkspire.vorel.console.endLimitMs", 60_000);
    private static final AtomicBoolean END_WATCHED = new AtomicBoolean();
    /** The run's progress, for that limit: a count that grows while the run's output goes out. */
    private static volatile LongSupplier progress = () -> 0;

    /** What ends the run from outside (a signal, the first JVM's end): the release once a capture runs. */
    private static final AtomicReference<Runnable> END = new AtomicReference<>(() -> Runtime.getRuntime().halt(1));

    /** How long the capture's lines may go without progress at the end before the output counts as stuck. */
    private static final long OUTPUT_GRACE_MS = 2_000;

    private final NativeCollection library;
    private final PrintStream out;
    private boolean outputStuck;  // lines are left that the output did not take: writing to it would wait too

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
        if (options.replay().isPresent()) {
            Path file = options.replay().get();
            String problem = ReplayFile.problem(file);
            if (problem == null) {
                problem = SecondConsole.nameProblem(file);
            }
            if (problem != null) {
                System.err.println("CaptureConsole: cannot replay " + file + ": " + problem);
                System.exit(1);
                return;
            }
            if (options.write().isPresent() && sameFile(options.write().get(), file)) {
                System.err.println("CaptureConsole: --write would overwrite the file being replayed, " + file);
                System.exit(2);
                return;
            }
        }
        if (options.writesToStandardOutput() && System.getProperty(SecondConsole.STANDARD_OUTPUT_PROPERTY) == null) {
            String problem = SecondConsole.standardOutputProblem();
            if (problem != null) {
                System.err.println("CaptureConsole: --write - writes the capture to standard output, but " + problem);
                System.exit(1);
                return;
            }
        }
        if (SecondConsole.needed(options)) {
            int status;
            try {
                status = SecondConsole.run(options, args);
            } catch (IOException | InterruptedException e) {
                System.err.println("CaptureConsole: cannot start the second JVM that captures: " + e.getMessage());
                status = 1;
            }
            System.exit(status);
            return;
        }
        if (SecondConsole.isSecond()) {
            watchFirstJvm();
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
            status = options.list() ? console.listAdapters(options) : console.capture(options);
        } catch (UnsatisfiedLinkError e) {
            // A library built without one of NativeCollection's methods.
            System.err.println("CaptureConsole: the tamsil library lacks a native method: " + e.getMessage());
            status = 1;
        }
        if (!console.outputStuck) {
            System.out.flush();
        }
        if (status != 0) {
            System.exit(status);
        }
    }

    /**
     * Prints the adapters with their card numbers, and with --replay which of them the file stands for; 0 when the
     * library could list them, 1 otherwise.
     */
    private int listAdapters(ConsoleOptions options) {
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
        // The file stands for the card given, or for card 1.
        int replaced = options.driverCard();
        for (int card = 1; card <= count; card++) {
            String mark = options.replay().isPresent() && card == replaced ? "  <- replayed from " + options.replay().get() : "";
            out.printf("%4d  %s%s%n", card, description(card), mark);
        }
        if (options.replay().isPresent() && (replaced < 1 || replaced > count)) {
            out.println("--replay " + options.replay().get() + " stands for the card chosen when the capture starts.");
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
        CaptureFileWriter writer = null;
        Path file = options.write().orElse(null);
        // A new file is created only once the capture has started: quitting the library's adapter dialogue, or
        // Ctrl+C in it, ends the process there and would leave it empty. Until then a trial says whether it can be.
        boolean createLater = file != null && CaptureFileWriter.createsFile(file, options.force());
        if (file != null) {
            if (CaptureFileWriter.isFifo(file)) {
                System.err.println("CaptureConsole: " + file + " is a pipe: waiting for a reader to open it");
            }
            try {
                if (createLater) {
                    CaptureFileWriter.tryCreate(file);
                } else {
                    writer = CaptureFileWriter.open(file, options.force(), SecondConsole.standardOutput());
                }
            } catch (IOException e) {
                System.err.println(createError(file, e));
                return 2;
            }
        }
        out.flush();
        int started = library.DriverStart(card);
        if (started != 0) {
            System.err.println("CaptureConsole: the capture could not be started on "
                    + (card > 0 ? "card " + card : "the chosen card") + " (DriverStart gave " + started + ")");
            abandon(writer);
            return 1;
        }
        int chosen = library.GetCardNumber();
        out.println("Capturing on " + chosenCard() + limits(options) + ". Ctrl+C ends it.");
        options.replay().ifPresent(replayed -> out.println("Replaying " + replayed + " as that card."));
        CaptureSession session = CaptureSession.over(library);
        // From here a signal ends the run as a limit does, and the file is closed whole. Ctrl+C stays the library's
        // unless frames are being saved.
        END.set(session::release);
        Signals.on("TERM", CaptureConsole::endRun);
        Signals.on("HUP", CaptureConsole::endRun);
        if (file != null) {
            // Ctrl+C is ours before the file is made: from then on it must close the file, not end the process.
            Signals.on("INT", CaptureConsole::endRun);
        }
        if (createLater) {
            try {
                writer = CaptureFileWriter.open(file, options.force(), SecondConsole.standardOutput());
            } catch (IOException e) {
                System.err.println(createError(file, e));
                session.release();
                return 2;
            }
        }
        if (writer != null) {
            try {
                writer.begin("card " + chosen, cardDescription(chosen));
            } catch (IOException e) {
                sayWriteError(writer, e);
                session.release();
                abandon(writer);
                return 1;
            }
            out.println("Saving the frames in " + writer.name() + " (pcapng).");
            startHandingOver(writer, session);
        }
        out.printf("%7s %-12s %7s  %s%n", "Frame", "Time", "Length", "Summary");
        LinePrinter lines = new LinePrinter(out);
        CaptureFileWriter saving = writer;
        progress = () -> lines.printed() + (saving != null ? saving.sentBytes() : 0);
        if (options.hasTimeLimit()) {
            session.releaseAfter(options.maxTime());
        }
        // The wall clock once, then the monotonic clock's progress: a clock step during the capture does not make
        // the frames' times go backwards.
        Instant startTime = Instant.now();
        long startNanos = System.nanoTime();
        long frames = 0;
        long bytes = 0;
        long frameLimit = options.maxFrames().orElse(Long.MAX_VALUE);
        byte[] buffer = new byte[BUFFER_LENGTH];
        ZoneId zone = ZoneId.systemDefault();
        int status = 0;
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
            Instant received = startTime.plusNanos(System.nanoTime() - startNanos);
            frames++;
            bytes += length;
            // To the file first: a run that a signal ends then has every frame it printed in the file.
            if (writer != null) {
                try {
                    writer.frame(buffer, Math.min(length, buffer.length), length, received);
                } catch (IOException e) {
                    sayWriteError(writer, e);
                    break;
                }
            }
            lines.println(frameLine(frames, LocalTime.ofInstant(received, zone), length, buffer));
        }
        session.release();
        if (writer != null) {
            try {
                writer.close();
            } catch (IOException e) {
                sayWriteError(writer, e);
            }
            long lost = writer.notSaved();
            if (lost > 0) {
                System.err.println("CaptureConsole: " + writer.name() + " did not take the frames as fast as they came: "
                        + (lost == 1 ? "1 frame was" : lost + " frames were") + " not saved; " + writer.saved());
            }
            if (writer.failed() || lost > 0) {
                status = 1;
            }
        }
        double seconds = (System.nanoTime() - startNanos) / 1e9;
        try {
            // The frame lines out first: the queue then has room for the end's lines, and the count of those
            // dropped is final.
            outputStuck = !lines.finish(OUTPUT_GRACE_MS);
            if (!outputStuck) {
                long dropped = lines.dropped();
                if (dropped > 0) {
                    lines.println("CaptureConsole: " + (dropped == 1 ? "1 frame line was" : dropped + " frame lines were")
                            + " not shown: the output did not take them as fast as they came");
                }
                lines.println(String.format(Locale.ROOT, "%d frame%s, %d byte%s in %.3f s",
                        frames, frames == 1 ? "" : "s", bytes, bytes == 1 ? "" : "s", seconds));
                outputStuck = !lines.finish(OUTPUT_GRACE_MS);
            }
        } catch (InterruptedException e) {
            outputStuck = true;
            Thread.currentThread().interrupt();
        }
        return status;
    }

    /**
     * Ends the run from outside: a signal, or the first JVM's end. The JVM ends anyway once the run has gone the
     * limit without progress.
     */
    private static void endRun() {
        if (END_WATCHED.compareAndSet(false, true)) {
            Thread limit = new Thread(CaptureConsole::watchTheEnd, "capture-end-limit");
            limit.setDaemon(true);
            limit.start();
        }
        END.get().run();
    }

    private static void watchTheEnd() {
        try {
            long seen = progress.getAsLong();
            while (true) {
                Thread.sleep(END_LIMIT_MS);
                long now = progress.getAsLong();
                if (now == seen) {
                    break;
                }
                seen = now;
            }
            // The line on a thread of its own: standard error may be what no longer moves.
            Thread say = new Thread(() -> System.err.println("CaptureConsole: the run made no progress for "
                    + END_LIMIT_MS / 1000 + " s after being told to end"));
            say.setDaemon(true);
            say.start();
            say.join(500);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
        Runtime.getRuntime().halt(1);
    }

    /**
     * In a second JVM: the first one gone, however it ended, this one's run ends too. Its going shows as a new
     * parent at once, also while it waits, a zombie, for its own parent to collect it.
     */
    private static void watchFirstJvm() {
        long first = ProcessHandle.current().parent().map(ProcessHandle::pid).orElse(-1L);
        Thread watch = new Thread(() -> {
            try {
                while (ProcessHandle.current().parent().map(ProcessHandle::pid).orElse(-1L) == first) {
                    Thread.sleep(PARENT_WATCH_MS);
                }
            } catch (InterruptedException e) {
                return;
            }
            endRun();
        }, "first-jvm-watch");
        watch.setDaemon(true);
        watch.start();
    }

    /**
     * A timer that hands waiting frames to the file's writer, so that on a quiet network they reach the file. A
     * write error it meets ends the capture, which may be waiting for a frame that does not come.
     */
    private static void startHandingOver(CaptureFileWriter writer, CaptureSession session) {
        Thread timer = new Thread(() -> {
            try {
                while (true) {
                    Thread.sleep(HAND_OVER_PERIOD_MS);
                    writer.handOverIfDue();
                }
            } catch (InterruptedException e) {
                // The JVM ends.
            } catch (IOException e) {
                // The capture thread says the error: its close of the file throws it. Said here, it could be
                // lost, since this daemon thread dies with the JVM, which the capture thread may end meanwhile.
                session.release();
            }
        }, "capture-file-hand-over");
        timer.setDaemon(true);
        timer.start();
        // A JVM that ends another way still writes what waits.
        Runtime.getRuntime().addShutdownHook(new Thread(() -> {
            try {
                writer.close();
            } catch (IOException e) {
                sayWriteError(writer, e);
            }
        }, "capture-file-close"));
    }

    /** Says a write error once, whichever thread met it first, with what the file holds. */
    private static void sayWriteError(CaptureFileWriter writer, IOException e) {
        if (writer.firstReport()) {
            System.err.println("CaptureConsole: cannot write " + writer.name() + ": " + reason(e) + "; " + writer.saved());
        }
    }

    private static void abandon(CaptureFileWriter writer) {
        if (writer != null) {
            try {
                writer.abandon();
            } catch (IOException e) {
                // Nothing was written to it; the error that ended the capture has been said.
            }
        }
    }

    private static boolean sameFile(Path a, Path b) {
        try {
            return Files.exists(a) && Files.isSameFile(a, b);
        } catch (IOException e) {
            return false;
        }
    }

    /**
     * Polls every {@code pollMs} until {@code done}, for as long as {@code progress} keeps growing: answers false
     * once it has stood still for {@code graceMs}.
     */
    static boolean waitWhileProgressing(BooleanSupplier done, LongSupplier progress, long graceMs, long pollMs)
            throws InterruptedException {
        long seen = progress.getAsLong();
        long since = System.nanoTime();
        while (!done.getAsBoolean()) {
            long now = progress.getAsLong();
            if (now != seen) {
                seen = now;
                since = System.nanoTime();
            } else if (System.nanoTime() - since > TimeUnit.MILLISECONDS.toNanos(graceMs)) {
                return false;
            }
            Thread.sleep(pollMs);
        }
        return true;
    }

    /** The line for a file that cannot be created (or exists, without --force). */
    private static String createError(Path file, IOException e) {
        return e instanceof FileAlreadyExistsException ? "CaptureConsole: " + file + " exists; --force overwrites it"
                : "CaptureConsole: cannot create " + file + ": " + reason(e);
    }

    /** The cause of a file error as the user reads it: "permission denied", "No space left on device". */
    static String reason(IOException e) {
        String text = e.getMessage();
        if (e instanceof FileSystemException fs && fs.getReason() != null) {
            text = fs.getReason();
        } else if (e instanceof NoSuchFileException) {
            text = "no such directory";
        } else if (e instanceof AccessDeniedException) {
            text = "permission denied";
        }
        if ("Broken pipe".equals(text)) {
            text = "the reader has gone (broken pipe)";
        }
        return text == null ? e.getClass().getSimpleName() : text;
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

    /** The card's description for the capture file; empty when the library has none. */
    private String cardDescription(int card) {
        int count = library.GetCardNumbers();
        String description = card >= 1 && card <= count ? library.GetCardDescription(card - 1) : null;
        return description == null ? "" : description;
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
