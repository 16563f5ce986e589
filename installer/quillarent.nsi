; Quillarent's installer (NSIS 3, Modern UI 2; UTF-8, built with makensis -INPUTCHARSET UTF8 by the
; "installer" target, which passes the files below as defines):
;   QUILL_DLL, QUILL_EXE, QUENDRIX_EXE  the built programs
;   QUILL_HELP                          the help file, optional (installed as Help\Quillarent.chm)
;   QUILL_VERSION, OUTFILE
; Command line, besides NSIS's own /S and /D=folder:
;   installer   /PATH=1            add the installation folder to the user's PATH (the PATH component)
;   uninstaller /REMOVESETTINGS=1  remove the user's settings too (the settings component)
Unicode true
!include MUI2.nsh
!include x64.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include Sections.nsh
!include StrFunc.nsh
!include WinMessages.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillarent"
!define SETTINGS_KEY "Software\Orbelin\Quillarent"
!define ENVIRONMENT_KEY "Environment"

Name "Quillarent"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Quillarent"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
BrandingText "Quillarent ${QUILL_VERSION}"
VIProductVersion "${QUILL_VERSION}.0"
VIAddVersionKey /LANG=0 "ProductName" "Quillarent"
VIAddVersionKey /LANG=0 "CompanyName" "Orbelin"
VIAddVersionKey /LANG=0 "LegalCopyright" "Orbelin"
VIAddVersionKey /LANG=0 "FileDescription" "Quillarent Setup"
VIAddVersionKey /LANG=0 "FileVersion" "${QUILL_VERSION}"
VIAddVersionKey /LANG=0 "ProductVersion" "${QUILL_VERSION}"

${StrRep}
${UnStrRep}

!define MUI_ICON "${__FILEDIR__}\..\resources\quillarent.ico"
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES
; The first language is the one used where the system's is neither.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "Russian"

LangString SecProgramName ${LANG_ENGLISH} "Quillarent program"
LangString SecProgramName ${LANG_RUSSIAN} "Программа Quillarent"
LangString SecPathName ${LANG_ENGLISH} "Add the program folder to my PATH (quill.exe)"
LangString SecPathName ${LANG_RUSSIAN} "Добавить папку программы в мой PATH (quill.exe)"
LangString SecSettingsName ${LANG_ENGLISH} "Remove my Quillarent settings"
LangString SecSettingsName ${LANG_RUSSIAN} "Удалить мои настройки Quillarent"
LangString Needs64Bit ${LANG_ENGLISH} "Quillarent needs a 64-bit version of Windows."
LangString Needs64Bit ${LANG_RUSSIAN} "Для Quillarent нужна 64-разрядная версия Windows."
LangString RegisterFailed ${LANG_ENGLISH} "Quillarent.dll could not be registered (regsvr32 exit code $0)."
LangString RegisterFailed ${LANG_RUSSIAN} "Не удалось зарегистрировать Quillarent.dll (код завершения regsvr32: $0)."
LangString NothingToRegister ${LANG_ENGLISH} "Quillarent.dll has no registration entry: nothing was registered."
LangString NothingToRegister ${LANG_RUSSIAN} "В Quillarent.dll нет функции регистрации: ничего не зарегистрировано."

; regsvr32 as a 64-bit program (this installer is 32-bit, the DLL 64-bit); exit status in $0, 4
; when the DLL does not export the entry at all.
!macro RunRegsvr32 ARGUMENTS
    ClearErrors
    ExecWait '"$WINDIR\sysnative\regsvr32.exe" /s ${ARGUMENTS} "$INSTDIR\Quillarent.dll"' $0
    ${If} ${Errors}
        StrCpy $0 "-1"
    ${EndIf}
!macroend

Section "!$(SecProgramName)" SecProgram
    SectionIn RO
    SetOutPath "$INSTDIR"
    File "/oname=Quillarent.dll" "${QUILL_DLL}"
    ; The self-decoding builder copies Quendrix.exe from the folder of the module that packs.
    File "/oname=Quendrix.exe" "${QUENDRIX_EXE}"
    File "/oname=quill.exe" "${QUILL_EXE}"
    !ifdef QUILL_HELP
        SetOutPath "$INSTDIR\Help"
        File "/oname=Quillarent.chm" "${QUILL_HELP}"
        SetOutPath "$INSTDIR"
    !endif
    WriteUninstaller "$INSTDIR\uninstall.exe"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Quillarent"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${QUILL_VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Orbelin"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Quillarent.dll"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0

    ; After the uninstall entry, so that a failed registration can still be uninstalled.
    !insertmacro RunRegsvr32 ""
    ${If} $0 == 4
        DetailPrint "$(NothingToRegister)"
    ${ElseIf} $0 != 0
        MessageBox MB_ICONSTOP|MB_OK "$(RegisterFailed)" /SD IDOK
        Abort
    ${EndIf}
SectionEnd

Section /o "$(SecPathName)" SecPath
    ReadRegStr $0 HKCU "${ENVIRONMENT_KEY}" "Path"
    ; Already there (an earlier installation added it, or the user did): left as it is.
    ${StrRep} $1 ";$0;" ";$INSTDIR;" ""
    ${If} $1 == ";$0;"
        ${If} $0 == ""
            StrCpy $0 "$INSTDIR"
        ${Else}
            StrCpy $0 "$0;$INSTDIR"
        ${EndIf}
        WriteRegExpandStr HKCU "${ENVIRONMENT_KEY}" "Path" "$0"
        ; The uninstaller takes out only what was put in.
        WriteRegDWORD HKLM "${UNINSTALL_KEY}" "PathAdded" 1
        SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
    ${EndIf}
SectionEnd

Function .onInit
    ${IfNot} ${RunningX64}
        MessageBox MB_ICONSTOP|MB_OK "$(Needs64Bit)" /SD IDOK
        Abort
    ${EndIf}
    SetRegView 64
    ; Over an existing installation: into its folder, unless /D= named another.
    ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $0 != ""
    ${AndIf} $INSTDIR == "$PROGRAMFILES64\Quillarent"
        StrCpy $INSTDIR $0
    ${EndIf}
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/PATH=" $1
    ${IfNot} ${Errors}
    ${AndIf} $1 == 1
        !insertmacro SelectSection ${SecPath}
    ${EndIf}
FunctionEnd

Section "-un.Program"
    ReadRegDWORD $3 HKLM "${UNINSTALL_KEY}" "PathAdded"
    ${If} $3 == 1
        ReadRegStr $0 HKCU "${ENVIRONMENT_KEY}" "Path"
        ${UnStrRep} $1 ";$0;" ";$INSTDIR;" ";"
        ; Strip the separators added around the value above.
        StrCpy $1 $1 "" 1
        StrCpy $1 $1 -1
        ${If} $1 == ""
            DeleteRegValue HKCU "${ENVIRONMENT_KEY}" "Path"
        ${Else}
            WriteRegExpandStr HKCU "${ENVIRONMENT_KEY}" "Path" "$1"
        ${EndIf}
        SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
    ${EndIf}

    ; A DLL without the entry (exit status 4) registered nothing.
    !insertmacro RunRegsvr32 "/u"
    ${If} $0 != 0
    ${AndIf} $0 != 4
        DetailPrint "regsvr32 /u: $0"
    ${EndIf}

    Delete /REBOOTOK "$INSTDIR\Quillarent.dll"
    Delete "$INSTDIR\Quendrix.exe"
    Delete "$INSTDIR\quill.exe"
    Delete "$INSTDIR\Help\Quillarent.chm"
    RMDir "$INSTDIR\Help"
    Delete "$INSTDIR\uninstall.exe"
    ; Only when empty: files the user put there stay.
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

Section /o "un.$(SecSettingsName)" UnSecSettings
    DeleteRegKey HKCU "${SETTINGS_KEY}"
    DeleteRegKey /ifempty HKCU "Software\Orbelin"
SectionEnd

Function un.onInit
    SetRegView 64
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/REMOVESETTINGS=" $1
    ${IfNot} ${Errors}
    ${AndIf} $1 == 1
        !insertmacro SelectSection ${UnSecSettings}
    ${EndIf}
FunctionEnd
