# Installs the build into a fresh prefix and checks what lands where:
#   cmake -DBUILD_DIR=... -DPREFIX=... -P install_check.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE installed OUTPUT_QUIET)
if(NOT installed EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${installed}")
endif()
foreach(expected
    bin/vqflow
    share/man/man1/vqflow.1
    share/vqflow/sdk/python/vqflow_app.py
    share/doc/vqflow/playbooks.md
    share/doc/vqflow/README.md
    share/doc/vqflow/examples/playbooks/triage.json)
  if(NOT EXISTS ${PREFIX}/${expected})
    message(FATAL_ERROR "not installed: ${expected}")
  endif()
endforeach()
execute_process(COMMAND ${PREFIX}/bin/vqflow --version OUTPUT_VARIABLE version RESULT_VARIABLE ran)
if(NOT ran EQUAL 0 OR NOT version MATCHES "^vqflow ")
  message(FATAL_ERROR "the installed vqflow does not run: ${ran} ${version}")
endif()
file(READ ${PREFIX}/share/man/man1/vqflow.1 page)
if(NOT page MATCHES "^\\.TH VQFLOW 1" OR NOT page MATCHES "vqflow validate")
  message(FATAL_ERROR "the installed manual page is not the generated one")
endif()
file(REMOVE_RECURSE ${PREFIX})
