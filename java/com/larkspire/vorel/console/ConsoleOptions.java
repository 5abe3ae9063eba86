package com.larkspire.vorel.console;

import java.nio.file.InvalidPathException;
import java.nio.file.Path;
import java.time.Duration;
import java.util.HashSet;
import java.util.Optional;
import java.util.OptionalInt;
import java.util.OptionalLong;
import java.util.Set;
import java.util.regex.Pattern;

/**
 * The capture console's command line.
 *
 * @param help       print the usage and exit
 * @param list       list the adapters and exit
 * @param card       the card number to capture on (1..N, or negative for the library's dialogue); empty when none
 *                   was given, which also leads to the dialogue, or with {@code replay} to card 1
 * @param maxFrames  stop after this many frames
 * @param maxTime    stop after this time
 * @param write      the pcapng file to save the frames in; "-" for standard output
 * @param force      overwrite the {@code write} file when it exists
 * @param replay     the capture file to replay as the chosen adapter
 */
record ConsoleOptions(boolean help, boolean list, OptionalInt card, OptionalLong maxFrames, Duration maxTime,
        Optional<Path> write, boolean force, Optional<Path> replay) {

    static final String USAGE = """
            Usage: CaptureConsole [options] [card]

            Captures frames through the tamsil library and prints one line per frame:
            running count, time, length and a decoded summary.

              card          the adapter to capture on, 1..N as --list shows them; a negative
                            number (or none) lets the library ask on the console, -2 also
                            makes it read the adapters from the registry; with --replay and
                            no card number, card 1
              --list        list the adapters with their numbers and exit
              --frames N    stop after N frames
              --seconds S   stop after S seconds (decimals allowed)
              --write FILE  also save the frames received in FILE (pcapng, readable by
                            tshark, tcpdump and Wireshark; an empty frame cannot be told
                            from none and is not saved); an existing FILE is refused, but
                            a FIFO is written to as its reader reads; - writes to standard
                            output, and the frame lines then go to standard error
              --force       let --write overwrite an existing FILE
              --replay FILE replay the capture file FILE (pcap or pcapng) as the chosen
                            adapter instead of capturing live; with --list, shows which
                            adapter it replaces
              --help        print this text and exit

            Each option may be given once. --list goes with --replay and a card only.

            Ctrl+C ends the capture at any time: the library releases the adapter and ends
            the process. With --write the console ends the run itself, as a limit does, so
            that the file gets every frame shown; SIGTERM and SIGHUP always end it so.
            """;

    private static final Pattern INTEGER = Pattern.compile("-?[0-9]+");

    /** The {@code maxTime} of a command line without a time limit. */
    static final Duration NO_TIME_LIMIT = Duration.ZERO;

    /**
     * Parses the arguments. Options may be written {@code --frames N} or {@code --frames=N}.
     *
     * @throws IllegalArgumentException with a message for the user when the arguments are wrong
     */
    static ConsoleOptions parse(String... args) {
        boolean help = false;
        boolean list = false;
        OptionalInt card = OptionalInt.empty();
        OptionalLong maxFrames = OptionalLong.empty();
        Duration maxTime = NO_TIME_LIMIT;
        Optional<Path> write = Optional.empty();
        boolean force = false;
        Optional<Path> replay = Optional.empty();
        Set<String> given = new HashSet<>();

        for (int i = 0; i < args.length; i++) {
            String arg = args[i];
            String name = arg;
            String value = null;
            int equals = arg.indexOf('=');
            if (arg.startsWith("--") && equals > 0) {
                name = arg.substring(0, equals);
                value = arg.substring(equals + 1);
            }
            if (value != null && (name.equals("--help") || name.equals("--list") || name.equals("--force"))) {
                throw new IllegalArgumentException(name + " takes no value");
            }
            if (name.startsWith("-") && !INTEGER.matcher(arg).matches() && !given.add(name.equals("-h") ? "--help" : name)) {
                // Keeping the last of two silently would hide a typing error, as with two card numbers.
                throw new IllegalArgumentException(name + " is given twice");
            }
            switch (name) {
                case "--help", "-h" -> help = true;
                case "--list" -> list = true;
                case "--frames" -> {
                    if (value == null) {
                        value = next(args, ++i, name);
                    }
                    maxFrames = OptionalLong.of(parseFrames(value));
                }
                case "--seconds" -> {
                    if (value == null) {
                        value = next(args, ++i, name);
                    }
                    maxTime = parseSeconds(value);
                }
                case "--force" -> force = true;
                case "--write" -> write = Optional.of(parsePath(value != null ? value : next(args, ++i, name), name));
                case "--replay" -> replay = Optional.of(parsePath(value != null ? value : next(args, ++i, name), name));
                default -> {
                    if (!INTEGER.matcher(arg).matches()) {
                        throw new IllegalArgumentException("unknown option " + arg);
                    }
                    if (card.isPresent()) {
                        throw new IllegalArgumentException("more than one card number: " + card.getAsInt() + " and " + arg);
                    }
                    card = OptionalInt.of(parseCard(arg));
                }
            }
        }
        if (force && write.isEmpty()) {
            throw new IllegalArgumentException("--force only goes with --write");
        }
        if (list) {
            for (String capturing : new String[] {"--frames", "--seconds", "--write"}) {
                if (given.contains(capturing)) {
                    throw new IllegalArgumentException("--list captures nothing: " + capturing + " does not go with it");
                }
            }
        }
        return new ConsoleOptions(help, list, card, maxFrames, maxTime, write, force, replay);
    }

    /**
     * The card number to pass to DriverStart: the one given; without one, 1 when a file is replayed (it stands for
     * whichever adapter opens, so there is nothing to choose), otherwise -1 for the library's dialogue.
     */
    int driverCard() {
        return card.orElse(replay.isPresent() ? 1 : -1);
    }

    /** Whether --write names standard output. */
    boolean writesToStandardOutput() {
        return write.isPresent() && write.get().toString().equals(CaptureFileWriter.STANDARD_OUTPUT);
    }

    boolean hasTimeLimit() {
        return !maxTime.isZero();
    }

    private static String next(String[] args, int index, String option) {
        if (index >= args.length) {
            throw new IllegalArgumentException(option + " needs a value");
        }
        return args[index];
    }

    private static Path parsePath(String text, String option) {
        if (text.isEmpty()) {
            throw new IllegalArgumentException(option + " needs a file name");
        }
        try {
            return Path.of(text);
        } catch (InvalidPathException e) {
            throw new IllegalArgumentException(option + ": not a usable file name: " + text, e);
        }
    }

    private static int parseCard(String text) {
        int card;
        try {
            card = Integer.parseInt(text);
        } catch (NumberFormatException e) {
            throw new IllegalArgumentException("card number out of range: " + text, e);
        }
        if (card == 0) {
            throw new IllegalArgumentException("card numbers count from 1 (or are negative for the dialogue)");
        }
        return card;
    }

    private static long parseFrames(String text) {
        long frames;
        try {
            frames = Long.parseLong(text);
        } catch (NumberFormatException e) {
            if (text.matches("\\+?[0-9]+")) {
                throw new IllegalArgumentException("--frames " + text + " is too large (at most " + Long.MAX_VALUE + ")", e);
            }
            throw new IllegalArgumentException("--frames needs a whole number, not " + text, e);
        }
        if (frames < 1) {
            throw new IllegalArgumentException("--frames needs a number of 1 or more, not " + text);
        }
        return frames;
    }

    private static Duration parseSeconds(String text) {
        // Plain decimals only: Java's own syntax would also take "5d", "2f", hex and blanks.
        if (!text.matches("[0-9]+(\\.[0-9]*)?|\\.[0-9]+")) {
            throw new IllegalArgumentException("--seconds needs a number, not " + text);
        }
        double seconds = Double.parseDouble(text);
        // At least a millisecond, at most a year: beyond that the limit is a typing error.
        if (!(seconds >= 0.001 && seconds <= 365.0 * 24 * 3600)) {
            throw new IllegalArgumentException("--seconds needs a number from 0.001 to 31536000, not " + text);
        }
        return Duration.ofMillis(Math.round(seconds * 1000));
    }
}
