# Fails unless each module of MODULES (a ;-list of "file|description") carries
# a version resource with the project version VERSION (major.minor[.patch]):
# the fixed part's file and product versions, and the strings ProductName
# "Lumivox", FileVersion, ProductVersion and the module's FileDescription.
# Read from the files themselves, as Explorer's properties read them, so it
# needs no Windows to run.
string(REPLACE "." ";" parts "${VERSION}")
list(APPEND parts 0 0 0)
list(SUBLIST parts 0 4 parts)
list(GET parts 0 major)
list(GET parts 1 minor)
list(GET parts 2 patch)
list(GET parts 3 tweak)

# A 32-bit little-endian word as the eight hex digits file(READ HEX) gives.
function(hex_word high low out)
  math(EXPR value "(${high} << 16) | ${low}" OUTPUT_FORMAT HEXADECIMAL)
  string(REGEX REPLACE "^0x" "" value "${value}")
  string(LENGTH "${value}" length)
  math(EXPR pad "8 - ${length}")
  string(REPEAT "0" ${pad} zeros)
  set(value "${zeros}${value}")
  string(REGEX REPLACE "(..)(..)(..)(..)" "\\4\\3\\2\\1" value "${value}")
  set(${out} ${value} PARENT_SCOPE)
endfunction()
hex_word(${major} ${minor} ms)
hex_word(${patch} ${tweak} ls)
# VS_FIXEDFILEINFO: signature, structure version, file version (MS, LS),
# product version (MS, LS).
set(fixed "bd04effe00000100${ms}${ls}${ms}${ls}")

# The hex digits of text (ASCII) as UTF-16LE, in file(READ HEX)'s form.
function(utf16_hex text out)
  string(HEX "${text}" digits)
  string(REGEX REPLACE "(..)" "\\100" digits "${digits}")
  set(${out} ${digits} PARENT_SCOPE)
endfunction()

foreach(module IN LISTS MODULES)
  string(REPLACE "|" ";" module "${module}")
  list(GET module 0 file)
  list(GET module 1 description)
  file(READ ${file} hex HEX)
  string(FIND "${hex}" "${fixed}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${file}: no version resource with version ${VERSION}")
  endif()
  foreach(pair IN ITEMS "ProductName|Lumivox" "FileVersion|${VERSION}"
                        "ProductVersion|${VERSION}" "FileDescription|${description}")
    string(REPLACE "|" ";" pair "${pair}")
    list(GET pair 0 key)
    list(GET pair 1 value)
    utf16_hex("${key}" key_hex)
    utf16_hex("${value}" value_hex)
    # A string entry: the key, its terminator, padding to four bytes, the
    # value and its terminator.
    string(REGEX MATCH "${key_hex}0000(0000)?${value_hex}0000" found "${hex}")
    if(NOT found)
      message(FATAL_ERROR "${file}: no ${key} '${value}' in the version resource")
    endif()
  endforeach()
  message(STATUS "${file}: ${VERSION}, ${description}")
endforeach()
