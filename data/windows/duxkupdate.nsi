; The Windows installer of DUXKUpdate, built by scripts/package-windows.sh:
;   makensis -DVERSION=2.71 -DVERSION_QUAD=2.71.0.0 -DSTAGE=<dir> -DOUTFILE=<setup.exe> duxkupdate.nsi
; STAGE holds duxkupdate.exe, duxk.exe, README.txt and duxkupdate.ico.
; A 64-bit installer for all users: the programs go into the 64-bit Program
; Files, a shortcut into the Start menu, the uninstaller into the list of
; installed programs. /S installs (and uninstall.exe /S removes) silently;
; /D=DIR, last on the command line, installs elsewhere.

!ifndef VERSION | VERSION_QUAD | STAGE | OUTFILE
  !error "VERSION, VERSION_QUAD, STAGE and OUTFILE must be defined (see scripts/package-windows.sh)"
!endif

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
; The installed files get the time they were installed: the installer's
; bytes do not depend on when the programs were built.
SetDateSave off
ManifestDPIAware true
RequestExecutionLevel admin

!define APP "DUXKUpdate"
!define PUBLISHER "DUXKUpdate developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${APP}"

Name "${APP} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${APP}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${APP} ${VERSION}"

VIProductVersion "${VERSION_QUAD}"
VIFileVersion "${VERSION_QUAD}"
VIAddVersionKey /LANG=1033 "ProductName" "${APP}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${APP} ${VERSION} setup"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (C) 2025 the ${APP} developers"

!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "x64.nsh"

!define MUI_ICON "${STAGE}\duxkupdate.ico"
!define MUI_UNICON "${STAGE}\duxkupdate.ico"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\duxkupdate.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start ${APP} now"
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\README.txt"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP "${APP} needs 64-bit Windows." /SD IDOK
    Abort
  ${EndIf}
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section "${APP}"
  SetOutPath "$INSTDIR"
  File "${STAGE}\duxkupdate.exe"
  File "${STAGE}\duxk.exe"
  File "${STAGE}\README.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The Start menu's entry. Its working directory, where the calibration
  ; dialog offers to save its files, is the Public Documents folder: every
  ; user may write there (the program's folder is read-only to users).
  SetOutPath "$DOCUMENTS"
  CreateShortCut "$SMPROGRAMS\${APP}.lnk" "$INSTDIR\duxkupdate.exe" "" "$INSTDIR\duxkupdate.exe" 0 \
    SW_SHOWNORMAL "" "Service application for DUX-Kxx sensors"
  SetOutPath "$INSTDIR"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${APP} ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\duxkupdate.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; Removes exactly what the installer put there: files the user saved into
; the folder stay, and the folder with them.
Section "Uninstall"
  Delete "$INSTDIR\duxkupdate.exe"
  Delete "$INSTDIR\duxk.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${APP}.lnk"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
