; Installer of Mirq一键刷机助手: the program, its tools folder, a start-menu
; shortcut and an uninstaller. adb.exe and flash_image are not shipped: the
; user puts them into the tools folder (see tools\README.txt).
Unicode true
!ifndef EXE
  !error "pass /DEXE=<path of MirqFlasher.exe>"
!endif
!ifndef OUTFILE
  !define OUTFILE "MirqFlasher-setup.exe"
!endif

Name "Mirq一键刷机助手"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Mirq"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Install"
  SetOutPath "$INSTDIR"
  File "/oname=MirqFlasher.exe" "${EXE}"
  SetOutPath "$INSTDIR\tools"
  File "/oname=README.txt" "tools-readme.txt"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateDirectory "$SMPROGRAMS\Mirq"
  CreateShortcut "$SMPROGRAMS\Mirq\Mirq一键刷机助手.lnk" "$INSTDIR\MirqFlasher.exe" "" "$INSTDIR\MirqFlasher.exe" 0
  CreateShortcut "$SMPROGRAMS\Mirq\卸载.lnk" "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\MirqFlasher" "DisplayName" "Mirq一键刷机助手"
  WriteRegStr HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\MirqFlasher" "UninstallString" '"$INSTDIR\uninstall.exe"'
SectionEnd

Section "Uninstall"
  Delete "$INSTDIR\MirqFlasher.exe"
  Delete "$INSTDIR\tools\README.txt"
  RMDir "$INSTDIR\tools"
  RMDir /r "$INSTDIR\temp"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Mirq\Mirq一键刷机助手.lnk"
  Delete "$SMPROGRAMS\Mirq\卸载.lnk"
  RMDir "$SMPROGRAMS\Mirq"
  DeleteRegKey HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\MirqFlasher"
SectionEnd
