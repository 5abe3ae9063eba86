# The host services: all nine exports from a JVM, against a copy of a registry fixture.
tamsil_jvm_test(jvm_host_services_admin CLASS vorel.tests.HostServicesTest ARGS admin
  ENV "TAMSIL_TOKEN=admin" REGISTRY ${CMAKE_CURRENT_SOURCE_DIR}/fixtures/host_services_stopped.reg)
tamsil_jvm_test(jvm_host_services_user CLASS vorel.tests.HostServicesTest
  ARGS restricted ${CMAKE_CURRENT_SOURCE_DIR}/fixtures/host_services_running.reg
  ENV "TAMSIL_TOKEN=user" REGISTRY ${CMAKE_CURRENT_SOURCE_DIR}/fixtures/host_services_running.reg)
tamsil_jvm_test(jvm_host_services_deny_only_admin CLASS vorel.tests.HostServicesTest
  ARGS restricted ${CMAKE_CURRENT_SOURCE_DIR}/fixtures/host_services_running.reg
  ENV "TAMSIL_TOKEN=deny-only-admin" REGISTRY ${CMAKE_CURRENT_SOURCE_DIR}/fixtures/host_services_running.reg)
