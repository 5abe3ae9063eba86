package com.larkspire.vorel.console;

import java.lang.reflect.InvocationHandler;
import java.lang.reflect.Proxy;

/**
 * Java handlers for the process's signals, through the JDK's sun.misc.Signal (module jdk.unsupported), looked up
 * by reflection so that the console compiles without the warnings of an internal API. A handler replaces what
 * was there before: the JVM's own (which ends the JVM), or a native library's.
 */
final class Signals {

    private Signals() {
    }

    /** Runs {@code action} (on a thread of the JVM's) each time signal {@code name} ("INT", "TERM", "HUP") comes. */
    static boolean on(String name, Runnable action) {
        try {
            Class<?> signalClass = Class.forName("sun.misc.Signal");
            Class<?> handlerClass = Class.forName("sun.misc.SignalHandler");
            Object signal = signalClass.getConstructor(String.class).newInstance(name);
            InvocationHandler calls = (proxy, method, args) -> switch (method.getName()) {
                case "handle" -> {
                    action.run();
                    yield null;
                }
                case "hashCode" -> System.identityHashCode(proxy);
                case "equals" -> proxy == args[0];
                default -> "signal handler for SIG" + name;
            };
            Object handler = Proxy.newProxyInstance(Signals.class.getClassLoader(), new Class<?>[] {handlerClass}, calls);
            signalClass.getMethod("handle", signalClass, handlerClass).invoke(null, signal, handler);
            return true;
        } catch (ReflectiveOperationException | IllegalArgumentException | SecurityException e) {
            return false;
        }
    }
}
