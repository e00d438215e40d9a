# `make install` (cmake --install): programs in bin/, libraries in lib/, man pages and docs
# under share/, all below CMAKE_INSTALL_PREFIX; the engine and the QML module go where
# their hosts look for them, so that `openssl engine capi` and `import org.zephyn.models`
# work without OPENSSL_ENGINES or QML2_IMPORT_PATH. DESTDIR is honoured for all of them.
#
# Each file belongs to a component, one per Debian package (cmake/Packaging.cmake).
include(GNUInstallDirs)
set(INSTALL_LIBDIR lib)

# The hosts' folders, asked from the hosts themselves; override for another layout.
find_package(PkgConfig REQUIRED)
pkg_get_variable(_openssl_enginesdir libcrypto enginesdir)
find_package(Qt5 5.15 REQUIRED COMPONENTS Core)
get_target_property(_qmake Qt5::qmake IMPORTED_LOCATION)
execute_process(COMMAND ${_qmake} -query QT_INSTALL_QML
                OUTPUT_VARIABLE _qt_qml_dir OUTPUT_STRIP_TRAILING_WHITESPACE)
set(CAPI_ENGINES_INSTALL_DIR "${_openssl_enginesdir}" CACHE PATH
    "Where the engine is installed: OpenSSL's engines folder")
set(QML_MODULES_INSTALL_DIR "${_qt_qml_dir}" CACHE PATH
    "Where the QML module is installed: Qt's QML folder")
if(NOT CAPI_ENGINES_INSTALL_DIR OR NOT QML_MODULES_INSTALL_DIR)
  message(FATAL_ERROR "cannot tell OpenSSL's engines folder or Qt's QML folder; "
                      "set CAPI_ENGINES_INSTALL_DIR and QML_MODULES_INSTALL_DIR")
endif()

# Man pages and change logs are installed compressed, as Debian keeps them (gzip -9n:
# the same bytes from every build).
find_program(GZIP_PROGRAM gzip REQUIRED)
set(COMPRESSED_DIR ${CMAKE_BINARY_DIR}/compressed)
add_custom_target(compressed_files ALL)
# Compresses `source` into ${COMPRESSED_DIR}/`name`.gz when the build runs.
function(compressed_file source name)
  set(out ${COMPRESSED_DIR}/${name})
  get_filename_component(dir ${out} DIRECTORY)
  add_custom_command(OUTPUT ${out}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${out}
    COMMAND ${GZIP_PROGRAM} -9nf ${out}
    DEPENDS ${source} VERBATIM)
  string(MAKE_C_IDENTIFIER ${name} target)
  add_custom_target(compressed_${target} DEPENDS ${out}.gz)
  add_dependencies(compressed_files compressed_${target})
endfunction()
compressed_file(${CMAKE_CURRENT_SOURCE_DIR}/docs/man/quendrix.1 man/quendrix.1)
compressed_file(${CMAKE_CURRENT_SOURCE_DIR}/docs/man/cryptoapi-admin.1 man/cryptoapi-admin.1)

# Installed binaries find the project's own libraries relative to where they land, so
# that a tree installed under DESTDIR runs as it is.
function(install_rpath_to_libdir target install_dir)
  if(IS_ABSOLUTE "${install_dir}")
    set(from "${install_dir}")
  else()
    set(from "${CMAKE_INSTALL_PREFIX}/${install_dir}")
  endif()
  file(RELATIVE_PATH to_libdir "${from}" "${CMAKE_INSTALL_PREFIX}/${INSTALL_LIBDIR}")
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${to_libdir}")
endfunction()

# quendrix and its server library.
install_rpath_to_libdir(quendrix ${CMAKE_INSTALL_BINDIR})
install(TARGETS quendrix RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT quendrix)
install(TARGETS quendrix_server LIBRARY DESTINATION ${INSTALL_LIBDIR} COMPONENT libquendrix-t)
install(FILES ${COMPRESSED_DIR}/man/quendrix.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT quendrix)
install(FILES docs/quendrix.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quendrix
        COMPONENT quendrix)

# The engine and the CryptoAPI stand-in with its administration tool.
if(TARGET capi)
  install_rpath_to_libdir(capi "${CAPI_ENGINES_INSTALL_DIR}")
  install(TARGETS capi LIBRARY DESTINATION "${CAPI_ENGINES_INSTALL_DIR}" COMPONENT capi)
  install(FILES docs/capi.md docs/openssl-capi.cnf DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/capi
          COMPONENT capi)
endif()
install(TARGETS cryptoapi LIBRARY DESTINATION ${INSTALL_LIBDIR} COMPONENT cryptoapi)
install(TARGETS cryptoapi-admin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cryptoapi)
install(FILES ${COMPRESSED_DIR}/man/cryptoapi-admin.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT cryptoapi)

# The QML module and the libraries it links.
set(_models_module_dir "${QML_MODULES_INSTALL_DIR}/org/zephyn/models")
install_rpath_to_libdir(zephyn-models-component-plugin "${_models_module_dir}")
install(TARGETS zephyn-models-component-plugin LIBRARY DESTINATION "${_models_module_dir}"
        COMPONENT zephyn-models-component-plugin)
install(FILES src/lib/models/qmldir src/lib/models/plugins.qmltypes
        DESTINATION "${_models_module_dir}" COMPONENT zephyn-models-component-plugin)
install(FILES docs/models.md
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zephyn-models-component-plugin
        COMPONENT zephyn-models-component-plugin)
install(TARGETS zephyn-models LIBRARY DESTINATION ${INSTALL_LIBDIR} COMPONENT zephyn-models)
install(TARGETS jyxcore LIBRARY DESTINATION ${INSTALL_LIBDIR} COMPONENT jyxcore)

