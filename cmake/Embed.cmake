# halcyne_embed_bytes(<out.cpp> <symbol> <input file>)
# Writes a source file that defines `extern const unsigned char <symbol>[]` and `<symbol>_size`
# holding the bytes of the input file. Regenerated whenever the input changes.
function(halcyne_embed_bytes out symbol input)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${input} -DOUTPUT=${out} -DSYMBOL=${symbol}
            -P ${PROJECT_SOURCE_DIR}/cmake/EmbedBytes.cmake
    DEPENDS ${input} ${PROJECT_SOURCE_DIR}/cmake/EmbedBytes.cmake
    COMMENT "Embedding ${input}"
    VERBATIM)
endfunction()
