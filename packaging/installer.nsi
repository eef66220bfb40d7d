; The Windows installer: a per-user install that needs no administrator,
; so the launcher can update itself where it lives. Built by scripts/release
; with makensis, which passes every !define below.
;   PRODUCT VERSION VERSION4 COMPANY SLUG DATA_FOLDER STAGE OUTFILE ICON
Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel user

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
Icon "${ICON}"
UninstallIcon "${ICON}"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION4}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${COMPANY}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "MIT licence"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${SLUG}"

Page license
Page components
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage components
UninstPage instfiles

LicenseData "${STAGE}/LICENSE.txt"

Section "-${PRODUCT}"
    SetShellVarContext current
    SetOutPath "$INSTDIR"
    File "${STAGE}/${SLUG}.exe"
    File "${STAGE}/quorvelctl.exe"
    File "${STAGE}/LICENSE.txt"
    File "${STAGE}/THIRD-PARTY.md"
    File "${STAGE}/LGPL-2.1.txt"
    File "${STAGE}/README.txt"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\${SLUG}.exe"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${COMPANY}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${SLUG}.exe"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section /o "Desktop shortcut"
    SetShellVarContext current
    CreateShortcut "$DESKTOP\${PRODUCT}.lnk" "$INSTDIR\${SLUG}.exe"
SectionEnd

Section "-un.${PRODUCT}"
    SetShellVarContext current
    Delete "$INSTDIR\${SLUG}.exe"
    ; What a self-update may leave beside the launcher.
    Delete "$INSTDIR\${SLUG}.exe.old"
    Delete "$INSTDIR\${SLUG}.exe.new"
    Delete "$INSTDIR\${SLUG}.exe.new.partial"
    Delete "$INSTDIR\quorvelctl.exe"
    Delete "$INSTDIR\LICENSE.txt"
    Delete "$INSTDIR\THIRD-PARTY.md"
    Delete "$INSTDIR\LGPL-2.1.txt"
    Delete "$INSTDIR\README.txt"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    Delete "$SMPROGRAMS\${PRODUCT}.lnk"
    Delete "$DESKTOP\${PRODUCT}.lnk"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd

; Off unless the player ticks it: the game's data outlives the launcher.
Section /o "un.The game's data (${DATA_FOLDER})"
    SetShellVarContext current
    RMDir /r "$APPDATA\${DATA_FOLDER}"
SectionEnd
