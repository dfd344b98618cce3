# Regenerates the example firmware images into SCRATCH and compares each with
# the copy kept in KEPT.
file(REMOVE_RECURSE ${SCRATCH})
# EMULATOR: how a cross-built generator runs here (empty for a native build).
execute_process(COMMAND ${EMULATOR} ${GENERATOR} ${SCRATCH} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "make_example_station failed: ${rc}")
endif()
foreach(name burner.bin rdtparam.bin sysfw.bin rdtfw.bin spi.bin)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${SCRATCH}/${name} ${KEPT}/${name}
                  RESULT_VARIABLE differs)
  if(differs)
    message(FATAL_ERROR "examples/station/Firmware/${name} is not what make_example_station writes; regenerate it")
  endif()
endforeach()
