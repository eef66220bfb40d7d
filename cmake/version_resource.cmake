# quorvel_version_resource(target description): a Windows VERSIONINFO
# resource (the file's Properties > Details) from the project's version and
# the brand's names.
function(quorvel_version_resource target description)
    set(QUORVEL_RESOURCE_NAME ${target})
    set(QUORVEL_RESOURCE_DESCRIPTION "${description}")
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
endfunction()
