# Lays out the Windows SDK folder and zips it (cmake -P, run by the ostrel_sdk target with
# SOURCE, OUTPUT, NAME, DLL, IMPORT_LIBRARY, SIM_DLL, SIM_IMPORT_LIBRARY, SIM_DEF, TOOL, OBJCOPY
# and DLLTOOL).
if(NOT DLLTOOL)
  message(FATAL_ERROR "llvm-dlltool not found: `scripts/install-deps.sh dist` installs it (Debian package llvm)")
endif()
set(root ${OUTPUT}/${NAME})
file(REMOVE_RECURSE ${root} ${OUTPUT}/${NAME}.zip)
file(MAKE_DIRECTORY ${root}/bin ${root}/lib ${root}/include ${root}/bindings)

function(run)
  execute_process(COMMAND ${ARGV} COMMAND_ERROR_IS_FATAL ANY)
endfunction()

# strip_dll(<dll> <name>): bin/<name> without its DWARF data (most of the file),
# which goes to bin/<name>.debug where debuggers find it through the debug link.
function(strip_dll dll name)
  run(${OBJCOPY} --only-keep-debug ${dll} ${root}/bin/${name}.debug)
  run(${OBJCOPY} --strip-all --add-gnu-debuglink=${root}/bin/${name}.debug ${dll} ${root}/bin/${name})
endfunction()

strip_dll(${DLL} Ostrel.dll)
run(${OBJCOPY} --strip-all ${TOOL} ${root}/bin/ostrel.exe)
# MSVC's link.exe reads only its own import library format; this one comes
# from the same .def file as MinGW's libOstrel.dll.a.
run(${DLLTOOL} -m i386:x86-64 -d ${SOURCE}/src/api/Ostrel.def -l ${root}/lib/Ostrel.lib)
file(COPY ${IMPORT_LIBRARY} DESTINATION ${root}/lib)
file(COPY ${SOURCE}/include/ostrel.h ${SOURCE}/include/ostrel.hpp DESTINATION ${root}/include)
file(COPY ${SOURCE}/bindings/Ostrel.cs DESTINATION ${root}/bindings)
file(COPY ${SOURCE}/LICENSE ${SOURCE}/packaging/windows/README-windows.md DESTINATION ${root})

# The same for the simulated bench; its table is Ostrel.def's, extended.
strip_dll(${SIM_DLL} OstrelSim.dll)
run(${DLLTOOL} -m i386:x86-64 -d ${SIM_DEF} -l ${root}/lib/OstrelSim.lib)
file(COPY ${SIM_IMPORT_LIBRARY} DESTINATION ${root}/lib)
file(COPY ${SOURCE}/include/ostrel_sim.h DESTINATION ${root}/include)
file(COPY ${SOURCE}/examples/bench.json ${SOURCE}/examples/bench_hotplug.c DESTINATION ${root}/examples)

foreach(python ostrel pyvisa_ostrel pyproject.toml)
  if(EXISTS ${SOURCE}/python/${python})
    file(COPY ${SOURCE}/python/${python} DESTINATION ${root}/python PATTERN __pycache__ EXCLUDE)
  endif()
endforeach()

execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${NAME}.zip --format=zip ${NAME}
  WORKING_DIRECTORY ${OUTPUT} COMMAND_ERROR_IS_FATAL ANY)
