# cmake -DIN=file -DOUT=file.gz -DGZIP=/bin/gzip -P gzip-file.cmake
# Compresses IN the way Debian wants documentation: best compression, and no
# name or time stamp in the header, so the result depends on the content only.
foreach(var IN ITEMS IN OUT GZIP)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "gzip-file.cmake: ${var} is not set")
  endif()
endforeach()
execute_process(COMMAND "${GZIP}" -9 -n -c "${IN}"
                OUTPUT_FILE "${OUT}.tmp"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE "${OUT}.tmp")
  message(FATAL_ERROR "gzip-file.cmake: gzip failed on ${IN}: ${result}")
endif()
file(RENAME "${OUT}.tmp" "${OUT}")
