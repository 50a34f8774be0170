; Installer of Tarvik Express: TarvikCore.dll, "Getting Started.mht" and the
; uninstaller in one folder, the library registered. Built by
; tools/make-installer.sh, which passes the defines below.
;   makensis -DDLL=... -DGUIDE=... -DOUTFILE=... -DVERSION=1.0.0.1 TarvikSetup.nsi
; Run with /S for a silent install and /D=FOLDER (last, unquoted) to choose the folder.

Unicode true
!macro TarvikRequire NAME
  !ifndef ${NAME}
    !error "${NAME} must be defined"
  !endif
!macroend
!insertmacro TarvikRequire DLL
!insertmacro TarvikRequire GUIDE
!insertmacro TarvikRequire OUTFILE
!insertmacro TarvikRequire VERSION

!define PRODUCT "Tarvik Express"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TarvikExpress"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\${PRODUCT}"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show
SetCompressor /SOLID lzma

VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PRODUCT}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Tarvik Express"
  SetOutPath "$INSTDIR"
  File "${DLL}"
  File "/oname=Getting Started.mht" "${GUIDE}"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  ClearErrors
  RegDLL "$INSTDIR\TarvikCore.dll"
  IfErrors 0 registered
    ; A library that cannot register would be a toolbar that never shows:
    ; take the files back and say so (exit code 3 in silent mode).
    Delete "$INSTDIR\TarvikCore.dll"
    Delete "$INSTDIR\Getting Started.mht"
    Delete "$INSTDIR\Uninstall.exe"
    ; The folder cannot go while it is the installer's working folder.
    SetOutPath "$TEMP"
    RMDir "$INSTDIR"
    MessageBox MB_OK|MB_ICONSTOP "TarvikCore.dll could not be registered. Nothing was installed." /SD IDOK
    SetErrorLevel 3
    Abort "TarvikCore.dll could not be registered."
  registered:

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  UnRegDLL "$INSTDIR\TarvikCore.dll"
  ; A browser still holding the library keeps it until the next restart.
  Delete /REBOOTOK "$INSTDIR\TarvikCore.dll"
  Delete "$INSTDIR\Getting Started.mht"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir /REBOOTOK "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
