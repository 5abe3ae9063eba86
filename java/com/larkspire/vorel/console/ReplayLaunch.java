package com.larkspire.vorel.console;

import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * Runs the console again with the library told to replay a file. The library's device stand-in reads the files
 * to replay from the environment variable TAMSIL_REPLAY when it opens a device, and a running JVM cannot change
 * its own environment: so the console starts a second JVM (same Java, same JVM options and class path, same
 * arguments, standard streams shared) with TAMSIL_REPLAY set to "*=FILE", which makes the file stand for
 * whichever adapter is opened, and ends with that JVM's exit code.
 *
 * <p>Ctrl+C on a terminal reaches both JVMs: the second one ends through the library's console handler, and
 * this one, whose shutdown hook waits for it, then ends with its exit code. A signal meant for this JVM alone
 * ends the second one too.
 */
final class ReplayLaunch {

    /** The system property that marks the second JVM, holding the file it replays. */
    static final String REPLAYING_PROPERTY = "com.larkspire.vorel.console.replaying";

    private ReplayLaunch() {
    }

    /** Whether this JVM is the one that replays {@code file}. */
    static boolean isReplaying(Path file) {
        return file.toAbsolutePath().toString().equals(System.getProperty(REPLAYING_PROPERTY));
    }

    /** Problem with {@code file} as a TAMSIL_REPLAY entry, or null. */
    static String nameProblem(Path file) {
        return file.toAbsolutePath().toString().indexOf(';') >= 0
                ? "a file name with ';' cannot be replayed (rename or link the file)" : null;
    }

    /** Starts the second JVM and returns its exit code. */
    static int run(Path file, String[] args) throws IOException, InterruptedException {
        String absolute = file.toAbsolutePath().toString();
        List<String> command = new ArrayList<>();
        command.add(ProcessHandle.current().info().command().orElse(
                Path.of(System.getProperty("java.home"), "bin", "java").toString()));
        command.addAll(ManagementFactory.getRuntimeMXBean().getInputArguments());
        command.add("-D" + REPLAYING_PROPERTY + "=" + absolute);
        command.add("-cp");
        command.add(System.getProperty("java.class.path"));
        command.add(CaptureConsole.class.getName());
        command.addAll(List.of(args));
        ProcessBuilder builder = new ProcessBuilder(command).inheritIO();
        builder.environment().put("TAMSIL_REPLAY", "*=" + absolute);
        Process child = builder.start();
        Runtime.getRuntime().addShutdownHook(new Thread(() -> endWith(child), "replay-end"));
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
