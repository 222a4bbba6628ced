# At install time: a package's entry in the package database of the root being installed,
# var/db/receipts/<id>.plist, listing every path under the package's folders (those present).
function(_tarsel_xml text out)
  string(REPLACE "&" "&amp;" text "${text}")
  string(REPLACE "<" "&lt;" text "${text}")
  string(REPLACE ">" "&gt;" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(tarsel_write_receipt id version file paths)
  set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  set(files)
  foreach(top IN LISTS paths)
    if(EXISTS "${root}/${top}")
      list(APPEND files "${top}")
      file(GLOB_RECURSE below LIST_DIRECTORIES true RELATIVE "${root}" "${root}/${top}/*")
      list(APPEND files ${below})
    endif()
  endforeach()
  list(SORT files)
  set(entries "")
  foreach(f IN LISTS files)
    _tarsel_xml("${f}" f)
    string(APPEND entries "\t\t<string>${f}</string>\n")
  endforeach()
  file(WRITE "${root}/var/db/receipts/${id}.plist"
"<?xml version=\"1.0\" encoding=\"UTF-8\"?>
<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">
<plist version=\"1.0\">
<dict>
\t<key>PackageIdentifier</key>
\t<string>${id}</string>
\t<key>PackageVersion</key>
\t<string>${version}</string>
\t<key>PackageFileName</key>
\t<string>${file}</string>
\t<key>InstallPrefixPath</key>
\t<string>/</string>
\t<key>Files</key>
\t<array>
${entries}\t</array>
</dict>
</plist>
")
  message(STATUS "Installing: ${root}/var/db/receipts/${id}.plist")
endfunction()
