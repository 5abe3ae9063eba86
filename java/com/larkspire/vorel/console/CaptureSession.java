package com.larkspire.vorel.console;

import com.larkspire.vorel.util.NativeCollection;
import java.time.Duration;
import java.util.concurrent.TimeUnit;

/**
 * A started capture: frames taken one at a time on one thread, and a release that any thread may ask for.
 *
 * <p>The library's delivery call blocks while no frame is there, so a time limit cannot be checked by the
 * capture thread itself. {@link #release()} ends a waiting delivery call the way the library provides:
 * {@code DriverStop}, then {@code FreeOnExit}, after which the waiting call returns 0. Between the two it gives
 * a delivery call that is just entering the library a moment to find delivery stopped and leave, so that no
 * delivery call reaches the library after the release (it would find the library not started and say so).
 * The release happens once, whichever thread asks first; every caller returns once it is done.
 */
final class CaptureSession {

    /** What {@link #nextFrame} returns once the capture has been told to end. */
    static final int ENDED = -1;

    /** How long the release waits, after DriverStop, for a delivery call to leave the library by itself. */
    private static final long LEAVE_GRACE_NANOS = TimeUnit.MILLISECONDS.toNanos(100);

    /** The library calls the session makes; a test may stand in for the library. */
    interface Driver {
        int getFrame(byte[] buffer, int maxLength);

        void stop();

        void release();
    }

    private final Driver driver;
    private final Object lock = new Object();
    private boolean ending;      // no delivery call starts any more
    private boolean delivering;  // a delivery call is in the library, or about to enter it
    private boolean releasing;   // a thread has taken on the release
    private boolean released;    // the release is complete

    CaptureSession(Driver driver) {
        this.driver = driver;
    }

    /** A session over the library, which the caller has started with DriverStart. */
    static CaptureSession over(NativeCollection library) {
        return new CaptureSession(new Driver() {
            @Override
            public int getFrame(byte[] buffer, int maxLength) {
                return library.GetFrameFromDriver(buffer, maxLength);
            }

            @Override
            public void stop() {
                library.DriverStop();
            }

            @Override
            public void release() {
                library.FreeOnExit();
            }
        });
    }

    /**
     * Takes the next frame into {@code buffer}, waiting for one. Returns the frame's full length (which may exceed
     * the buffer's length; then only the buffer's length was copied), 0 when the library delivered nothing, or
     * {@link #ENDED} once the capture has been told to end. A frame that arrives while the capture is being ended
     * is dropped.
     */
    int nextFrame(byte[] buffer) {
        synchronized (lock) {
            if (ending) {
                return ENDED;
            }
            delivering = true;
        }
        int length;
        try {
            length = driver.getFrame(buffer, buffer.length);
        } finally {
            synchronized (lock) {
                delivering = false;
                lock.notifyAll();
            }
        }
        synchronized (lock) {
            return ending ? ENDED : length;
        }
    }

    /** Whether the capture has been told to end. */
    boolean hasEnded() {
        synchronized (lock) {
            return ending;
        }
    }

    /**
     * Starts a daemon thread that releases the capture after {@code limit}. The thread does nothing more when the
     * capture has been released by then.
     */
    void releaseAfter(Duration limit) {
        Thread timer = new Thread(() -> {
            try {
                Thread.sleep(limit.toMillis());
            } catch (InterruptedException e) {
                return;
            }
            release();
        }, "capture-time-limit");
        timer.setDaemon(true);
        timer.start();
    }

    /**
     * Ends the capture and releases the library's capture session: a waiting delivery call returns, and no
     * delivery call starts afterwards. Safe to call from any thread and more than once; returns when the release
     * is complete.
     */
    void release() {
        boolean interrupted = false;
        synchronized (lock) {
            ending = true;
            if (releasing) {
                while (!released) {
                    try {
                        lock.wait();
                    } catch (InterruptedException e) {
                        interrupted = true;
                    }
                }
                restoreInterrupt(interrupted);
                return;
            }
            releasing = true;
        }
        try {
            driver.stop();
            synchronized (lock) {
                long deadline = System.nanoTime() + LEAVE_GRACE_NANOS;
                for (long left = LEAVE_GRACE_NANOS; delivering && left > 0; left = deadline - System.nanoTime()) {
                    try {
                        TimeUnit.NANOSECONDS.timedWait(lock, left);
                    } catch (InterruptedException e) {
                        interrupted = true;
                    }
                }
            }
            driver.release();
        } finally {
            synchronized (lock) {
                released = true;
                lock.notifyAll();
            }
            restoreInterrupt(interrupted);
        }
    }

    private static void restoreInterrupt(boolean interrupted) {
        if (interrupted) {
            Thread.currentThread().interrupt();
        }
    }
}
