# z9tarConfig.cmake - find_package(z9tar) loads the imported target
# z9tar::z9tar (libz9tar.so and the directory of z9tar.h).
include(${CMAKE_CURRENT_LIST_DIR}/z9tarTargets.cmake)
