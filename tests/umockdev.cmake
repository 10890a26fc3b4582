# SPDX-License-Identifier: GPL-2.0-or-later
# The real tovra-control on the system libusb-0.1 over controllers emulated by sim/usbfs.h;
# without umockdev the suite still exists and reports itself skipped.
if(TARGET tovra_sim_usbfs)
  add_executable(umockdev_test umockdev_test.cpp)
  target_link_libraries(umockdev_test PRIVATE tovra_sim_usbfs GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(umockdev_test PRIVATE TOVRA_CONTROL_BIN="$<TARGET_FILE:tovra-control>")
  add_dependencies(umockdev_test tovra-control)
else()
  add_executable(umockdev_test umockdev_missing.cpp)
  target_link_libraries(umockdev_test PRIVATE GTest::gtest GTest::gtest_main)
endif()
gtest_discover_tests(umockdev_test TEST_PREFIX umockdev. DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)
