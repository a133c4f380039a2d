; The Windows installer: the three programs per machine under Program Files\Tarvel\Updater, a
; Start-menu shortcut, and an uninstaller registered with Windows. It removes exactly what it
; installed: the rider's C:\Tarvel folder and held backups are never touched.
;   makensis -DVERSION=0.1.0 -DBIN=DIR -DICON=FILE -DOUT=FILE installer.nsi
Unicode true
Target amd64-unicode
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!define NAME "Tarvel Gps Updater"
!define PUBLISHER "Tarvel"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TarvelGpsUpdater"

Name "${NAME}"
OutFile "${OUT}"
Icon "${ICON}"
UninstallIcon "${ICON}"
InstallDir "$PROGRAMFILES64\Tarvel\Updater"
ShowInstDetails show
ShowUninstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Install"
  SetShellVarContext all
  SetRegView 64
  SetOutPath "$INSTDIR"
  File "${BIN}\tarvel-updater.exe"
  File "${BIN}\tarvel-bl.exe"
  File "${BIN}\tarvel-fw.exe"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortCut "$SMPROGRAMS\${NAME}.lnk" "$INSTDIR\tarvel-updater.exe" "" "$INSTDIR\tarvel-updater.exe" 0

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${NAME}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tarvel-updater.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  SectionGetSize 0 $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  SetRegView 64
  ; Each installed file by name, never the folder's whole content: whatever else is there is
  ; not ours to delete, and RMDir leaves a folder that is not empty.
  Delete "$INSTDIR\tarvel-updater.exe"
  Delete "$INSTDIR\tarvel-bl.exe"
  Delete "$INSTDIR\tarvel-fw.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  RMDir "$INSTDIR\.."
  Delete "$SMPROGRAMS\${NAME}.lnk"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
