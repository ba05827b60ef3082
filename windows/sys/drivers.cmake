# The kernel drivers the cross build produces. Read by windows/sys (which builds
# them) and by windows/ (which registers the PE check of each image).
#
# For each image NAME (NAME.sys):
#   VELMORA_SYS_<NAME>_DIRS   folders below the project root whose *.cpp form it
#   VELMORA_SYS_<NAME>_IMPORTS  the kernel routines its PE check allows
#   VELMORA_SYS_<NAME>_DEFINES  preprocessor switches it is built with (optional)
# VELMORA_SOURCE_DIR must point at the project root before this file is read.

set(VELMORA_SYS_IMAGES velmora)
set(VELMORA_SYS_velmora_DIRS driver control bus child channel)
set(VELMORA_SYS_velmora_IMPORTS ${CMAKE_CURRENT_LIST_DIR}/../kernel-imports.txt)

# The bus for the Wine check only, from the same sources with one switch: the
# service's event handle is referenced with KernelMode, because the check
# duplicates it into the driver host's process first (Wine cannot reference a
# user-mode handle with UserMode). Never installed anywhere else.
list(APPEND VELMORA_SYS_IMAGES velmora-winetest)
set(VELMORA_SYS_velmora-winetest_DIRS ${VELMORA_SYS_velmora_DIRS})
set(VELMORA_SYS_velmora-winetest_IMPORTS ${VELMORA_SYS_velmora_IMPORTS})
set(VELMORA_SYS_velmora-winetest_DEFINES VELMORA_WINE_EVENT_HANDLE_IN_HOST)

# The sample child function driver joins the build as soon as it has sources.
file(GLOB _velmora_child_sources CONFIGURE_DEPENDS ${VELMORA_SOURCE_DIR}/samples/childdrv/*.cpp)
if(_velmora_child_sources)
  list(APPEND VELMORA_SYS_IMAGES velmorachild)
  set(VELMORA_SYS_velmorachild_DIRS samples/childdrv)
  set(VELMORA_SYS_velmorachild_IMPORTS ${CMAKE_CURRENT_LIST_DIR}/../kernel-imports.txt)
endif()
unset(_velmora_child_sources)
