# The configuration layer against the simulated registry, firmware driver
# and power supply.
nolvane_add_test(config_sim_tests NATIVE_ONLY
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/config_reader_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/config_registry_store_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/config_subscription_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/config_platform_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/config_winsim_test.cpp
  LIBS nolvane_config nolvane_test_support winsim
  LABELS sim config)
