tamsil_jvm_test(jvm_inventory_iphelper CLASS vorel.tests.InventoryTest ARGS iphelper
  ENV "TAMSIL_WINDOWS_VERSION=5.1" "TAMSIL_ADAPTERS=eth0|First adapter$<SEMICOLON>eth1|Carte réseau Intel à café €")
tamsil_jvm_test(jvm_inventory_iphelper_932 CLASS vorel.tests.InventoryTest ARGS iphelper-932
  ENV "TAMSIL_WINDOWS_VERSION=5.1" "TAMSIL_ANSI_CODEPAGE=932" "TAMSIL_ADAPTERS=eth0|First adapter$<SEMICOLON>eth1|ソフトウェア アダプター")
tamsil_jvm_test(jvm_inventory_registry CLASS vorel.tests.InventoryTest ARGS registry
  ENV "TAMSIL_WINDOWS_VERSION=4.0" REGISTRY ${CMAKE_CURRENT_SOURCE_DIR}/fixtures/inventory.reg)
