# The install step: `cmake --install <build> --prefix <root>` lays the suite out under <root> as
# on the Mac, with the receipts and the package database the uninstaller removes:
#   System/Library/Extensions/TARSEL.kext           the simulated kernel driver's programs
#   Library/Audio/Plug-Ins/HAL/TARSEL.plugin         the HAL plug-in
#   Applications/TARSELControlApp.app, uninstaller.app
#   Library/Audio/MIDI Drivers/TARSEL MIDI Driver.plugin   (outside the suite: an empty bundle)
#   Library/Receipts/TARSEL_{driver,plugin,control,midi}.pkg
#   var/db/receipts/com.quenta.pkg.TARSEL.*.plist    the package database (usr/sbin/pkgutil)
#   usr/lib/tarsel/libplatform.so, usr/bin/tarsel-*  this system's stand-ins and programs
# Every installed binary finds the platform library through an $ORIGIN-relative RPATH.
set(TARSEL_VERSION 1.0)
set(TARSEL_INSTALL_LIBDIR usr/lib/tarsel)
set(TARSEL_PACKAGE_PREFIX com.quenta.pkg.TARSEL)

# Installs a target's binary into `destination` (a folder under the root), able to find the
# platform library from there.
function(tarsel_install_binary target destination)
  string(REGEX MATCHALL "[^/]+" parts "${destination}")
  set(up "")
  foreach(part IN LISTS parts)
    string(APPEND up "../")
  endforeach()
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${up}${TARSEL_INSTALL_LIBDIR}")
  install(TARGETS ${target} RUNTIME DESTINATION "${destination}" LIBRARY DESTINATION "${destination}")
endfunction()

# Installs an application bundle the build made (default <build>/<target>.app): its program
# into Applications/<name>.app/Contents/MacOS, the rest of its Contents beside it.
function(tarsel_install_app_bundle target)
  cmake_parse_arguments(A "" "BUNDLE" "" ${ARGN})
  if(NOT A_BUNDLE)
    set(A_BUNDLE ${CMAKE_BINARY_DIR}/${target}.app)
  endif()
  get_filename_component(name "${A_BUNDLE}" NAME)
  tarsel_install_binary(${target} Applications/${name}/Contents/MacOS)
  install(DIRECTORY ${A_BUNDLE}/Contents/ DESTINATION Applications/${name}/Contents
          USE_SOURCE_PERMISSIONS PATTERN MacOS EXCLUDE)
endfunction()

install(TARGETS platform platform_carbon_gtk LIBRARY DESTINATION ${TARSEL_INSTALL_LIBDIR})

# The kernel driver: its daemon and control tool in the bundle.
set(kext_contents System/Library/Extensions/TARSEL.kext/Contents)
tarsel_install_binary(tarsel-kextd ${kext_contents}/MacOS)
tarsel_install_binary(tarsel-kextctl ${kext_contents}/MacOS)
configure_file(${CMAKE_CURRENT_LIST_DIR}/install/kext-Info.plist.in ${CMAKE_BINARY_DIR}/install/kext/Info.plist @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/install/kext/Info.plist DESTINATION ${kext_contents})

# The HAL plug-in, where every HAL client of the root looks by default.
set(plugin_contents Library/Audio/Plug-Ins/HAL/TARSEL.plugin/Contents)
tarsel_install_binary(halplugin ${plugin_contents}/MacOS)
install(FILES ${TARSEL_PLUGIN_BUNDLE}/Contents/Info.plist DESTINATION ${plugin_contents})

# The applications.
tarsel_install_app_bundle(uninstaller_app BUNDLE ${TARSEL_UNINSTALLER_BUNDLE})
if(TARGET TARSELControlApp)
  tarsel_install_app_bundle(TARSELControlApp)
endif()

# The MIDI driver is another project's; its bundle stands here so that removing it is real.
configure_file(${CMAKE_CURRENT_LIST_DIR}/install/midi-Info.plist.in ${CMAKE_BINARY_DIR}/install/midi/Info.plist @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/install/midi/Info.plist
        DESTINATION "Library/Audio/MIDI Drivers/TARSEL MIDI Driver.plugin/Contents")

# Programs of this system: the HAL clients and the device layer's tool, and pkgutil.
foreach(program tarsel-devices tarsel-hal tarsel-play tarsel-rec tarsel-roundtrip tarsel-mixer)
  tarsel_install_binary(${program} usr/bin)
endforeach()
install(TARGETS pkgutil RUNTIME DESTINATION usr/sbin)

# The receipts ("component|receipt bundle|folders, comma-separated"): a receipt bundle per component, and its entry in the package database with
# the paths it installed (written last, from what is then under the root).
set(packages
  "driver|TARSEL_driver.pkg|System/Library/Extensions/TARSEL.kext"
  "plugin|TARSEL_plugin.pkg|Library/Audio/Plug-Ins/HAL/TARSEL.plugin"
  "control|TARSEL_control.pkg|Applications/TARSELControlApp.app,Applications/uninstaller.app"
  "midi|TARSEL_midi.pkg|Library/Audio/MIDI Drivers/TARSEL MIDI Driver.plugin")
set(receipt_script "include(\"${CMAKE_CURRENT_LIST_DIR}/WriteReceipts.cmake\")\n")
foreach(package IN LISTS packages)
  string(REPLACE "," ";" package "${package}")
  string(REPLACE "|" ";" fields "${package}")
  list(GET fields 0 component)
  list(GET fields 1 file)
  list(SUBLIST fields 2 -1 paths)
  set(TARSEL_PACKAGE_ID ${TARSEL_PACKAGE_PREFIX}.${component})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/install/receipt-Info.plist.in
                 ${CMAKE_BINARY_DIR}/install/receipts/${file}/Info.plist @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/install/receipts/${file}/Info.plist
          DESTINATION Library/Receipts/${file}/Contents)
  string(APPEND receipt_script
    "tarsel_write_receipt(\"${TARSEL_PACKAGE_ID}\" \"${TARSEL_VERSION}\" \"${file}\" \"${paths}\")\n")
endforeach()
install(CODE "${receipt_script}")
