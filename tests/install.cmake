# SPDX-License-Identifier: GPL-2.0-or-later
add_test(NAME install_staging COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/install_test.sh ${CMAKE_BINARY_DIR})
# One at a time: cmake --install writes its manifest into the build folder.
set_tests_properties(install_staging PROPERTIES TIMEOUT 120 LABELS install RESOURCE_LOCK tovra_install)
