# Appliance identity and Fibre Channel port status. Separate from zorutils
# because the identity needs the hardware library.
add_library(zorhwinfo SHARED
  ${CMAKE_CURRENT_LIST_DIR}/zorobxinfo.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zorfcstatus.cpp
)
target_include_directories(zorhwinfo PUBLIC ${CMAKE_SOURCE_DIR}/shared/include)
target_link_libraries(zorhwinfo PRIVATE drive zorutils)
target_link_options(zorhwinfo PRIVATE -Wl,--no-undefined)
