package com.tolvane.tool;

import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.atomic.AtomicBoolean;
import sun.misc.Signal;
import sun.misc.SignalHandler;

/**
 * Turns the first SIGINT (Ctrl-C) or SIGTERM into a request to end the
 * recording early instead of killing the tool, which would leave the target
 * recording for nobody. After that first signal the JVM's own handlers are
 * back, so a second Ctrl-C ends the tool at once.
 */
public final class StopSignals {
    private static final String[] SIGNALS = {"INT", "TERM"};

    private final List<Signal> signals = new ArrayList<>();
    private final List<SignalHandler> previous = new ArrayList<>();
    private final AtomicBoolean restored = new AtomicBoolean();

    private StopSignals() {
    }

    /** Sends the first of these signals to {@code onStop} until {@link #restore} is called. */
    public static StopSignals install(Runnable onStop) {
        StopSignals s = new StopSignals();
        SignalHandler handler = signal -> {
            s.restore();
            onStop.run();
        };
        for (String name : SIGNALS) {
            try {
                Signal signal = new Signal(name);
                s.previous.add(Signal.handle(signal, handler));
                s.signals.add(signal);
            } catch (IllegalArgumentException e) {
                // the signal is unknown here or reserved (e.g. -Xrs): it keeps its default
            }
        }
        return s;
    }

    /** Puts the previous handlers back; safe to call more than once. */
    public void restore() {
        if (restored.compareAndSet(false, true)) {
            for (int i = 0; i < signals.size(); i++) {
                Signal.handle(signals.get(i), previous.get(i));
            }
        }
    }
}
