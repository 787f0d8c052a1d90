# Writes OUTPUT from the factory configuration INPUT with its relative
# LogFile, ErrFile and AccessLog names placed in LOG_DIR; every other line
# is kept.
#   cmake -DINPUT=... -DOUTPUT=... -DLOG_DIR=... -P fhs_config.cmake
foreach(var INPUT OUTPUT LOG_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "fhs_config.cmake: ${var} is not set")
  endif()
endforeach()

file(READ ${INPUT} text)
# A leading newline lets every key match at a line start, the first included.
set(text "\n${text}")
foreach(key LogFile ErrFile AccessLog)
  string(REGEX MATCHALL "\n${key}=[^\n]*" found "${text}")
  list(LENGTH found count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "${INPUT}: expected one ${key}= line, found ${count}")
  endif()
  string(REGEX REPLACE "\n${key}=([^/\n][^\n]*)" "\n${key}=${LOG_DIR}/\\1" text "${text}")
endforeach()
string(SUBSTRING "${text}" 1 -1 text)
file(WRITE ${OUTPUT} "${text}")
