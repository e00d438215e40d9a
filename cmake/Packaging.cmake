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

# name, summary, other components it needs, Debian packages it needs.
function(suite_package component summary components debian)
  string(TOUPPER ${component} upper)
  set(CPACK_COMPONENT_${upper}_DESCRIPTION "${summary}" PARENT_SCOPE)
  set(CPACK_COMPONENT_${upper}_DEPENDS ${components} PARENT_SCOPE)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${component} PARENT_SCOPE)
  set(CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS "${debian}" PARENT_SCOPE)
endfunction()

set(_cxx "libc6 (>= 2.36), libstdc++6 (>= 12), libgcc-s1")
suite_package(quendrix
  "SQL database server program with its own built-in functions"
  "libquendrix-t" "${_cxx}")
suite_package(libquendrix-t
  "Quendrix server library on embedded SQLite (stand-in)"
  "" "${_cxx}, libsqlite3-0 (>= 3.40), libreadline8")
suite_package(capi
  "OpenSSL engine that keeps private keys inside CryptoAPI"
  "cryptoapi" "${_cxx}, libssl3 (>= 3.0), openssl")
suite_package(cryptoapi
  "CryptoAPI stand-in over files and OpenSSL, with its administration tool"
  "" "${_cxx}, libssl3 (>= 3.0)")
suite_package(zephyn-models-component-plugin
  "QML module org.zephyn.models 0.1: the activities list models"
  "zephyn-models;jyxcore" "${_cxx}, libqt5core5a (>= 5.15), libqt5qml5 (>= 5.15)")
suite_package(zephyn-models
  "List models of the user's activities and their resources (stand-in)"
  "" "${_cxx}, libqt5core5a (>= 5.15)")
suite_package(jyxcore
  "Debug output switchable per debug area (stand-in)"
  "" "${_cxx}, libqt5core5a (>= 5.15)")

include(CPack)

