add_executable(nbinfo nbinfo.cpp)
target_link_libraries(nbinfo PRIVATE nb_driver nb_version6 nb_legacy nb_platform)
install(TARGETS nbinfo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
