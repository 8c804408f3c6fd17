# Fails when a core file includes a Python header or anything of the binding layer.
#   cmake -DROOT=<source tree> -P scripts/check_core_includes.cmake
# The core is every file under src/ outside src/lib. It may include the C++ standard library
# (<name>, no ".h") and files of the core folders ("board/board.hpp"); nothing else.

file(GLOB core_folders LIST_DIRECTORIES true RELATIVE "${ROOT}/src" "${ROOT}/src/*")
list(REMOVE_ITEM core_folders lib)
list(JOIN core_folders "|" allowed)

file(GLOB_RECURSE files RELATIVE "${ROOT}" "${ROOT}/src/*")
list(FILTER files EXCLUDE REGEX "^src/lib/")
set(broken "")
foreach(file IN LISTS files)
  file(STRINGS "${ROOT}/${file}" includes REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS includes)
    if(line MATCHES "<[^>]*\\.h>" OR (line MATCHES "\"" AND NOT line MATCHES "\"(${allowed})/[^/\"]+\""))
      list(APPEND broken "  ${file}: ${line}")
    endif()
  endforeach()
endforeach()

if(broken)
  list(JOIN broken "\n" lines)
  message(FATAL_ERROR "core files include what only src/lib may (a Python header, a C header or "
                      "a file outside the core folders):\n${lines}")
endif()
