# Builds musl from the source that Debian ships it in (Debian's patch set
# for 1.2.3 is empty), for a release target that Debian has no musl for, or
# none for its oldest CPU. The source is downloaded once into
# build-downloads/, which every release build shares, and checked against
# its known hash.
set(musl_version 1.2.3)
set(musl_source_url
    http://deb.debian.org/debian/pool/main/m/musl/musl_${musl_version}.orig.tar.gz)
set(musl_source_sha256 7d5b0b6062521e4627e099e4c9dc8248d32a30285e959b7eecaa780cf8cfd4a4)
set(USBFS_FSTAB_PATCH_DOWNLOADS "${CMAKE_CURRENT_LIST_DIR}/../build-downloads" CACHE PATH
    "Where the release builds keep the sources they download")

function(fetch_musl_source tarball)
    if(EXISTS ${tarball})
        file(SHA256 ${tarball} found)
        if(found STREQUAL musl_source_sha256)
            return()
        endif()
    endif()
    message(STATUS "Downloading ${musl_source_url}")
    # Another build may fetch it at the same time: each writes a file of
    # its own and renames it into place whole.
    string(RANDOM LENGTH 8 unique)
    file(DOWNLOAD ${musl_source_url} ${tarball}.${unique} STATUS result
         EXPECTED_HASH SHA256=${musl_source_sha256})
    list(GET result 0 code)
    if(NOT code EQUAL 0)
        file(REMOVE ${tarball}.${unique})
        message(FATAL_ERROR "Could not download ${musl_source_url}: ${result}")
    endif()
    file(RENAME ${tarball}.${unique} ${tarball})
endfunction()

# build_musl(PREFIX TRIPLE GCC FLAGS): musl's static library, start files
# and headers for TRIPLE, built with the cross compiler GCC and FLAGS, go
# into PREFIX.
function(build_musl prefix triple gcc flags)
    set(tarball ${USBFS_FSTAB_PATCH_DOWNLOADS}/musl_${musl_version}.orig.tar.gz)
    fetch_musl_source(${tarball})
    set(work ${prefix}-build)
    file(REMOVE_RECURSE ${work})
    file(MAKE_DIRECTORY ${work})
    file(ARCHIVE_EXTRACT INPUT ${tarball} DESTINATION ${work})
    string(REGEX REPLACE "gcc$" "" tools ${gcc})
    string(JOIN " " cflags -O2 -fstack-protector-strong -fPIE ${flags})
    cmake_host_system_information(RESULT jobs QUERY NUMBER_OF_LOGICAL_CORES)
    message(STATUS "Building musl ${musl_version} for ${triple} with ${gcc} ${flags}")
    set(log ${work}/build.log)
    foreach(step configure make install)
        if(step STREQUAL "configure")
            set(command ${work}/musl-${musl_version}/configure --target=${triple}
                --prefix=${prefix} --disable-shared CC=${gcc} AR=${tools}ar
                RANLIB=${tools}ranlib "CFLAGS=${cflags}")
        elseif(step STREQUAL "make")
            set(command make -j${jobs})
        else()
            set(command make install)
        endif()
        execute_process(COMMAND ${command} WORKING_DIRECTORY ${work}
                        OUTPUT_FILE ${log}.${step} ERROR_FILE ${log}.${step}
                        RESULT_VARIABLE result)
        if(NOT result EQUAL 0)
            file(REMOVE_RECURSE ${prefix})
            message(FATAL_ERROR "musl's ${step} for ${triple} failed; see ${log}.${step}")
        endif()
    endforeach()
endfunction()
