# The Windows Installer package of the program this tree builds and tests:
# chanpipe-VERSION-x86.msi in the windows-x86 tree, chanpipe-VERSION-x64.msi
# in the windows-x64 one, made by msi.py from chanpipe.wxs with msitools.
# scripts/pack.sh takes it from here.
foreach(tool wixl msibuild msiinfo faketime)
  find_program(CHANPIPE_${tool} ${tool})
  if(NOT CHANPIPE_${tool})
    message(FATAL_ERROR "No ${tool} to build the Windows Installer package: run scripts/setup.sh")
  endif()
endforeach()
find_package(Python3 COMPONENTS Interpreter REQUIRED)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(CHANPIPE_MSI_ARCH x86)
else()
  set(CHANPIPE_MSI_ARCH x64)
endif()
set(CHANPIPE_MSI ${CMAKE_BINARY_DIR}/chanpipe-${PROJECT_VERSION}-${CHANPIPE_MSI_ARCH}.msi)

# The package stores SOURCE_DATE_EPOCH (the last commit's time, unless
# set): checked on every build, it remakes the package only when it
# changes.
set(msi_epoch ${CMAKE_BINARY_DIR}/msi-epoch)
add_custom_target(chanpipe_msi_epoch
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/packaging/msi.py epoch ${msi_epoch}
  BYPRODUCTS ${msi_epoch} VERBATIM)
# Every file it takes from the sources is in the depfile.
add_custom_command(OUTPUT ${CHANPIPE_MSI}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/packaging/msi.py build
          --arch ${CHANPIPE_MSI_ARCH} --version ${PROJECT_VERSION}
          --program $<TARGET_FILE:chanpipe> --output ${CHANPIPE_MSI}
          --epoch-file ${msi_epoch} --depfile ${CHANPIPE_MSI}.d
  DEPENDS chanpipe ${msi_epoch} ${CMAKE_SOURCE_DIR}/packaging/msi.py
          ${CMAKE_SOURCE_DIR}/packaging/chanpipe.wxs
  DEPFILE ${CHANPIPE_MSI}.d
  VERBATIM)
add_custom_target(chanpipe_msi ALL DEPENDS ${CHANPIPE_MSI})
