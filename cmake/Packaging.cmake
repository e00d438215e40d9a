# `make package`: one Debian package per deliverable and per stand-in, from the install
# components of cmake/Install.cmake, each depending on the others it needs and on the
# Debian libraries it links.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quendrix-suite)
set(CPACK_PACKAGE_VENDOR "The Quendrix suite developers")
set(CPACK_PACKAGE_CONTACT "Quendrix suite developers <maintainers@quendrix.invalid>")
set(CPACK_PACKAGE_VERSION 0.1.0)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
# The packages install where the install rules put things (the run paths assume it).
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Debug information stays in the build; the packages carry stripped binaries.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENTS_ALL
    quendrix libquendrix-t capi cryptoapi zephyn-models-component-plugin zephyn-models jyxcore)

# Control files are written 0644 (dpkg's and lintian's expectation).
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# name, summary, what it is (the extended description), other components it needs,
# Debian packages it needs. Each package carries its change log, as Debian's do.
function(suite_package component summary details components debian)
  string(TOUPPER ${component} upper)
  set(CPACK_COMPONENT_${upper}_DESCRIPTION "${summary}\n${details}" PARENT_SCOPE)
  set(CPACK_COMPONENT_${upper}_DEPENDS ${components} PARENT_SCOPE)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${component} PARENT_SCOPE)
  set(CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS "${debian}" PARENT_SCOPE)
  set(DEB_PACKAGE ${component})
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/changelog.in
                 ${CMAKE_BINARY_DIR}/debian/${component}/changelog @ONLY)
  compressed_file(${CMAKE_BINARY_DIR}/debian/${component}/changelog doc/${component}/changelog)
  install(FILES ${COMPRESSED_DIR}/doc/${component}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${component} COMPONENT ${component})
endfunction()

# A package of shared libraries in the linker's folders has ldconfig run after it
# is installed or removed.
function(library_package component)
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/triggers
      PARENT_SCOPE)
endfunction()

set(_cxx "libc6 (>= 2.36), libstdc++6 (>= 12), libgcc-s1")
suite_package(quendrix
  "SQL database server program with its own built-in functions"
  "quendrix runs an SQL database kept in an SQLite file. It serves statements
from the command line, scripts and an interactive shell, and PostgreSQL
clients (psql, libpq and the drivers built on the protocol) over TCP, with
TLS and SCRAM passwords, or over a Unix socket. Its built-in functions add
vectors, streaming of generated rows, query trees and need-to-know row
security."
  "libquendrix-t" "${_cxx}")
suite_package(libquendrix-t
  "Quendrix server library on embedded SQLite (stand-in)"
  "The library the quendrix program runs on: sessions over SQLite, the
PostgreSQL protocol listener with its users and authentication, the values
of the built-in functions, and query trees."
  "" "${_cxx}, libsqlite3-0 (>= 3.40), libreadline8")
suite_package(capi
  "OpenSSL engine that keeps private keys inside CryptoAPI"
  "The OpenSSL 3 engine capi signs, decrypts and loads keys inside CryptoAPI
and picks TLS client certificates from its certificate stores, so that
private keys never leave it. The openssl tool and programs that load engines
use it by its id, capi."
  "cryptoapi" "${_cxx}, libssl3 (>= 3.0), openssl")
suite_package(cryptoapi
  "Stand-in for CryptoAPI over files and OpenSSL, with its administration tool"
  "A working CryptoAPI for Linux: providers, key containers and certificate
stores kept in a private folder, keys used through OpenSSL without leaving
it. cryptoapi-admin creates keys and imports, lists and removes
certificates."
  "" "${_cxx}, libssl3 (>= 3.0)")
suite_package(zephyn-models-component-plugin
  "QML module org.zephyn.models 0.1: the activities list models"
  "A QML extension plug-in for Qt 5: importing org.zephyn.models registers the
list models of activities (ActivityModel) and of the resources linked to
them (ResourceModel) as QML element types."
  "zephyn-models;jyxcore" "${_cxx}, libqt5core5a (>= 5.15), libqt5qml5 (>= 5.15)")
suite_package(zephyn-models
  "List models of the user's activities and their resources (stand-in)"
  "The library of the activity and resource list models that the QML module
org.zephyn.models registers."
  "" "${_cxx}, libqt5core5a (>= 5.15)")
suite_package(jyxcore
  "Debug output switchable per debug area (stand-in)"
  "A small library whose debug messages are switched on and off per debug area."
  "" "${_cxx}, libqt5core5a (>= 5.15)")
foreach(component libquendrix-t cryptoapi zephyn-models jyxcore)
  library_package(${component})
endforeach()

include(CPack)

