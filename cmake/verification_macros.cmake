# The results-dumping macros are Python scripts that run inside KLayout; the module holds their
# text and writes it into each check's working directory. Edits to the scripts rebuild it.
function(whistle_embed_macros target)
  foreach(kind drc lvs)
    string(TOUPPER "${kind}" upper)
    string(SUBSTRING "${upper}" 0 1 first)
    string(SUBSTRING "${kind}" 1 -1 rest)
    set(input "${WHISTLE_ROOT}/core/verification/dump_${kind}.py")
    set(output "${CMAKE_BINARY_DIR}/generated/dump_${kind}.cpp")
    add_custom_command(OUTPUT "${output}"
      COMMAND "${CMAKE_COMMAND}" -DINPUT=${input} -DOUTPUT=${output} -DNAME=k${first}${rest}DumpMacro
        -P "${WHISTLE_ROOT}/cmake/embed_text.cmake"
      DEPENDS "${input}" "${WHISTLE_ROOT}/cmake/embed_text.cmake" VERBATIM)
    target_sources(${target} PRIVATE "${output}")
  endforeach()
endfunction()
