# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the build into a staging folder (prefix /usr, DESTDIR) and checks
# the files, the udev rules, the manual pages and the bash completion. The
# folders of GNUInstallDirs come through the environment; the udev and
# completion folders, which the top level sets after this folder is
# configured, are read from the build's cache when the test runs.
add_test(NAME install_staging
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/install_test.sh ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
set_tests_properties(install_staging PROPERTIES
  TIMEOUT 120
  LABELS install
  # cmake --install writes its manifest into the build tree: one at a time.
  RESOURCE_LOCK tovra_install
  ENVIRONMENT "BINDIR=${CMAKE_INSTALL_BINDIR};MANDIR=${CMAKE_INSTALL_MANDIR};DOCDIR=${CMAKE_INSTALL_DOCDIR}")
