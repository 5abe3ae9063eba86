package com.larkspire.vorel.util;

/**
 * The native back end of Network Vorel: adapter inventory and choice, capture through the packet driver,
 * and small host services. Implemented by the tamsil library.
 */
public class NativeCollection {
    static {
        System.loadLibrary("tamsil");
    }

    // Capture session and frame delivery.
    public native int DriverStart(int cardNumber);
    public native void DriverStop();
    public native void FreeOnExit();
    public native int GetFrameFromDriver(byte[] frame, int maxLength);
    public native void SetPausedOn(boolean paused);
    public native boolean IsPausedOn();

    // Adapter inventory.
    public native int GetCardNumbers();
    public native String GetCardDescription(int index);
    public native int GetCardNumber();

    // Administrator test and service control: 1 for yes or done, 0 for no or failed.
    public native int isAdmin();
    public native int isServiceInstalled();
    public native int isServiceRunning();
    public native int startService();
    public native int stopService();
    public native int deleteService();

    // Autostart entry and message box.
    public native boolean installSystray(String homeDirectory, String launchText);
    public native boolean removeSystray();
    public native boolean messageBox(String text);
}
