# The message catalogs: every po/LANG.po is checked and compiled into
# LOCALE/LANG/LC_MESSAGES/korvo-restore.mo below the build folder (where the
# program built here finds them, beside itself) and installed under the
# system's locale folder. The build fails on any catalog error, and on a
# translation that lost or changed a "{}" field of its English text.
find_program(KORVO_MSGFMT msgfmt REQUIRED)
find_program(KORVO_MSGMERGE msgmerge REQUIRED)

file(STRINGS ${CMAKE_SOURCE_DIR}/po/LINGUAS KORVO_LANGUAGES REGEX "^[^#]")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/po/LINGUAS)

# Checks the placeholders of compiled catalogs; run at build time and by the test.
add_executable(korvo-po-check tools/po_check.cpp)

set(KORVO_LOCALE_BUILD_DIR ${CMAKE_BINARY_DIR}/locale)
set(korvo_catalogs)
set(korvo_po_files)
foreach(language IN LISTS KORVO_LANGUAGES)
  set(po ${CMAKE_SOURCE_DIR}/po/${language}.po)
  set(mo ${KORVO_LOCALE_BUILD_DIR}/${language}/LC_MESSAGES/korvo-restore.mo)
  add_custom_command(OUTPUT ${mo}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${KORVO_LOCALE_BUILD_DIR}/${language}/LC_MESSAGES
                     COMMAND ${KORVO_MSGFMT} --check -o ${mo}.tmp ${po}
                     COMMAND $<TARGET_FILE:korvo-po-check> ${mo}.tmp
                     COMMAND ${CMAKE_COMMAND} -E rename ${mo}.tmp ${mo}
                     DEPENDS ${po} korvo-po-check
                     COMMENT "Checking and compiling the ${language} catalog"
                     VERBATIM)
  list(APPEND korvo_catalogs ${mo})
  list(APPEND korvo_po_files ${po})
  install(FILES ${mo} DESTINATION ${CMAKE_INSTALL_LOCALEDIR}/${language}/LC_MESSAGES)
endforeach()
add_custom_target(korvo_catalogs ALL DEPENDS ${korvo_catalogs})
add_dependencies(korvo_core korvo_catalogs)
target_compile_definitions(korvo_core PRIVATE KORVO_LOCALEDIR="${CMAKE_INSTALL_FULL_LOCALEDIR}")

# The portable program carries its catalogs inside.
option(KORVO_EMBED_CATALOGS "Build the catalogs into the program (the portable one)" ${KORVO_PORTABLE})
if(KORVO_EMBED_CATALOGS)
  set(embedded ${CMAKE_BINARY_DIR}/generated/embedded_catalogs.hpp)
  add_custom_command(OUTPUT ${embedded}
                     COMMAND ${CMAKE_COMMAND} -DOUTPUT=${embedded} -DLOCALE_DIR=${KORVO_LOCALE_BUILD_DIR}
                             "-DLANGUAGES=${KORVO_LANGUAGES}" -P ${CMAKE_SOURCE_DIR}/po/embed.cmake
                     DEPENDS ${korvo_po_files} ${CMAKE_SOURCE_DIR}/po/embed.cmake
                     VERBATIM)
  # The .mo files are korvo_catalogs' outputs: waited for, not rebuilt here.
  add_custom_target(korvo_embedded_catalogs DEPENDS ${embedded})
  add_dependencies(korvo_embedded_catalogs korvo_catalogs)
  add_dependencies(korvo_core korvo_embedded_catalogs)
  target_include_directories(korvo_core PRIVATE ${CMAKE_BINARY_DIR}/generated)
  target_compile_definitions(korvo_core PRIVATE KORVO_EMBEDDED_CATALOGS)
  set_source_files_properties(${CMAKE_SOURCE_DIR}/src/restore_cli/language.cpp PROPERTIES OBJECT_DEPENDS ${embedded})
endif()

# The template from the sources, and every catalog merged with it:
#   cmake --build build --target korvo-pot        (po/korvo-restore.pot)
#   cmake --build build --target korvo-po-update  (then po/LANG.po)
add_custom_target(korvo-pot COMMAND ${CMAKE_SOURCE_DIR}/po/make-pot WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} VERBATIM)
set(korvo_merges)
foreach(language IN LISTS KORVO_LANGUAGES)
  list(APPEND korvo_merges COMMAND ${KORVO_MSGMERGE} --quiet --update --backup=none
       ${CMAKE_SOURCE_DIR}/po/${language}.po ${CMAKE_SOURCE_DIR}/po/korvo-restore.pot)
endforeach()
add_custom_target(korvo-po-update ${korvo_merges} DEPENDS korvo-pot VERBATIM)
