# LUMIVOX_SANITIZE=address,undefined or thread builds everything, tests
# included, with those sanitizers.
if(LUMIVOX_SANITIZE)
  set(_flags -fsanitize=${LUMIVOX_SANITIZE} -fno-omit-frame-pointer)
  if(LUMIVOX_SANITIZE MATCHES "undefined")
    list(APPEND _flags -fno-sanitize-recover=undefined)
  endif()
  add_compile_options(${_flags})
  add_link_options(${_flags})
endif()
