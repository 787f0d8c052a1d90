# Sanitizer builds. AddressSanitizer + UndefinedBehaviorSanitizer and
# ThreadSanitizer cannot share one process, so they are separate builds.
option(VALDRIN_TSAN "Build with ThreadSanitizer" OFF)

if(VALDRIN_SANITIZE AND VALDRIN_TSAN)
  message(FATAL_ERROR "VALDRIN_SANITIZE and VALDRIN_TSAN exclude each other; configure one build directory for each")
endif()

if(VALDRIN_SANITIZE)
  set(_san -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_compile_options(${_san})
  add_link_options(${_san})
endif()

if(VALDRIN_TSAN)
  # -O1 keeps reports readable while the instrumented code stays fast enough
  # for the end-to-end tests; it overrides the build type's level.
  set(_san -fsanitize=thread -fno-omit-frame-pointer)
  add_compile_options(${_san} -O1 -g)
  add_link_options(${_san})
endif()
