package vorel.tests;

import com.larkspire.vorel.util.NativeCollection;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;

/**
 * The nine host-service exports through the JVM, against the stand-in's registry file.
 * Argument "admin": an administrator token and the service stopped (host_services_stopped.reg).
 * Argument "restricted": a token without an enabled Administrators group and the service running
 * (host_services_running.reg); argument 1 is the fixture, which the registry file must still equal at the end.
 * Argument "probe": prints what a second process, an administrator's, sees of the service.
 */
public final class HostServicesTest {
    private static final String VALUE_LINE = "\"Network Vorel\"=\"";

    public static void main(String[] args) throws Exception {
        NativeCollection nc = new NativeCollection();
        switch (args[0]) {
            case "admin" -> administrator(nc);
            case "restricted" -> restricted(nc, Paths.get(args[1]));
            case "probe" -> {
                System.out.println("installed=" + nc.isServiceInstalled() + " running=" + nc.isServiceRunning());
                System.exit(0);
            }
            default -> throw new IllegalArgumentException(args[0]);
        }
        Check.finish();
    }

    private static void administrator(NativeCollection nc) throws Exception {
        Check.equal(1, nc.isAdmin(), "isAdmin");

        // Service control, and its state seen by a second process through the registry file.
        Check.equal(1, nc.isServiceInstalled(), "installed");
        Check.equal(0, nc.isServiceRunning(), "stopped: not running");
        Check.equal(1, nc.stopService(), "stop on a stopped service");
        Check.equal(1, nc.startService(), "start");
        Check.equal(1, nc.isServiceRunning(), "running after the start");
        Check.equal("installed=1 running=1", probe(), "a second process sees it running");
        Check.equal(0, nc.startService(), "start on a running service");
        Check.equal(1, nc.stopService(), "stop");
        Check.equal(0, nc.isServiceRunning(), "not running after the stop");
        Check.equal("installed=1 running=0", probe(), "a second process sees it stopped");
        Check.equal(1, nc.startService(), "start again");
        Check.equal(1, nc.deleteService(), "delete a running service");
        Check.equal(1, nc.isServiceInstalled(), "marked for deletion, still installed while it runs");
        Check.equal(0, nc.deleteService(), "delete again");
        Check.equal(1, nc.stopService(), "stop the marked service");
        Check.equal(0, nc.isServiceInstalled(), "gone once stopped and closed");
        Check.equal("installed=0 running=0", probe(), "a second process finds it gone");
        Check.equal(0, nc.startService(), "start a missing service");
        Check.equal(1, nc.stopService(), "stop a missing service");
        Check.equal(0, nc.deleteService(), "delete a missing service");

        // The autostart entry.
        String home = "C:\\Program Files\\Network Vorel\\";
        Check.isTrue(nc.installSystray(home, "-Xmx64m com.larkspire.vorel.Main"), "install");
        Check.equal("javaw -cp \"C:\\Program Files\\Network Vorel\\./Vorel.jar\" -Xmx64m com.larkspire.vorel.Main"
                + " -home \"C:\\Program Files\\Network Vorel\\\" -systray", entry(), "the entry's command line");
        Check.isTrue(nc.installSystray("", "Main"), "install with an empty home");
        Check.equal("javaw -cp \"./Vorel.jar\" Main -home \"\" -systray", entry(), "installed twice: the second line");
        String accented = "D:\\V\u00f6rel \u65e5\u672c \uD83D\uDE00\\";
        Check.isTrue(nc.installSystray(accented, "M\u00e4in"), "install with characters outside ASCII");
        Check.equal("javaw -cp \"" + accented + "./Vorel.jar\" M\u00e4in -home \"" + accented + "\" -systray", entry(),
                "characters outside ASCII reach the registry");
        Check.isTrue(nc.installSystray("h".repeat(128), "l"), "299 bytes");
        Check.equal(299, entry().length(), "the longest line");
        Check.isTrue(!nc.installSystray("h".repeat(128), "ll"), "300 bytes are refused");
        Check.isTrue(!nc.installSystray("h".repeat(100_000), "x"), "far too long is refused");
        Check.equal(299, entry().length(), "a refused line writes nothing");
        Check.isTrue(!nc.installSystray(null, "Main"), "a null home");
        Check.isTrue(!nc.installSystray(home, null), "a null launch text");
        for (int i = 0; i < 2000; i++) {
            if (!nc.installSystray(home + i, "Main")) {
                Check.isTrue(false, "install number " + i);
                break;
            }
        }
        Check.isTrue(nc.removeSystray(), "remove");
        Check.equal(null, entry(), "removed");
        Check.isTrue(nc.removeSystray(), "remove with no entry");
        Check.isTrue(registry().contains("\"Other\"=\"other.exe /quiet\""), "the Run key's other value stays");

        // The message box (shown on standard error by the stand-in).
        Check.isTrue(nc.messageBox("Gr\u00fc\u00dfe aus dem Dienst"), "message box");
        Check.isTrue(!nc.messageBox(null), "a null text");
    }

    private static void restricted(NativeCollection nc, Path fixture) throws Exception {
        Check.equal(0, nc.isAdmin(), "isAdmin");
        Check.equal(0, nc.isServiceInstalled(), "installed, but not with full access");
        Check.equal(0, nc.isServiceRunning(), "running, but not with full access");
        Check.equal(0, nc.startService(), "start");
        Check.equal(1, nc.stopService(), "stop answers 1 always");
        Check.equal(0, nc.deleteService(), "delete");
        Check.isTrue(!nc.installSystray("C:\\Vorel\\", "Main"), "install");
        Check.isTrue(!nc.removeSystray(), "remove");
        Check.isTrue(nc.messageBox("Administrator rights are needed."), "message box");
        Check.equal(Files.readString(fixture, StandardCharsets.UTF_8), registry(), "nothing written");
        Check.equal("installed=1 running=1", probe(), "the service still runs");
    }

    private static String registry() throws IOException {
        return Files.readString(Paths.get(System.getenv("TAMSIL_REGISTRY")), StandardCharsets.UTF_8);
    }

    /** The autostart entry's data as the registry file holds it (its .reg escapes undone), or null. */
    private static String entry() throws IOException {
        for (String line : registry().split("\n")) {
            if (!line.startsWith(VALUE_LINE) || !line.endsWith("\"")) continue;
            String quoted = line.substring(VALUE_LINE.length(), line.length() - 1);
            StringBuilder text = new StringBuilder();
            for (int i = 0; i < quoted.length(); i++) {
                char c = quoted.charAt(i);
                if (c == '\\' && i + 1 < quoted.length()) c = quoted.charAt(++i);
                text.append(c);
            }
            return text.toString();
        }
        return null;
    }

    /** Runs this class with "probe" in a second JVM under -Xcheck:jni and answers its first line. */
    private static String probe() throws Exception {
        List<String> command = new ArrayList<>();
        command.add(Paths.get(System.getProperty("java.home"), "bin", "java").toString());
        command.add("-Xcheck:jni");
        command.add("-Djava.library.path=" + System.getProperty("java.library.path"));
        command.add("-cp");
        command.add(System.getProperty("java.class.path"));
        command.add(HostServicesTest.class.getName());
        command.add("probe");
        ProcessBuilder builder = new ProcessBuilder(command).redirectErrorStream(true);
        builder.environment().put("TAMSIL_TOKEN", "admin");  // it looks with full access
        Process process = builder.start();
        List<String> lines = new ArrayList<>();
        try (BufferedReader out = new BufferedReader(new InputStreamReader(process.getInputStream(), StandardCharsets.UTF_8))) {
            for (String line; (line = out.readLine()) != null; ) lines.add(line);
        }
        int status = process.waitFor();
        if (status != 0 || lines.size() != 1) {
            // Whatever the second JVM said (a -Xcheck:jni finding included) goes to our output for the runner.
            for (String line : lines) System.out.println("probe: " + line);
            return "probe exited " + status;
        }
        return lines.get(0);
    }
}
