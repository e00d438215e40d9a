# SANITIZE=address,undefined or SANITIZE=thread instruments every target.
set(SANITIZE "" CACHE STRING "Sanitizers to build with (address,undefined | thread)")

# Host programs from the system (openssl, qml) are not instrumented. A test that makes
# one of them load an instrumented module runs it with SANITIZER_HOST_ENV in its
# environment, which preloads the sanitizer runtime.
set(SANITIZER_HOST_ENV "")
if(SANITIZE)
  add_compile_options(-fsanitize=${SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=${SANITIZE})
  if(SANITIZE MATCHES "address")
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                    OUTPUT_VARIABLE _asan_rt OUTPUT_STRIP_TRAILING_WHITESPACE)
    # Uninstrumented hosts keep their own allocations until exit; their leaks are not ours.
    set(SANITIZER_HOST_ENV "LD_PRELOAD=${_asan_rt};ASAN_OPTIONS=detect_leaks=0")
  elseif(SANITIZE MATCHES "thread")
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libtsan.so
                    OUTPUT_VARIABLE _tsan_rt OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(SANITIZER_HOST_ENV "LD_PRELOAD=${_tsan_rt}")
  endif()
endif()
