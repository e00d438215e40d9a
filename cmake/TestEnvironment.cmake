# Every test runs in an environment of its own, whatever the user has exported: ctest
# reads CTestCustom.cmake from the build folder before it starts any test, and the script
# it includes changes ctest's own environment, which every test inherits. Tests added anywhere in the tree are covered
# without doing anything; a test that needs one of these variables sets it itself
# (ENVIRONMENT property or in its code).
set(TEST_ENVIRONMENT_ROOT ${CMAKE_BINARY_DIR}/test-environment)
foreach(dir home data config cache state runtime qml-cache)
  file(MAKE_DIRECTORY ${TEST_ENVIRONMENT_ROOT}/${dir})
endforeach()
# Qt refuses a runtime directory that others may read.
file(CHMOD ${TEST_ENVIRONMENT_ROOT}/runtime DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)

configure_file(${CMAKE_CURRENT_LIST_DIR}/test-environment.cmake.in
               ${CMAKE_BINARY_DIR}/test-environment.cmake @ONLY)
file(WRITE ${CMAKE_BINARY_DIR}/CTestCustom.cmake
     "include(\"${CMAKE_BINARY_DIR}/test-environment.cmake\")\n")

# The mechanism itself: the probe fails on any variable that leaks through, and the
# second test runs the probe under a ctest whose caller exported one of each kind.
add_test(NAME test_environment_is_hermetic
  COMMAND ${CMAKE_COMMAND} -DROOT=${TEST_ENVIRONMENT_ROOT}
          -P ${CMAKE_CURRENT_LIST_DIR}/check_test_environment.cmake)
add_test(NAME test_environment_ignores_exported_variables
  COMMAND ${CMAKE_COMMAND} -E env
    ZEPHYN_ACTIVITIES_FILE=/nonexistent/activities.json
    XDG_DATA_HOME=/nonexistent/data XDG_CACHE_HOME=/nonexistent/cache
    CRYPTOAPI_HOME=/nonexistent/cryptoapi OPENSSL_ENGINES=/nonexistent/engines
    OPENSSL_CONF=/nonexistent/openssl.cnf PGHOST=/nonexistent PGPORT=1 PGUSER=nobody
    QUENDRIX_DATABASE=/nonexistent/q.db JYX_DEBUG_OFF=all QT_MESSAGE_PATTERN=leak
    QML2_IMPORT_PATH=/nonexistent/qml HOME=/nonexistent/home
    ${CMAKE_CTEST_COMMAND} --test-dir ${CMAKE_BINARY_DIR} -R "^test_environment_is_hermetic$"
      --output-on-failure)
set_tests_properties(test_environment_ignores_exported_variables PROPERTIES
  PASS_REGULAR_EXPRESSION "100% tests passed, 0 tests failed out of 1\n")
