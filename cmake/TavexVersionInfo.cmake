# Gives a program or library its version strings as an ELF note: section
# ".note.package", owner "FDO", type 0xcafe1a7e, JSON payload. cTavexVersion
# reads the strings back from the file on disk under their Windows key names.
#
#   tavex_version_info(<target>
#       [FILE_DESCRIPTION <text>] [PRODUCT_NAME <text>] [PRODUCT_VERSION <text>]
#       [FILE_VERSION <text>] [COMMENTS <text>] [INTERNAL_NAME <text>]
#       [COMPANY_NAME <text>] [LEGAL_COPYRIGHT <text>] [LEGAL_TRADEMARKS <text>]
#       [PRIVATE_BUILD <text>] [ORIGINAL_FILENAME <text>] [SPECIAL_BUILD <text>]
#       [OMIT <KEY>...] [PAYLOAD_JSON <json>])
#
# Unset keys take the defaults below; OMIT leaves keys out entirely (e.g.
# OMIT Comments). PAYLOAD_JSON replaces the whole payload (tests use it for
# resources with several translations).

set(TAVEX_PRODUCT_NAME "TAVEX" CACHE STRING "Product name stored in every binary")
set(TAVEX_COMPANY_NAME "Tarnwell" CACHE STRING "Company name stored in every binary")
set(TAVEX_TRANSLATION "040904B0" CACHE STRING "Language and code page of the version strings")

function(_tavex_json_quote out text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  string(REPLACE "\n" "\\n" text "${text}")
  string(REPLACE "\t" "\\t" text "${text}")
  set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

function(tavex_version_info target)
  set(keys FILE_DESCRIPTION PRODUCT_NAME PRODUCT_VERSION FILE_VERSION COMMENTS
           INTERNAL_NAME COMPANY_NAME LEGAL_COPYRIGHT LEGAL_TRADEMARKS
           PRIVATE_BUILD ORIGINAL_FILENAME SPECIAL_BUILD PAYLOAD_JSON)
  cmake_parse_arguments(PARSE_ARGV 1 V "" "${keys}" "OMIT")

  if(DEFINED V_PAYLOAD_JSON)
    set(json "${V_PAYLOAD_JSON}")
  else()
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      set(default_file "${target}")
    else()
      set(default_file "lib${target}.so")
    endif()
    # Windows key name, argument name, default value
    set(table
      "FileVersion|FILE_VERSION|${PROJECT_VERSION}"
      "FileDescription|FILE_DESCRIPTION|${target}"
      "Comments|COMMENTS|"
      "InternalName|INTERNAL_NAME|${target}"
      "ProductName|PRODUCT_NAME|${TAVEX_PRODUCT_NAME}"
      "CompanyName|COMPANY_NAME|${TAVEX_COMPANY_NAME}"
      "LegalCopyright|LEGAL_COPYRIGHT|Copyright (C) ${TAVEX_COMPANY_NAME}"
      "ProductVersion|PRODUCT_VERSION|${PROJECT_VERSION}"
      "LegalTradeMarks|LEGAL_TRADEMARKS|"
      "PrivateBuild|PRIVATE_BUILD|"
      "OriginalFileName|ORIGINAL_FILENAME|${default_file}"
      "SpecialBuild|SPECIAL_BUILD|")
    set(strings "{}")
    foreach(row IN LISTS table)
      string(REPLACE "|" ";" row "${row}")
      list(GET row 0 winkey)
      list(GET row 1 arg)
      list(LENGTH row n)
      set(value "")
      if(n GREATER 2)
        list(GET row 2 value)
      endif()
      if(DEFINED V_${arg})
        set(value "${V_${arg}}")
      endif()
      if(winkey IN_LIST V_OMIT OR value STREQUAL "")
        continue()
      endif()
      _tavex_json_quote(q "${value}")
      string(JSON strings SET "${strings}" "${winkey}" "${q}")
    endforeach()
    _tavex_json_quote(qname "${target}")
    _tavex_json_quote(qver "${PROJECT_VERSION}")
    _tavex_json_quote(qtr "${TAVEX_TRANSLATION}")
    set(json "{}")
    string(JSON json SET "${json}" "type" "\"tavex\"")
    string(JSON json SET "${json}" "name" "${qname}")
    string(JSON json SET "${json}" "version" "${qver}")
    string(JSON json SET "${json}" "VarFileInfo" "{\"Translation\":[${qtr}]}")
    string(JSON json SET "${json}" "StringFileInfo" "{}")
    string(JSON json SET "${json}" "StringFileInfo" "${TAVEX_TRANSLATION}" "${strings}")
  endif()

  # Escape for a .ascii directive of the assembler.
  string(REPLACE "\\" "\\\\" asm_text "${json}")
  string(REPLACE "\"" "\\\"" asm_text "${asm_text}")
  string(REPLACE "\n" " " asm_text "${asm_text}")
  set(source "${CMAKE_CURRENT_BINARY_DIR}/${target}_version_note.S")
  file(CONFIGURE OUTPUT "${source}" CONTENT [=[
    .section .note.package,"a",@note
    .balign 4
    .long 4
    .long 2f - 1f
    .long 0xcafe1a7e
    .asciz "FDO"
1:  .asciz "@asm_text@"
2:  .balign 4
    .section .note.GNU-stack,"",@progbits
]=] @ONLY)
  target_sources(${target} PRIVATE "${source}")
endfunction()
