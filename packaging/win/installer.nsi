; The Windows installer: the three programs for the current user, a working folder
; with its INI for each window program, Start menu entries that start the programs
; there, and an uninstaller. makensis -DVERSION=x.y.z -DSTAGE=dir -DOUTFILE=setup.exe
; The programs are 64-bit; so is the installer.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user

!define PRODUCT "IAP Firmware Updater"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\IapFirmwareUpdater"
!define WORK "$DOCUMENTS\IAP Updater"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\IAP Updater"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (C) 2026"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Programs"
  SetOutPath "$INSTDIR"
  File "${STAGE}\solvane.exe"
  File "${STAGE}\castrel.exe"
  File "${STAGE}\iapflash.exe"
  File "${STAGE}\README.txt"
  File "${STAGE}\LICENSES.txt"
  SetOutPath "$INSTDIR\examples\solvane"
  File "${STAGE}\examples\solvane\*.*"
  SetOutPath "$INSTDIR\examples\castrel"
  File "${STAGE}\examples\castrel\*.*"

  ; The working folders: the technician's INI there is kept.
  SetOverwrite off
  SetOutPath "${WORK}\Solvane"
  File "${STAGE}\examples\solvane\MpptConfigFile.ini"
  SetOutPath "${WORK}\Castrel"
  File "${STAGE}\examples\castrel\InvConfigFile.ini"
  SetOverwrite on

  ; A shortcut's working directory is the output path when it is made.
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  SetOutPath "${WORK}\Solvane"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\Solvane.lnk" "$INSTDIR\solvane.exe"
  SetOutPath "${WORK}\Castrel"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\Castrel.lnk" "$INSTDIR\castrel.exe"
  SetOutPath "$INSTDIR"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\Uninstall.lnk" "$INSTDIR\Uninstall.exe"

  WriteUninstaller "$INSTDIR\Uninstall.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; The working folders hold the technician's INI files and work files: they stay.
Section "Uninstall"
  Delete "$INSTDIR\solvane.exe"
  Delete "$INSTDIR\castrel.exe"
  Delete "$INSTDIR\iapflash.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\LICENSES.txt"
  RMDir /r "$INSTDIR\examples"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${PRODUCT}\Solvane.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Castrel.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Uninstall.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
