# cmake -DSRC_FILES="a;b" -DSRC_DIRS="dir" -DDEST=dir -P CopyIfMissing.cmake
# Copies each file (and each file of each directory) into DEST unless a file of that
# name is already there, so copies the user has edited survive a rebuild.
set(files ${SRC_FILES})
foreach(dir ${SRC_DIRS})
  if(IS_DIRECTORY "${dir}")
    file(GLOB found LIST_DIRECTORIES false "${dir}/*")
    list(APPEND files ${found})
  endif()
endforeach()
foreach(f ${files})
  get_filename_component(name "${f}" NAME)
  if(EXISTS "${f}" AND NOT EXISTS "${DEST}/${name}")
    file(COPY "${f}" DESTINATION "${DEST}")
  endif()
endforeach()
