# Applies ZYLAVI_SANITIZE to every target defined after this point.
if(ZYLAVI_SANITIZE)
  string(REPLACE ";" "," _zyl_san "${ZYLAVI_SANITIZE}")
  add_compile_options(-fsanitize=${_zyl_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_zyl_san})
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC's flow analysis reports false "maybe uninitialized" in sanitizer-instrumented
    # library code (std::regex, std::function).
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()
