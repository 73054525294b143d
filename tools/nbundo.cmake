add_executable(nbundo nbundo.cpp)
target_link_libraries(nbundo PRIVATE nb_driver)
install(TARGETS nbundo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
