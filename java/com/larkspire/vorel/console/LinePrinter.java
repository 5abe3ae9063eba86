package com.larkspire.vorel.console;

import java.io.PrintStream;
import java.util.concurrent.ArrayBlockingQueue;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.atomic.AtomicLong;

/**
 * The capture's lines, printed on a thread of their own: a reader of the output that is slow or has stopped
 * (a pager not scrolled, a terminal on hold) never holds up the capture. When the queue is full a line is
 * dropped and counted; at the end the lines have as long as they make progress to go out.
 */
final class LinePrinter {
    private static final int QUEUE_LINES = 65_536;  // about 6 MB of lines

    private final PrintStream out;
    private final BlockingQueue<String> queue = new ArrayBlockingQueue<>(QUEUE_LINES);
    private final AtomicLong queued = new AtomicLong();
    private final AtomicLong printed = new AtomicLong();
    private final AtomicLong dropped = new AtomicLong();

    LinePrinter(PrintStream out) {
        this.out = out;
        Thread thread = new Thread(this::printAll, "console-lines");
        thread.setDaemon(true);
        thread.start();
    }

    /** Queues a line; drops it when the output is that far behind. */
    void println(String line) {
        if (queue.offer(line)) {
            queued.incrementAndGet();
        } else {
            dropped.incrementAndGet();
        }
    }

    long dropped() {
        return dropped.get();
    }

    /** The lines out so far: the output's progress. */
    long printed() {
        return printed.get();
    }

    /**
     * Waits until every queued line is out, or until {@code graceMs} passed without one going out; answers
     * whether they all went out. After false the output is stuck: nothing may write to it any more, since that
     * write would wait with it.
     */
    boolean finish(long graceMs) throws InterruptedException {
        return CaptureConsole.waitWhileProgressing(() -> printed.get() >= queued.get(), printed::get, graceMs, 10);
    }

    private void printAll() {
        try {
            while (true) {
                out.println(queue.take());
                printed.incrementAndGet();
            }
        } catch (InterruptedException e) {
            // The JVM ends.
        }
    }
}
