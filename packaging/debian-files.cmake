# Run by CPack on the package's staging tree, after the install and before the packing: adds what
# Debian wants of every package and that an install elsewhere (cmake --install) has no use for.
set(root ${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
set(doc ${root}/share/doc/${CPACK_PACKAGE_NAME})
file(COPY ${CPACK_TINTOREL_PACKAGING_DIR}/copyright DESTINATION ${doc})
file(COPY ${CPACK_TINTOREL_PACKAGING_DIR}/changelog DESTINATION ${doc})
# Debian keeps manual pages and changelogs compressed, without a time stamp in the header so that
# the same sources make the same package.
file(GLOB pages ${root}/share/man/man*/*)
foreach(file IN LISTS pages ITEMS ${doc}/changelog)
    execute_process(COMMAND gzip -9nf ${file} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
