# SPDX-License-Identifier: BSD-2-Clause
# Read by cpack when it makes a package: the programs go in stripped.
# CPACK_STRIP_FILES would not do it: cpack applies it only to projects
# listed in CPACK_INSTALL_CMAKE_PROJECTS, and this package is staged
# through the install script (CPACK_INSTALL_SCRIPTS) instead, which strips
# when CMAKE_INSTALL_DO_STRIP is set, as cmake --install --strip sets it.
set(CMAKE_INSTALL_DO_STRIP ON)
