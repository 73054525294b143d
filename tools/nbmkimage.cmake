add_executable(nbmkimage ${CMAKE_CURRENT_SOURCE_DIR}/nbmkimage.cpp)
target_link_libraries(nbmkimage PRIVATE nb_imagemaker)
include(GNUInstallDirs)
install(TARGETS nbmkimage RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
