package com.larkspire.vorel.console;

import java.io.File;
import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Optional;
import java.util.concurrent.TimeUnit;

/**
 * Runs the console again in a second JVM, for what a running JVM cannot arrange for itself:
 *
 * <ul>
 * <li>Replaying a file: the library's device stand-in reads the files to replay from the environment variable
 * TAMSIL_REPLAY when it opens a device, and a JVM cannot change its own environment. The second JVM gets
 * TAMSIL_REPLAY set to "*=FILE", which makes the file stand for whichever adapter is opened.
 * <li>Writing the capture to standard output ({@code --write -}): the library prints its own lines on the
 * process's standard output, which would break the pcapng stream. The second JVM's standard output (the
 * library's lines and the frame lines) goes to this one's standard error, and it writes the capture to this
 * one's standard output, which it opens through /proc (Linux).
 * </ul>
 *
 * <p>The second JVM has the same Java, JVM options, class path and arguments; standard input and error are
 * shared. This one ends with its exit code. Ctrl+C on a terminal reaches both JVMs: the second one ends through
 * the library's console handler, and this one, whose shutdown hook waits for it, then ends with its exit code. A
 * signal meant for this JVM alone ends the second one too.
 */
final class SecondConsole {

    /** The system property that marks a second JVM that replays, holding the file it replays. */
    static final String REPLAYING_PROPERTY = "com.larkspire.vorel.console.replaying";
    /** The system property that gives a second JVM the file that stands for the first one's standard output. */
    static final String STANDARD_OUTPUT_PROPERTY = "com.larkspire.vorel.console.standardOutput";

    private SecondConsole() {
    }

    /** Whether this JVM is the one that replays {@code file}. */
    static boolean isReplaying(Path file) {
        return file.toAbsolutePath().toString().equals(System.getProperty(REPLAYING_PROPERTY));
    }

    /** In the second JVM, what {@code --write -} writes to; null in the first. */
    static Path standardOutput() {
        String path = System.getProperty(STANDARD_OUTPUT_PROPERTY);
        return path == null ? null : Path.of(path);
    }

    /** Whether the options need a second JVM and this is not it yet. */
    static boolean needed(ConsoleOptions options) {
        if (options.list()) {
            return false;
        }
        return options.replay().isPresent() && !isReplaying(options.replay().get())
                || options.writesToStandardOutput() && standardOutput() == null;
    }

    /** Problem with {@code file} as a TAMSIL_REPLAY entry, or null. */
    static String nameProblem(Path file) {
        return file.toAbsolutePath().toString().indexOf(';') >= 0
                ? "a file name with ';' cannot be replayed (rename or link the file)" : null;
    }

    /** Starts the second JVM and returns its exit code. */
    static int run(ConsoleOptions options, String[] args) throws IOException, InterruptedException {
        List<String> command = new ArrayList<>();
        command.add(ProcessHandle.current().info().command().orElse(
                Path.of(System.getProperty("java.home"), "bin", "java").toString()));
        command.addAll(ManagementFactory.getRuntimeMXBean().getInputArguments());
        Optional<String> replay = options.replay().map(file -> file.toAbsolutePath().toString());
        replay.ifPresent(file -> command.add("-D" + REPLAYING_PROPERTY + "=" + file));
        String self = "/proc/" + ProcessHandle.current().pid() + "/fd/";
        if (options.writesToStandardOutput()) {
            command.add("-D" + STANDARD_OUTPUT_PROPERTY + "=" + self + "1");
        }
        command.add("-cp");
        command.add(System.getProperty("java.class.path"));
        command.add(CaptureConsole.class.getName());
        command.addAll(List.of(args));
        ProcessBuilder builder = new ProcessBuilder(command).inheritIO();
        if (options.writesToStandardOutput()) {
            // Both of its streams through one opening of this one's standard error, which to a file appends.
            builder.redirectOutput(ProcessBuilder.Redirect.appendTo(new File(self + "2"))).redirectErrorStream(true);
        }
        replay.ifPresent(file -> builder.environment().put("TAMSIL_REPLAY", "*=" + file));
        Process child = builder.start();
        Runtime.getRuntime().addShutdownHook(new Thread(() -> endWith(child), "second-console-end"));
        return child.waitFor();
    }

    /** At this JVM's end: the second one ends too, and its exit code is this one's. */
    private static void endWith(Process child) {
        try {
            // Ctrl+C also reached the second JVM, which is releasing the capture: give it a moment.
            if (!child.waitFor(2, TimeUnit.SECONDS)) {
                child.destroy();
                if (!child.waitFor(5, TimeUnit.SECONDS)) {
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
