; Installer of Mirq一键刷机助手, for the user who runs it (no administrator
; rights): the program, its tools folder, start-menu shortcuts, an uninstall
; entry and an uninstaller. adb.exe and flash_image are not shipped: the user
; puts them into the tools folder (see tools\README.txt).
; The installer is as wide as the program it carries: 32-bit for the release,
; amd64 for the 64-bit build that machines without 32-bit code test.
!ifdef TARGET
  Target ${TARGET}
!else
  Unicode true
!endif
!ifndef EXE
  !error "pass /DEXE=<path of MirqFlasher.exe>"
!endif
!ifndef OUTFILE
  !define OUTFILE "MirqFlasher-setup.exe"
!endif
; The version is the program's own, read from its version resource.
!getdllversion "${EXE}" VERSION_
!define VERSION "${VERSION_1}.${VERSION_2}.${VERSION_3}"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\MirqFlasher"

!include "FileFunc.nsh"

Name "Mirq一键刷机助手 ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Mirq"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel user
SetCompressor /SOLID lzma
UninstallText "将删除Mirq一键刷机助手的程序、卸载程序、快捷方式，以及程序生成的临时文件（temp）和日志（log）。您放入tools文件夹的adb.exe、flash_image和下载的ROM包将保留。"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
  SetShellVarContext current
FunctionEnd

Function un.onInit
  SetShellVarContext current
FunctionEnd

Section "Install"
  ; Over an earlier install only these are replaced: the user's tools and
  ; downloads stay.
  SetOutPath "$INSTDIR"
  File "/oname=MirqFlasher.exe" "${EXE}"
  SetOutPath "$INSTDIR\tools"
  File "/oname=README.txt" "tools-readme.txt"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateDirectory "$SMPROGRAMS\Mirq"
  CreateShortcut "$SMPROGRAMS\Mirq\Mirq一键刷机助手.lnk" "$INSTDIR\MirqFlasher.exe" "" "$INSTDIR\MirqFlasher.exe" 0
  CreateShortcut "$SMPROGRAMS\Mirq\卸载.lnk" "$INSTDIR\uninstall.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Mirq一键刷机助手"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Mirq"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\MirqFlasher.exe,0"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; What the program made, by name, in one of its folders; the folder goes
; only when nothing else is left in it. Never a recursive removal: the
; folder is one the user chose.
!macro RemoveProgramFiles FOLDER
  Delete "${FOLDER}\temp\recovery_*.img"
  Delete "${FOLDER}\temp\recovery_*.img.part"
  Delete "${FOLDER}\temp\recovery_*.img.part.info"
  Delete "${FOLDER}\temp\recovery_*.img.part.pieces"
  Delete "${FOLDER}\temp\recovery_*.img.answer"
  Delete "${FOLDER}\temp\recovery_*.img.release"
  RMDir "${FOLDER}\temp"
  Delete "${FOLDER}\log\MirqFlasher_*.log"
  RMDir "${FOLDER}\log"
  Delete "${FOLDER}\models.xml"
  Delete "${FOLDER}\releases.txt"
!macroend

Section "Uninstall"
  Delete "$INSTDIR\MirqFlasher.exe"
  Delete "$INSTDIR\uninstall.exe"
  Delete "$INSTDIR\tools\README.txt"
  RMDir "$INSTDIR\tools"
  !insertmacro RemoveProgramFiles "$INSTDIR"
  ; Where the program writes when its own folder cannot be written.
  !insertmacro RemoveProgramFiles "$LOCALAPPDATA\Mirq"
  RMDir "$LOCALAPPDATA\Mirq"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Mirq\Mirq一键刷机助手.lnk"
  Delete "$SMPROGRAMS\Mirq\卸载.lnk"
  RMDir "$SMPROGRAMS\Mirq"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
