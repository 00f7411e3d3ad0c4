# The package and the resources of the cross-built programs, under Wine:
# MSI install, upgrade and uninstall; message table; version resources;
# the .reg examples read back through the settings reader.
if(NOT WIN32)
  return()
endif()

# The tests see the build through Wine's drive Z:, which maps /; they turn
# the slashes round themselves.
function(nolvane_wine_path out_var path)
  set(${out_var} "Z:${path}" PARENT_SCOPE)
endfunction()

add_library(nolvane_packaging_wine_support STATIC ${CMAKE_CURRENT_LIST_DIR}/packaging_wine_support.cpp)
target_include_directories(nolvane_packaging_wine_support PUBLIC ${CMAKE_CURRENT_LIST_DIR}
  ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/packaging)
target_link_libraries(nolvane_packaging_wine_support PUBLIC advapi32)

# A second package for the upgrade check: the same programs under the next
# version. It leaves out starting the service: under Wine the service cannot
# start once the product key exists (Wine gives registry keys no inherited
# rights, so the service's reset of the key's rights locks everybody out),
# and whether msiexec notices in time would make the check flaky.
set(upgrade_version "${NOLVANE_VERSION}")
string(REGEX MATCH "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$" _ "${upgrade_version}")
math(EXPR next_third "${CMAKE_MATCH_3} + 1")
set(upgrade_version "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${next_third}.${CMAKE_MATCH_4}")
nolvane_msi_product_version(${upgrade_version} upgrade_product_version)
set(upgrade_msi ${CMAKE_CURRENT_BINARY_DIR}/nolvane-upgrade-check-x64.msi)
nolvane_add_msi(${upgrade_msi} ${upgrade_version} NO_START)
add_custom_target(nolvane_upgrade_check_msi ALL DEPENDS ${upgrade_msi})

nolvane_wine_path(msi_path ${NOLVANE_MSI})
nolvane_wine_path(upgrade_msi_path ${upgrade_msi})
nolvane_add_test(packaging_msi_wine_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/packaging_msi_wine_test.cpp
  LIBS nolvane_packaging_wine_support -lmsi
  LABELS wine packaging TIMEOUT 600)
add_dependencies(packaging_msi_wine_tests msi nolvane_upgrade_check_msi)
set_tests_properties(packaging_msi_wine_tests PROPERTIES
  ENVIRONMENT "NOLVANE_MSI=${msi_path};NOLVANE_UPGRADE_MSI=${upgrade_msi_path};NOLVANE_UPGRADE_CODE=${NOLVANE_UPGRADE_CODE};NOLVANE_UPGRADE_PRODUCT_VERSION=${upgrade_product_version}"
  # The service NolvaneSvc and the product key are one per prefix.
  RESOURCE_LOCK nolvane_service_and_product_key)

nolvane_wine_path(service_exe $<TARGET_FILE:nolvane_service>)
nolvane_wine_path(daemon_exe $<TARGET_FILE:ostrel_service_daemon>)
nolvane_add_test(packaging_resources_wine_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/packaging_resources_wine_test.cpp
  LIBS nolvane_packaging_wine_support nolvane_logging version
  LABELS wine packaging)
add_dependencies(packaging_resources_wine_tests nolvane_service ostrel_service_daemon)
set_tests_properties(packaging_resources_wine_tests PROPERTIES
  ENVIRONMENT "NOLVANE_SERVICE_EXE=${service_exe};NOLVANE_DAEMON_EXE=${daemon_exe}")

nolvane_wine_path(examples ${CMAKE_SOURCE_DIR}/docs/examples)
nolvane_add_test(packaging_reg_examples_wine_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/packaging_reg_examples_wine_test.cpp
  LIBS nolvane_packaging_wine_support nolvane_config
  LABELS wine packaging)
set_tests_properties(packaging_reg_examples_wine_tests PROPERTIES
  ENVIRONMENT "NOLVANE_REG_EXAMPLES=${examples}"
  RESOURCE_LOCK nolvane_service_and_product_key)
