# Reads the DLL's export and import tables with objdump -p and fails unless
# it exports exactly GetExtensionVersion, HttpExtensionProc and
# TerminateExtension, undecorated, and imports only Windows system DLLs.
# Run as: cmake -DOBJDUMP=... -DDLL=... -P check_dll.cmake
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "objdump -p ${DLL} failed: ${result}")
endif()

# Exports: the names listed under the name pointer table.
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(\t\\[ *[0-9]+\\] [^\n]*\n)*" table "${dump}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" rows "${table}")
set(exports)
foreach(row IN LISTS rows)
  string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${row}")
  list(APPEND exports "${name}")
endforeach()
list(SORT exports)
set(expected GetExtensionVersion HttpExtensionProc TerminateExtension)
if(NOT exports STREQUAL expected)
  message(FATAL_ERROR "exports are '${exports}', expected '${expected}'")
endif()

# Imports: the C runtime (msvcrt or the UCRT's api sets) and system DLLs.
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
if(NOT imports)
  message(FATAL_ERROR "no import table found in ${DLL}")
endif()
set(allowed "^(kernel32|user32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+|ntdll|advapi32)\\.dll$")
foreach(import IN LISTS imports)
  string(REGEX REPLACE "^DLL Name: " "" name "${import}")
  string(TOLOWER "${name}" lower)
  if(NOT lower MATCHES "${allowed}")
    message(FATAL_ERROR "the DLL imports ${name}, which is not a Windows system DLL")
  endif()
endforeach()
message(STATUS "exports: ${exports}; imports: ${imports}")
