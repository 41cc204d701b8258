# Applies the project's warning set to a target.
function(zylavi_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                                           -Wcast-align -Woverloaded-virtual
                                           -Wimplicit-fallthrough)
  if(ZYLAVI_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
