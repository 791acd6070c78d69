# SPDX-License-Identifier: BSD-2-Clause
# Runs at install time (cmake --install, make install, cpack). The unit
# names the installed program and the environment file by their paths under
# the prefix of this install, which may differ from the configured one
# (cmake --install --prefix). Set by the caller: KOVARI_SOURCE_DIR,
# KOVARI_WORK_DIR, KOVARI_SBINDIR, KOVARI_SYSCONFDIR, KOVARI_UNITDIR.

# A relative directory lies under the prefix; the configuration directory of
# the prefix /usr is /etc, as GNUInstallDirs has it.
function(kovari_full_path dir out)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  elseif(dir STREQUAL "etc" AND CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$")
    set(${out} "/etc" PARENT_SCOPE)
  else()
    string(REGEX REPLACE "/$" "" prefix "${CMAKE_INSTALL_PREFIX}")
    set(${out} "${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

kovari_full_path("${KOVARI_SBINDIR}" sbindir)
kovari_full_path("${KOVARI_SYSCONFDIR}" sysconfdir)
kovari_full_path("${KOVARI_UNITDIR}" unitdir)

set(KOVARI_QUORIND "${sbindir}/quorind")
set(KOVARI_DEFAULT_FILE "${sysconfdir}/default/quorind")
# One work file per prefix, so that installs into different places never
# share one.
string(MD5 tag "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(unit "${KOVARI_WORK_DIR}/${tag}/quorind.service")
configure_file("${KOVARI_SOURCE_DIR}/quorind.service.in" "${unit}" @ONLY)

set(mode PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(INSTALL DESTINATION "${unitdir}" TYPE FILE ${mode} FILES "${unit}")
file(INSTALL DESTINATION "${sysconfdir}/default" TYPE FILE ${mode}
     RENAME quorind FILES "${KOVARI_SOURCE_DIR}/quorind.default")
