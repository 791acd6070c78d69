# Read by cpack when it makes a package: the programs go in stripped.
set(CMAKE_INSTALL_DO_STRIP ON)
