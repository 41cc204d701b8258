# Applies ZYLAVI_SANITIZE to every target defined after this point.
if(ZYLAVI_SANITIZE)
  string(REPLACE ";" "," _zyl_san "${ZYLAVI_SANITIZE}")
  add_compile_options(-fsanitize=${_zyl_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_zyl_san})
endif()
