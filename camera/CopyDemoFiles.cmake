# Copies the demo files from SRC to DST, keeping any file that is already there.
file(GLOB demo_files "${SRC}/simulated-head.ini" "${SRC}/_calibration_*.kvtcal")
foreach(f ${demo_files})
  get_filename_component(name ${f} NAME)
  if(NOT EXISTS "${DST}/${name}")
    file(COPY ${f} DESTINATION ${DST})
  endif()
endforeach()
