; The KIVO installer for 64-bit Windows, built on Linux with NSIS by scripts/windows/package.sh:
;   makensis -DVERSION=1.3.0 -DSTAGE=<folder with the files> -DOUTFILE=<setup.exe> kivo.nsi
; Installs kivo.exe and kivo-read.exe into Program Files\KIVO with a Start-menu entry, an
; uninstaller and its entry under "Apps", and on request puts the folder on the system's PATH
; so that kivo-read runs from any console. /S installs (and the uninstaller removes)
; silently; /S /PATH installs silently with the folder on the PATH.

; A 64-bit installer for the 64-bit programs.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "Sections.nsh"
!include "WordFunc.nsh"

!define PRODUCT "KIVO"
!define PUBLISHER "The KIVO developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KIVO"
!define ENVIRONMENT_KEY "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\KIVO"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} installer"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (c) The KIVO developers, MIT licence"

!define MUI_ICON "${STAGE}\kivo.ico"
!define MUI_UNICON "${STAGE}\kivo.ico"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\kivo.exe"

; The licence is shown for information: MIT asks nothing of a user to accept.
!define MUI_PAGE_HEADER_TEXT "Licence"
!define MUI_PAGE_HEADER_SUBTEXT "${PRODUCT} is free software under the MIT licence."
!define MUI_LICENSEPAGE_TEXT_TOP "The licence, for your information:"
!define MUI_LICENSEPAGE_TEXT_BOTTOM "Click Next to continue."
!define MUI_LICENSEPAGE_BUTTON "$(^NextBtn)"
!insertmacro MUI_PAGE_LICENSE "${STAGE}\LICENSE.txt"
!define MUI_COMPONENTSPAGE_NODESC
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section "KIVO (the window and kivo-read)" SecMain
    SectionIn RO
    SetShellVarContext all
    SetOutPath "$INSTDIR"
    File "${STAGE}\kivo.exe"
    File "${STAGE}\kivo-read.exe"
    File "${STAGE}\README.txt"
    File "${STAGE}\LICENSE.txt"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    CreateShortCut "$SMPROGRAMS\KIVO.lnk" "$INSTDIR\kivo.exe" "" "$INSTDIR\kivo.exe" 0 \
        SW_SHOWNORMAL "" "Read the identity of a GSM phone or modem on a serial port"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kivo.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; The system's PATH is read and written whole, within the installer's string length
; (NSIS_MAX_STRLEN, with its terminator): a PATH that cannot be read, or one too long for
; that, is left as it is, and the user is told.
; RESULT: the characters a text of the PATH ($0) and EXTRA more takes, terminator included.
!macro PATH_ROOM RESULT EXTRA
    StrLen ${RESULT} $0
    IntOp ${RESULT} ${RESULT} + ${EXTRA}
    IntOp ${RESULT} ${RESULT} + 1
!macroend

Section /o "kivo-read on the PATH (for Command Prompt and PowerShell)" SecPath
    ClearErrors
    ReadRegStr $0 HKLM "${ENVIRONMENT_KEY}" "Path"
    StrLen $2 ";$INSTDIR;"
    !insertmacro PATH_ROOM $1 $2
    ${If} ${Errors}
    ${OrIf} $1 > ${NSIS_MAX_STRLEN}
        DetailPrint "The PATH was left as it is: add $INSTDIR to it to run kivo-read anywhere."
        MessageBox MB_ICONINFORMATION "The PATH is too long for this installer to change. \
            Add $INSTDIR to it to run kivo-read from any console." /SD IDOK
        Return
    ${EndIf}
    ClearErrors
    ${WordFind} ";$0;" ";$INSTDIR;" "E#" $1 ; an error: not found
    ${IfNot} ${Errors}
        Return ; there already
    ${EndIf}
    WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" "$0;$INSTDIR"
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "AddedToPath" 1
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
SectionEnd

Function .onInit
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/PATH" $1
    ${IfNot} ${Errors}
        !insertmacro SelectSection ${SecPath}
    ${EndIf}
FunctionEnd

Section "Uninstall"
    SetShellVarContext all
    ClearErrors
    ReadRegDWORD $0 HKLM "${UNINSTALL_KEY}" "AddedToPath"
    ${If} $0 == 1
        Call un.RemoveFromPath
    ${EndIf}
    Delete "$SMPROGRAMS\KIVO.lnk"
    Delete "$INSTDIR\kivo.exe"
    Delete "$INSTDIR\kivo-read.exe"
    Delete "$INSTDIR\README.txt"
    Delete "$INSTDIR\LICENSE.txt"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

; Takes the install folder out of the system's PATH, where the installer put it.
Function un.RemoveFromPath
    ClearErrors
    ReadRegStr $0 HKLM "${ENVIRONMENT_KEY}" "Path"
    !insertmacro PATH_ROOM $1 2
    ${If} ${Errors}
    ${OrIf} $1 > ${NSIS_MAX_STRLEN}
        DetailPrint "The PATH was left as it is: take $INSTDIR out of it."
        Return
    ${EndIf}
    ${un.WordReplace} ";$0;" ";$INSTDIR;" ";" "+" $1
    StrCpy $1 $1 "" 1 ; without the separators added around it
    StrCpy $1 $1 -1
    ${If} $1 != $0
        WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" $1
        SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
    ${EndIf}
FunctionEnd
