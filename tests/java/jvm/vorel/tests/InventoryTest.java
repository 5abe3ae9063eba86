package vorel.tests;

import com.larkspire.vorel.util.NativeCollection;

/**
 * The adapter inventory through the JVM. Argument "iphelper": TAMSIL_ADAPTERS lists two adapters, the second
 * described in French (ANSI code page 1252); "iphelper-932": the same in Japanese (code page 932).
 * Argument "registry": the registry fixture exports three devices and describes two cards.
 */
public final class InventoryTest {
    public static void main(String[] args) {
        NativeCollection nc = new NativeCollection();
        if (args[0].startsWith("iphelper")) {
            String second = args[0].equals("iphelper-932") ? "\u30bd\u30d5\u30c8\u30a6\u30a7\u30a2 \u30a2\u30c0\u30d7\u30bf\u30fc"
                                                         : "Carte r\u00e9seau Intel \u00e0 caf\u00e9 \u20ac";
            Check.equal(2, nc.GetCardNumbers(), "interface count");
            Check.equal("First adapter", nc.GetCardDescription(0), "description of card 1");
            Check.equal(second, nc.GetCardDescription(1), "description of card 2");
            Check.equal("", nc.GetCardDescription(2), "index past the end of the list");
            Check.equal("", nc.GetCardDescription(-1), "negative index");
        } else {
            Check.equal(3, nc.GetCardNumbers(), "exported device count");
            Check.equal("Intel\u00ae PRO/1000 MT", nc.GetCardDescription(0), "description of card 1");
            Check.equal("3Com EtherLink \u4e2d\u6587", nc.GetCardDescription(1), "description of card 2");
            Check.equal("", nc.GetCardDescription(2), "a device without a card has an empty description");
            Check.equal("", nc.GetCardDescription(16), "index past the table");
            Check.equal("", nc.GetCardDescription(-1), "negative index");
        }
        Check.equal(0, nc.GetCardNumber(), "no card chosen before a start");
        Check.finish();
    }
}
