# cmake -DDEST=DIR -DFILES=a;b -DEXTRA=c -P link_files.cmake: links each
# existing file into DIR under its own name (replacing an older link).
foreach(file ${FILES} ${EXTRA})
  if(EXISTS ${file})
    get_filename_component(name ${file} NAME)
    file(CREATE_LINK ${file} ${DEST}/${name} SYMBOLIC)
  endif()
endforeach()
