# Fails when a test would see a variable from the user's environment, or a user folder
# outside the build tree. ROOT: the test environment's folder in the build tree.
execute_process(COMMAND "${CMAKE_COMMAND}" -E environment OUTPUT_VARIABLE environment)
string(REGEX MATCHALL "\n(ZEPHYN_|CRYPTOAPI_|OPENSSL_|PG|QUENDRIX_|JYX_|QT_|QML2_)[A-Za-z0-9_]*=[^\n]*"
       leaks "\n${environment}")
if(leaks)
  message(FATAL_ERROR "variables from the caller reach the tests:${leaks}")
endif()
foreach(name HOME XDG_DATA_HOME XDG_CONFIG_HOME XDG_CACHE_HOME XDG_STATE_HOME XDG_RUNTIME_DIR
             QML_DISK_CACHE_PATH)
  string(FIND "$ENV{${name}}/" "${ROOT}/" at)
  if(NOT at EQUAL 0)
    message(FATAL_ERROR "${name} is '$ENV{${name}}', outside ${ROOT}")
  endif()
endforeach()
message(STATUS "the test environment is hermetic")
