package com.larkspire.vorel.console;

import java.io.FileDescriptor;
import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.lang.reflect.Field;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Optional;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * Runs the console again in a second JVM, for what a running JVM cannot arrange for itself:
 *
 * <ul>
 * <li>Replaying a file: the library's device stand-in reads the files to replay from the environment variable
 * TAMSIL_REPLAY when it opens a device, and a JVM cannot change its own environment. The second JVM gets
 * TAMSIL_REPLAY set to "*=FILE", which makes the file stand for whichever adapter is opened.
 * <li>Writing the capture to standard output ({@code --write -}): the library prints its own lines on the
 * process's standard output, which would break the pcapng stream. The second JVM is started through a shell that
 * gives it this one's standard output itself as its descriptor 3, where it writes the capture, and this one's
 * standard error as its standard output, where the library's lines and the frame lines go. No path is opened to
 * reach either stream.
 * </ul>
 *
 * <p>The second JVM has the same Java, JVM options, class path and arguments; standard input and error are
 * shared. This one ends with its exit code. A signal to this JVM (SIGINT, SIGTERM, SIGHUP; Ctrl+C on a terminal
 * reaches both) is passed on as SIGTERM, which ends the second one's run as Ctrl+C does, and this one waits for
 * it. The second JVM watches this one, and ends its run when this one has gone, however it ended.
 */
final class SecondConsole {

    /** The system property that marks a second JVM that replays, holding the file it replays. */
    static final String REPLAYING_PROPERTY = "com.larkspire.vorel.console.replaying";
    /** The system property that tells a second JVM which of its descriptors is the first one's standard output. */
    static final String STANDARD_OUTPUT_PROPERTY = "com.larkspire.vorel.console.standardOutput";
    /** Where the second JVM finds the first one's standard output. */
    static final int STANDARD_OUTPUT_DESCRIPTOR = 3;

    /** How long this JVM waits for the second one after passing a signal on, while the second one writes nothing. */
    private static final long END_WAIT_SECONDS = 30;
    private static final long END_WATCH_MS = 1_000;

    private static final Pattern FLAGS = Pattern.compile("(?m)^flags:\\s*([0-7]+)$");
    private static final Pattern WCHAR = Pattern.compile("(?m)^wchar:\\s*([0-9]+)$");
    private static final int O_ACCMODE = 3;
    private static final int O_RDONLY = 0;
    private static final int O_APPEND = 02000;

    private SecondConsole() {
    }

    /** Whether this JVM is the one that replays {@code file}. */
    static boolean isReplaying(Path file) {
        return file.toAbsolutePath().toString().equals(System.getProperty(REPLAYING_PROPERTY));
    }

    /** Whether this JVM is a second one, started by another console. */
    static boolean isSecond() {
        return System.getProperty(REPLAYING_PROPERTY) != null || System.getProperty(STANDARD_OUTPUT_PROPERTY) != null;
    }

    /** In the second JVM, the first one's standard output, which {@code --write -} writes to; null in the first. */
    static FileDescriptor standardOutput() throws IOException {
        String number = System.getProperty(STANDARD_OUTPUT_PROPERTY);
        if (number == null) {
            return null;
        }
        try {
            // java.io offers no descriptor by number; the JVM options below open FileDescriptor's field.
            FileDescriptor descriptor = new FileDescriptor();
            Field fd = FileDescriptor.class.getDeclaredField("fd");
            fd.setAccessible(true);
            fd.setInt(descriptor, Integer.parseInt(number));
            return descriptor;
        } catch (ReflectiveOperationException | RuntimeException e) {
            throw new IOException("cannot take descriptor " + number + " as standard output (" + e + ")");
        }
    }

    /**
     * Whether the descriptor that {@code --write -} writes to appends (O_APPEND, as {@code >>} opens it); null when
     * that cannot be told. Read from /proc (Linux).
     */
    static Boolean standardOutputAppends() {
        String number = System.getProperty(STANDARD_OUTPUT_PROPERTY, "1");
        try {
            Matcher flags = FLAGS.matcher(Files.readString(Path.of("/proc/self/fdinfo/" + Integer.parseInt(number))));
            return flags.find() ? (Integer.parseInt(flags.group(1), 8) & O_APPEND) != 0 : null;
        } catch (IOException | NumberFormatException e) {
            return null;
        }
    }

    /** Whether the options need a second JVM and this is not it yet. */
    static boolean needed(ConsoleOptions options) {
        if (options.list()) {
            return false;
        }
        return options.replay().isPresent() && !isReplaying(options.replay().get())
                || options.writesToStandardOutput() && System.getProperty(STANDARD_OUTPUT_PROPERTY) == null;
    }

    /** Problem with {@code file} as a TAMSIL_REPLAY entry, or null. */
    static String nameProblem(Path file) {
        return file.toAbsolutePath().toString().indexOf(';') >= 0
                ? "a file name with ';' cannot be replayed (rename or link the file)" : null;
    }

    /**
     * Why this JVM's standard output cannot carry a capture, or null: closed (descriptor 1 is then whatever the
     * JVM opened next, often one of its own files), open for reading only, or a terminal. Read from /proc (Linux).
     */
    static String standardOutputProblem() {
        String info;
        try {
            info = Files.readString(Path.of("/proc/self/fdinfo/1"));
        } catch (NoSuchFileException e) {
            return "standard output is closed";
        } catch (IOException e) {
            return null;  // nothing to tell from
        }
        Matcher flags = FLAGS.matcher(info);
        if (flags.find() && (Integer.parseInt(flags.group(1), 8) & O_ACCMODE) == O_RDONLY) {
            return "standard output is closed or not open for writing";
        }
        try {
            String target = Files.readSymbolicLink(Path.of("/proc/self/fd/1")).toString();
            if (target.startsWith("/dev/pts/") || target.startsWith("/dev/tty") || target.equals("/dev/console")) {
                return "standard output is a terminal (send it to a file or a pipe)";
            }
            if (target.startsWith(System.getProperty("java.home") + "/")) {
                return "standard output is closed";
            }
        } catch (IOException | UnsupportedOperationException e) {
            return null;
        }
        return null;
    }

    /** Starts the second JVM and returns its exit code. */
    static int run(ConsoleOptions options, String[] args) throws IOException, InterruptedException {
        List<String> command = new ArrayList<>();
        command.add(ProcessHandle.current().info().command().orElse(
                Path.of(System.getProperty("java.home"), "bin", "java").toString()));
        command.addAll(ManagementFactory.getRuntimeMXBean().getInputArguments());
        Optional<String> replay = options.replay().map(file -> file.toAbsolutePath().toString());
        replay.ifPresent(file -> command.add("-D" + REPLAYING_PROPERTY + "=" + file));
        if (options.writesToStandardOutput()) {
            command.add("--add-opens=java.base/java.io=ALL-UNNAMED");
            command.add("-D" + STANDARD_OUTPUT_PROPERTY + "=" + STANDARD_OUTPUT_DESCRIPTOR);
        }
        command.add("-cp");
        command.add(System.getProperty("java.class.path"));
        command.add(CaptureConsole.class.getName());
        command.addAll(List.of(args));
        if (options.writesToStandardOutput()) {
            // Descriptor 3 becomes this JVM's standard output, and standard output its standard error.
            command.addAll(0, List.of("/bin/sh", "-c", "exec \"$@\" " + STANDARD_OUTPUT_DESCRIPTOR + ">&1 1>&2", "sh"));
        }
        ProcessBuilder builder = new ProcessBuilder(command).inheritIO();
        replay.ifPresent(file -> builder.environment().put("TAMSIL_REPLAY", "*=" + file));
        Process child = builder.start();
        Runnable passOn = () -> {
            child.destroy();
            Thread deadline = new Thread(() -> {
                try {
                    if (!waitWhileWriting(child)) {
                        child.destroyForcibly();
                    }
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                }
            }, "second-console-deadline");
            deadline.setDaemon(true);
            deadline.start();
        };
        for (String signal : List.of("INT", "TERM", "HUP")) {
            Signals.on(signal, passOn);
        }
        Runtime.getRuntime().addShutdownHook(new Thread(() -> endWith(child), "second-console-end"));
        return child.waitFor();
    }

    /**
     * Waits for the second JVM to end for as long as it keeps writing (its writer may have a slow reader to serve,
     * and bounds that wait itself), and for {@link #END_WAIT_SECONDS} while it writes nothing. Answers whether it
     * ended.
     */
    private static boolean waitWhileWriting(Process child) throws InterruptedException {
        return CaptureConsole.waitWhileProgressing(() -> !child.isAlive(), () -> bytesWritten(child),
                TimeUnit.SECONDS.toMillis(END_WAIT_SECONDS), END_WATCH_MS);
    }

    /** What the second JVM has written so far, in bytes (Linux's count of its writes); -1 when unknown. */
    private static long bytesWritten(Process child) {
        try {
            Matcher written = WCHAR.matcher(Files.readString(Path.of("/proc/" + child.pid() + "/io")));
            return written.find() ? Long.parseLong(written.group(1)) : -1;
        } catch (IOException | RuntimeException e) {
            return -1;
        }
    }

    /** At this JVM's end by any other way: the second one ends too, and its exit code is this one's. */
    private static void endWith(Process child) {
        try {
            if (child.isAlive()) {
                child.destroy();
                if (!child.waitFor(END_WAIT_SECONDS, TimeUnit.SECONDS)) {
                    child.destroyForcibly();
                    child.waitFor(5, TimeUnit.SECONDS);
                }
            }
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
        System.out.flush();
        Runtime.getRuntime().halt(child.isAlive() ? 1 : child.exitValue());
    }
}
