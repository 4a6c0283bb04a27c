# Installation and the Debian package. The program and libxl.so live in their
# own folder (the program looks for the library and the Calc helper beside
# itself); /usr/bin gets links, the desktop menu an entry and an icon.
include(GNUInstallDirs)

set(QUORVANE_PROGRAM_DIR ${CMAKE_INSTALL_LIBDIR}/quorvane)
# Debian keeps private program folders under /usr/lib, not the multiarch one.
if(QUORVANE_PROGRAM_DIR MATCHES "^lib/")
  set(QUORVANE_PROGRAM_DIR lib/quorvane)
endif()

install(TARGETS quorvane quorvane-search
  RUNTIME DESTINATION ${QUORVANE_PROGRAM_DIR})
install(TARGETS xl
  LIBRARY DESTINATION ${QUORVANE_PROGRAM_DIR}
  NAMELINK_SKIP)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/platform/uno/quorvane_calc.py
  DESTINATION ${QUORVANE_PROGRAM_DIR})

# Links rather than copies: the program finds its folder through
# /proc/self/exe, which names the link's target.
foreach(program quorvane quorvane-search)
  install(CODE "
    set(bindir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    file(MAKE_DIRECTORY \"\${bindir}\")
    file(CREATE_LINK \"../${QUORVANE_PROGRAM_DIR}/${program}\" \"\${bindir}/${program}\" SYMBOLIC)
    message(STATUS \"Installing: \${bindir}/${program} -> ../${QUORVANE_PROGRAM_DIR}/${program}\")")
endforeach()

set(QUORVANE_DESKTOP_FILE ${CMAKE_BINARY_DIR}/quorvane.desktop)
file(WRITE ${QUORVANE_DESKTOP_FILE} "[Desktop Entry]
Type=Application
Version=1.0
Name=Quorvane
GenericName=Workbook text search
GenericName[zh_CN]=表格文本搜索
Comment=Find a text in the cells of every Excel workbook under a folder
Comment[zh_CN]=在文件夹下所有 Excel 表格的单元格中查找文本
Exec=quorvane
Icon=quorvane
Terminal=false
Categories=Office;Spreadsheet;Utility;
Keywords=Excel;xls;xlsx;search;搜索;表格;
")
install(FILES ${QUORVANE_DESKTOP_FILE} DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size 16 24 32 48 64 128 256)
  install(FILES ${CMAKE_SOURCE_DIR}/resources/icons/colours_${size}.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
    RENAME quorvane.png)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quorvane maintainers <quorvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Finds a text in the cells of every Excel workbook under a folder")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# Libraries from the binaries (Qt 6 widgets, libzip, expat, libgsf,
# libxlsxwriter); the X11 platform plugin and the CJK font are no link
# dependencies but the window needs them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-noto-cjk")
# Opening a result in Calc and a folder in the file browser.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libreoffice-calc, python3-uno, python3, xdg-utils, qt6-translations-l10n")
include(CPack)
