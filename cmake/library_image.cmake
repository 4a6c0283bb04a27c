# Carries the built libxl.so inside a program as read-only data
# (embeddedLibraryImage(), app/library_image.h). The copy of the generated
# assembly depends on the target xl, so the .incbin is assembled again, and
# the program relinked, whenever the library is.
enable_language(ASM)

function(quorvane_embed_library target)
  set(dir ${CMAKE_CURRENT_BINARY_DIR})
  file(GENERATE OUTPUT ${dir}/library_image.S.template INPUT ${CMAKE_SOURCE_DIR}/app/library_image.S.in)
  add_custom_command(OUTPUT ${dir}/library_image.S
    COMMAND ${CMAKE_COMMAND} -E copy ${dir}/library_image.S.template ${dir}/library_image.S
    DEPENDS xl ${dir}/library_image.S.template
    COMMENT "Embedding libxl.so")
  target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/app/library_image.cpp ${dir}/library_image.S)
  add_dependencies(${target} xl)
endfunction()
