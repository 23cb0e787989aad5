# Builds the extension module once per Python interpreter.
#
# Under scikit-build-core (SKBUILD set, see pyproject.toml) the interpreter is the one running the
# build, and the install rules at the end put the module and its stub into the wheel; otherwise
# FINITEMU_PYTHONS lists them, or every CPython >= 3.11 with headers is found under pyenv and /usr/bin.
# Each build lands in ${CMAKE_BINARY_DIR}/python/<tag>/ (tag: cp311, cp312, ...) once it is built,
# and FINITEMU_PYTHON_TAGS / FINITEMU_PYTHON_EXE_<tag> describe them for the tests.

# The Python side, src/boundary: the module definition and function table, argument binding and
# conversion, result builders, error values and the texts callers match.
set(FINITEMU_MODULE_SOURCES
    ${CMAKE_SOURCE_DIR}/src/boundary/arguments.cpp
    ${CMAKE_SOURCE_DIR}/src/boundary/converters.cpp
    ${CMAKE_SOURCE_DIR}/src/boundary/errors.cpp
    ${CMAKE_SOURCE_DIR}/src/boundary/messages.cpp
    ${CMAKE_SOURCE_DIR}/src/boundary/module.cpp
    ${CMAKE_SOURCE_DIR}/src/boundary/names.cpp
    ${CMAKE_SOURCE_DIR}/src/boundary/results.cpp)

function(finitemu_add_python_module exe)
    execute_process(
        COMMAND ${exe} -c "import sys, sysconfig; print(f'cp{sys.version_info[0]}{sys.version_info[1]}'); print(sys.version_info[0]*100+sys.version_info[1]); print(sysconfig.get_paths()['include']); print(sysconfig.get_config_var('EXT_SUFFIX'))"
        OUTPUT_VARIABLE info RESULT_VARIABLE rc ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT rc EQUAL 0)
        message(STATUS "finitemu: skipping ${exe} (cannot run it)")
        return()
    endif()
    string(REPLACE "\n" ";" info "${info}")
    list(GET info 0 tag)
    list(GET info 1 version)
    list(GET info 2 include_dir)
    list(GET info 3 suffix)
    if(version LESS 311 OR NOT EXISTS "${include_dir}/Python.h")
        message(STATUS "finitemu: skipping ${exe} (${tag}: needs CPython >= 3.11 with headers)")
        return()
    endif()
    if(TARGET finitemu_${tag})
        return()
    endif()
    add_library(finitemu_${tag} MODULE ${FINITEMU_MODULE_SOURCES})
    target_include_directories(finitemu_${tag} SYSTEM PRIVATE ${include_dir})
    target_include_directories(finitemu_${tag} PRIVATE ${CMAKE_SOURCE_DIR}/src)
    target_compile_options(finitemu_${tag} PRIVATE ${FINITEMU_WARNINGS})
    target_link_libraries(finitemu_${tag} PRIVATE finitemu_core)
    # Linked in modules/ (each interpreter's suffix differs), then copied to python/<tag>/: the
    # folder appears when the module is built, not empty at configure time as an output directory
    # would, so that a folder on PYTHONPATH always holds a module.
    set_target_properties(finitemu_${tag} PROPERTIES
        PREFIX "" OUTPUT_NAME finitemu SUFFIX "${suffix}"
        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/modules)
    add_custom_command(TARGET finitemu_${tag} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/python/${tag}
        COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:finitemu_${tag}>
                ${CMAKE_BINARY_DIR}/python/${tag}/
        VERBATIM)
    set(FINITEMU_PYTHON_EXE_${tag} ${exe} PARENT_SCOPE)
    set(FINITEMU_PYTHON_TAGS ${FINITEMU_PYTHON_TAGS} ${tag} PARENT_SCOPE)
    message(STATUS "finitemu: building the module for ${exe} (${tag})")
endfunction()

set(FINITEMU_PYTHON_TAGS "")
if(DEFINED SKBUILD)
    find_package(Python REQUIRED COMPONENTS Interpreter Development.Module)
    set(candidates ${Python_EXECUTABLE})
elseif(FINITEMU_PYTHONS)
    set(candidates ${FINITEMU_PYTHONS})
else()
    set(pyenv_root "$ENV{PYENV_ROOT}")
    if(NOT pyenv_root)
        set(pyenv_root "$ENV{HOME}/.pyenv")
    endif()
    file(GLOB candidates LIST_DIRECTORIES false "${pyenv_root}/versions/3.1[2-9]*/bin/python3")
    list(SORT candidates COMPARE NATURAL)
    if(EXISTS /usr/bin/python3)
        list(APPEND candidates /usr/bin/python3)
    endif()
endif()
foreach(exe IN LISTS candidates)
    finitemu_add_python_module(${exe})
endforeach()
if(NOT FINITEMU_PYTHON_TAGS)
    message(WARNING "finitemu: no suitable Python interpreter found; the module is not built")
else()
    list(GET FINITEMU_PYTHON_TAGS 0 first_tag)
    add_custom_target(example
        COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${CMAKE_BINARY_DIR}/python/${first_tag}
                ${FINITEMU_PYTHON_EXE_${first_tag}} ${CMAKE_SOURCE_DIR}/examples/light_curve.py
        DEPENDS finitemu_${first_tag}
        WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
        USES_TERMINAL)
endif()
if(DEFINED SKBUILD)
    # A wheel holds the module and its stub side by side at the top of site-packages (component
    # "python", the only one pyproject.toml installs): type checkers read finitemu.pyi beside
    # finitemu*.so for a single-module extension.
    if(NOT FINITEMU_PYTHON_TAGS)
        message(FATAL_ERROR "finitemu: ${Python_EXECUTABLE} cannot build the module")
    endif()
    if(DEFINED SKBUILD_PROJECT_VERSION AND NOT SKBUILD_PROJECT_VERSION VERSION_EQUAL PROJECT_VERSION)
        message(FATAL_ERROR "finitemu: pyproject.toml says version ${SKBUILD_PROJECT_VERSION}, "
                            "CMakeLists.txt ${PROJECT_VERSION}")
    endif()
    install(TARGETS finitemu_${FINITEMU_PYTHON_TAGS} LIBRARY DESTINATION . COMPONENT python)
    install(FILES ${CMAKE_SOURCE_DIR}/src/finitemu.pyi DESTINATION . COMPONENT python)
endif()
