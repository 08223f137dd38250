# Removes what `cmake --install` puts from the build tree BUILD under PREFIX,
# and DESTDIR from the environment: it installs once more into a scratch
# folder to learn the files, removes each of them, then the package's own
# folder of documents if nothing else is left in it.
set(scratch "${BUILD}/uninstall-scratch")
file(REMOVE_RECURSE "${scratch}")
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${scratch}
          ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX}
  OUTPUT_QUIET RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot learn what the install puts: build first")
endif()
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${scratch}"
     "${scratch}/*")
foreach(file IN LISTS installed)
  set(path "$ENV{DESTDIR}/${file}")
  if(EXISTS "${path}" OR IS_SYMLINK "${path}")
    file(REMOVE "${path}")
    message(STATUS "Removed: ${path}")
  endif()
endforeach()
file(GLOB documents "$ENV{DESTDIR}${PREFIX}/share/doc/${PACKAGE}/*")
if(NOT documents)
  file(REMOVE_RECURSE "$ENV{DESTDIR}${PREFIX}/share/doc/${PACKAGE}")
endif()
file(REMOVE_RECURSE "${scratch}")
