# Release packages: `cpack -G DEB` (a Debian package whose dependencies dpkg-shlibdeps works out),
# `cpack -G TGZ` (the installed tree as a tarball) and `cpack --config CPackSourceConfig.cmake`
# (the source tarball), all from a configured and built Release tree.
set(CPACK_PACKAGE_NAME scalesum)
set(CPACK_PACKAGE_VENDOR "The Scalesum developers")
set(CPACK_PACKAGE_CONTACT "The Scalesum developers <scalesum@users.noreply.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "per-branch summaries of variable-rates sample logs")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The synopsis is the summary above; this is the extended description below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Scalesum reads the sample log of a variable-rates MCMC analysis on a fixed
phylogenetic tree: the tree as tables of taxa and clades, then one line per
sample with its rate value and the scalars that stretched single branches or
whole subtrees.
.
For every node it rebuilds the branch length of every retained sample, derives
four series from it and summarises each by its mean, kernel density mode,
median and standard deviation in one tab-separated table. On request it also
writes a statistics file with HPD intervals and effective sample sizes, the
tree annotated with them as a NEXUS file, and an SVG phylogram coloured by
rate. Logs of thousands of taxa and samples are summarised within a memory
cap, and the results do not depend on the number of threads.")

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION})
# The patterns are matched against whole paths: anchored at the source folder, so that a checkout
# below a folder named build* still packs.
set(CPACK_SOURCE_IGNORE_FILES "^${PROJECT_SOURCE_DIR}/\\\\.git" "^${PROJECT_SOURCE_DIR}/build[^/]*/"
    "^${PROJECT_SOURCE_DIR}/(fuzz-out|out|results|\\\\.snakemake)/" "__pycache__/" "\\\\.pyc$")

# Debian's places for the licence, the release history and the manual page, compressed the way
# its policy asks (the highest level, no time stamp, so that rebuilds give the same bytes).
set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_PACKAGE_NAME})
# The changelog in the form Debian's tools read; without Python the package lacks it.
find_package(Python3 COMPONENTS Interpreter QUIET)
if(Python3_Interpreter_FOUND)
  add_custom_command(
    OUTPUT ${PROJECT_BINARY_DIR}/changelog.gz
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/debian_changelog.py
            ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${CPACK_PACKAGE_NAME} ${CPACK_PACKAGE_CONTACT}
            > ${PROJECT_BINARY_DIR}/changelog
    COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/changelog
    DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/tools/debian_changelog.py
    VERBATIM)
  add_custom_target(debian_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/changelog.gz)
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${docdir})
else()
  message(WARNING "Python 3 not found: the packages will lack the changelog")
endif()
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/Scalesum.1.gz
  COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/Scalesum.1 > ${PROJECT_BINARY_DIR}/Scalesum.1.gz
  DEPENDS ${PROJECT_BINARY_DIR}/Scalesum.1
  VERBATIM)
add_custom_target(compressed_manual ALL DEPENDS ${PROJECT_BINARY_DIR}/Scalesum.1.gz)
install(FILES ${PROJECT_BINARY_DIR}/Scalesum.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${docdir})
# The examples as the sources hold them, so that their READMEs' commands and the workflow's
# sample sheet work from the doc folder; files that a run leaves in examples/ stay out.
set(examples ${PROJECT_SOURCE_DIR}/examples)
install(FILES ${examples}/README.md ${examples}/Snakefile ${examples}/datasets.tsv
              ${examples}/example.log ${examples}/example.options ${examples}/example.report
        DESTINATION ${docdir}/examples)
install(FILES ${examples}/chains/README.md ${examples}/chains/planted.tsv
              ${examples}/chains/run1.log.gz ${examples}/chains/run2.log.gz
              ${examples}/chains/run3.log.gz ${examples}/chains/prior.log.gz
        DESTINATION ${docdir}/examples/chains)

include(CPack)
