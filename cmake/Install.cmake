# Where an installed station lives. The station is installed as a Debian
# package under /usr unless the builder chooses another prefix; the installed
# programs then take their default station folder from the state folder
# (/var/lib/qelvar/station), while a program run from its build folder keeps
# the station beside the executable.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix" FORCE)
endif()
include(GNUInstallDirs)
set(QELVAR_INSTALLED_BINDIR ${CMAKE_INSTALL_FULL_BINDIR})
set(QELVAR_INSTALLED_STATION_DIR ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/qelvar/station)
# The example station's files the package copies into a fresh station folder.
set(QELVAR_INSTALLED_DATADIR ${CMAKE_INSTALL_DATADIR}/qelvar)
