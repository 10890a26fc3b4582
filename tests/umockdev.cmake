# SPDX-License-Identifier: GPL-2.0-or-later
# The real tovra-control and the system libusb-0.1 against controllers
# emulated at the usbfs level by umockdev. Without umockdev the suite still
# exists and reports itself skipped.
pkg_check_modules(UMOCKDEV umockdev-1.0)

if(UMOCKDEV_FOUND)
  add_executable(umockdev_test umockdev_test.cpp umockdev_controller.cpp)
  target_include_directories(umockdev_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_include_directories(umockdev_test SYSTEM PRIVATE ${UMOCKDEV_INCLUDE_DIRS})
  target_link_libraries(umockdev_test PRIVATE ${UMOCKDEV_LINK_LIBRARIES} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(umockdev_test PRIVATE TOVRA_CONTROL_BIN="$<TARGET_FILE:tovra-control>")
  add_dependencies(umockdev_test tovra-control)
else()
  add_executable(umockdev_test umockdev_missing.cpp)
  target_link_libraries(umockdev_test PRIVATE GTest::gtest GTest::gtest_main)
endif()
gtest_discover_tests(umockdev_test DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)
