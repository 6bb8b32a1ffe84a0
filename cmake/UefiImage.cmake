# ftpm_uefi_object_library(NAME <target> SOURCES ...)
# ftpm_uefi_image(NAME <out.efi> SUBSYSTEM <efi subsystem> ENTRY <symbol> SOURCES ... [LIBRARIES <target>...])
#
# Compiles SOURCES freestanding and links them, with the objects of the
# LIBRARIES made by ftpm_uefi_object_library, with lld-link into a PE32+
# image. /nodefaultlib means that any use of a C or C++ runtime by the sources
# is an unresolved symbol, so the build fails.
#
# Size: a driver's image lives in a firmware volume where every kilobyte
# counts (budget: 16 KiB, checked by the size test of the host build).
# -Oz with link-time optimisation lets the linker inline and drop across
# modules; /align:32 /filealign:32 (with /driver, which lld-link asks for
# before it accepts a section alignment below a page) stops each of the four
# sections from being padded to 512 bytes in the file and 4 KiB in memory.
# The firmware's PE/COFF loader takes any power-of-two alignment for a
# boot-service driver (OVMF runs this one in the QEMU tests); what it cannot
# do is give the sections page-granular memory protections. Runtime drivers
# would need 4 KiB. /merge:.rdata=.text puts the constant data beside the
# code, as EDK II's GCC builds do: one section header and one section's
# padding less, and nothing the loader treats differently, since a sub-page
# alignment gets no per-section protection anyway.
#
# Reproducible bytes: /timestamp:0 puts 0 where the PE header would carry the
# link time (/Brepro would put a hash there, at the cost of a 28-byte debug
# directory), so two builds of one commit give the same image, firmware file
# and volume (tests/packaging/check_reproducible.py).
find_program(FTPM_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)

# CMake adds no depfile flags for this cross target, so Ninja would not see
# header changes and would link objects built against an older header.
set(CMAKE_DEPFILE_FLAGS_C "-MD -MT <DEP_TARGET> -MF <DEP_FILE>")
set(CMAKE_DEPFILE_FLAGS_CXX "-MD -MT <DEP_TARGET> -MF <DEP_FILE>")

set(FTPM_UEFI_COMPILE_OPTIONS
    --target=x86_64-unknown-windows
    -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -mno-red-zone -fshort-wchar -fno-stack-protector -mno-stack-arg-probe
    -fno-unwind-tables -fno-asynchronous-unwind-tables
    -ffunction-sections -fdata-sections
    -Oz -flto -Wall -Wextra -Werror)

function(ftpm_uefi_object_library)
  cmake_parse_arguments(ARG "" "NAME" "SOURCES" ${ARGN})
  add_library(${ARG_NAME} OBJECT ${ARG_SOURCES})
  target_include_directories(${ARG_NAME} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${ARG_NAME} PRIVATE ${FTPM_UEFI_COMPILE_OPTIONS})
endfunction()

function(ftpm_uefi_image)
  cmake_parse_arguments(ARG "" "NAME;SUBSYSTEM;ENTRY" "SOURCES;LIBRARIES" ${ARGN})
  set(objects ${ARG_NAME}_objects)
  ftpm_uefi_object_library(NAME ${objects} SOURCES ${ARG_SOURCES})
  set(library_objects "")
  foreach(library ${ARG_LIBRARIES})
    list(APPEND library_objects $<TARGET_OBJECTS:${library}>)
  endforeach()
  set(image ${CMAKE_CURRENT_BINARY_DIR}/${ARG_NAME}.efi)
  add_custom_command(
    OUTPUT ${image} ${CMAKE_CURRENT_BINARY_DIR}/${ARG_NAME}.map
    COMMAND ${FTPM_LLD_LINK} /nologo /nodefaultlib /machine:x64
            /subsystem:${ARG_SUBSYSTEM} /entry:${ARG_ENTRY}
            /opt:ref /opt:icf /debug:none /align:32 /filealign:32 /driver /timestamp:0 /merge:.rdata=.text
            /map:${CMAKE_CURRENT_BINARY_DIR}/${ARG_NAME}.map
            /out:${image} $<TARGET_OBJECTS:${objects}> ${library_objects}
    DEPENDS ${objects} $<TARGET_OBJECTS:${objects}> ${ARG_LIBRARIES} ${library_objects}
    COMMAND_EXPAND_LISTS
    COMMENT "Linking UEFI image ${ARG_NAME}.efi")
  add_custom_target(${ARG_NAME} ALL DEPENDS ${image})
endfunction()
