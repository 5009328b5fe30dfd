# The Windows module, cross-built with mingw-w64 for the official 64-bit CPython 3.11:
# <build folder>/tq_velmor.cp311-win_amd64.pyd, importing python311.dll and Windows system DLLs only.
# Included from CMakeLists.txt when CMAKE_SYSTEM_NAME is Windows (see mingw-w64.cmake).

set(TQV_WIN ${CMAKE_CURRENT_LIST_DIR})
set(TQV_PYTHON_HEADERS /usr/include/python3.11 CACHE PATH "Generic CPython 3.11 headers (Debian's python3.11-dev)")
set(TQV_EXPORTS ${TQV_WIN}/python311-exports.txt)
# The tools run as python -m windows.pyd_tools from the checkout's root, as the tooling runs.
set(TQV_ROOT ${TQV_WIN}/..)
set(TQV_TOOLS ${TQV_WIN}/pyd_tools.py)
set(TQV_PE_READER ${TQV_ROOT}/tooling/pe.py)

# The .def generator and the checker run on the build machine.
if(Python_EXECUTABLE)
  set(TQV_HOST_PYTHON ${Python_EXECUTABLE})
else()
  find_program(TQV_HOST_PYTHON NAMES python3 python REQUIRED NO_CMAKE_FIND_ROOT_PATH)
endif()
if(NOT TQV_DLLTOOL)
  find_program(TQV_DLLTOOL NAMES x86_64-w64-mingw32-dlltool REQUIRED)
endif()

if(NOT EXISTS ${TQV_PYTHON_HEADERS}/Python.h OR NOT EXISTS ${TQV_PYTHON_HEADERS}/patchlevel.h)
  message(FATAL_ERROR "No CPython headers in ${TQV_PYTHON_HEADERS} (apt-get install python3.11-dev)")
endif()
file(STRINGS ${TQV_PYTHON_HEADERS}/patchlevel.h tqv_minor REGEX "^#define[ \t]+PY_MINOR_VERSION[ \t]+11$")
if(NOT tqv_minor)
  message(FATAL_ERROR "${TQV_PYTHON_HEADERS} holds no CPython 3.11 headers")
endif()

# Python.h includes "pyconfig.h" from its own folder before any -I folder, so the header
# tree is copied here and our Windows pyconfig.h put in place of Debian's Linux one.
# file(COPY) keeps timestamps, so a re-configure does not rebuild everything.
set(TQV_PY_INCLUDE ${CMAKE_BINARY_DIR}/python311-include)
file(COPY ${TQV_PYTHON_HEADERS}/ DESTINATION ${TQV_PY_INCLUDE} PATTERN pyconfig.h EXCLUDE)
configure_file(${TQV_WIN}/pyconfig.h ${TQV_PY_INCLUDE}/pyconfig.h COPYONLY)

add_library(tq_velmor_objects OBJECT ${TQ_VELMOR_SOURCES})
target_include_directories(tq_velmor_objects BEFORE PRIVATE ${TQV_PY_INCLUDE})
target_compile_definitions(tq_velmor_objects PRIVATE NDEBUG)
target_compile_options(tq_velmor_objects PRIVATE -Wall -Wextra -Wpedantic)
# The same module from any clone: no build path in it (__FILE__ in headers, for one).
target_compile_options(tq_velmor_objects PRIVATE
  -ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=build)

# Import library for python311.dll, made from the API names the objects actually import, so
# it never drifts from the code; a name the official DLL lacks fails here, not on Windows.
set(TQV_DEF ${CMAKE_BINARY_DIR}/python311.def)
set(TQV_IMPLIB ${CMAKE_BINARY_DIR}/libpython311.a)
add_custom_command(
  OUTPUT ${TQV_DEF} ${TQV_IMPLIB}
  COMMAND ${TQV_HOST_PYTHON} -m windows.pyd_tools def --nm ${CMAKE_NM} --exports ${TQV_EXPORTS} --out ${TQV_DEF}
          $<TARGET_OBJECTS:tq_velmor_objects>
  COMMAND ${TQV_DLLTOOL} --input-def ${TQV_DEF} --dllname python311.dll --output-lib ${TQV_IMPLIB}
  # The target name orders the build (Makefile generators know no rule for another
  # target's object files); the object files make the command rerun when one changes.
  DEPENDS tq_velmor_objects $<TARGET_OBJECTS:tq_velmor_objects> ${TQV_TOOLS} ${TQV_EXPORTS}
  WORKING_DIRECTORY ${TQV_ROOT}
  COMMENT "Import library for python311.dll"
  COMMAND_EXPAND_LISTS VERBATIM)
add_custom_target(tq_velmor_implib DEPENDS ${TQV_DEF} ${TQV_IMPLIB})

add_library(tq_velmor MODULE)
target_link_libraries(tq_velmor PRIVATE tq_velmor_objects ${TQV_IMPLIB})
add_dependencies(tq_velmor tq_velmor_implib)
set_target_properties(tq_velmor PROPERTIES
  PREFIX ""
  OUTPUT_NAME tq_velmor.cp311-win_amd64
  SUFFIX .pyd
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
# No MinGW runtime DLL beside the module; only PyInit_tq_velmor (dllexport) is exported; a
# data name reached without __declspec(dllimport) is a link error, not a silent patch-up; no
# link time in the PE header, so that the same sources give the same bytes.
target_link_options(tq_velmor PRIVATE
  -static-libgcc -static-libstdc++ -s -Wl,--no-insert-timestamp
  -Wl,--exclude-all-symbols -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc)

# Read the built file's PE headers; the stamp is written only when the check passes.
set(TQV_CHECKED ${CMAKE_BINARY_DIR}/tq_velmor.pyd.checked)
add_custom_command(
  OUTPUT ${TQV_CHECKED}
  COMMAND ${TQV_HOST_PYTHON} -m windows.pyd_tools check --def ${TQV_DEF} --exports ${TQV_EXPORTS} $<TARGET_FILE:tq_velmor>
  COMMAND ${CMAKE_COMMAND} -E touch ${TQV_CHECKED}
  DEPENDS tq_velmor $<TARGET_FILE:tq_velmor> ${TQV_DEF} ${TQV_TOOLS} ${TQV_PE_READER} ${TQV_EXPORTS}
  WORKING_DIRECTORY ${TQV_ROOT}
  COMMENT "Checking tq_velmor.cp311-win_amd64.pyd"
  VERBATIM)
add_custom_target(tq_velmor_check ALL DEPENDS ${TQV_CHECKED})

# The wheel (release/wheel.py) takes the checked module from the install step.
install(TARGETS tq_velmor LIBRARY DESTINATION .)
