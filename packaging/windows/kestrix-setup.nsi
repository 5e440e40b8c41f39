; kestrix-setup.exe: installs the Kestrix native messaging host on Windows.
;
;   kestrix-setup.exe            this user, no administrator rights:
;                                %LOCALAPPDATA%\Programs\Kestrix, HKCU keys
;   kestrix-setup.exe /ALLUSERS  every user (from an elevated prompt):
;                                Program Files, HKLM keys
;   /S                           silent (no window; the exit code tells)
;
; The files go to the folder; the manifests and the browsers' registry keys
; are written by kestrix-install.exe itself (Chromium, Chrome, Edge and
; Firefox), so the installer and the program agree on every name. The
; printing control, kestrix-control.dll, registers itself through its own
; DllInstall: "user" (HKCU\Software\Classes) or "machine" (HKLM\Software\Classes;
; this installer is a 32-bit process, so on 64-bit Windows the keys land in
; the 32-bit view, where a 32-bit in-process server belongs). The uninstaller
; ("Apps & features", or uninstall.exe /S) unregisters the control the same
; way and asks kestrix-install to remove what it wrote, then removes the
; files, the folder and its own key: what the installer wrote, nothing else.
;
; Built by the Windows build (tests/win32/CMakeLists.txt):
;   makensis -DBUILD=<build folder> [-DFILES=<folder>] kestrix-setup.nsi
; BUILD receives kestrix-setup.exe; FILES holds the programs to ship
; (stripped copies; BUILD itself when not given).

Unicode true
ManifestSupportedOS all
RequestExecutionLevel user
SetCompressor /SOLID lzma

!ifndef BUILD
  !error "define BUILD: the folder kestrix-setup.exe goes to (and, without FILES, the programs come from)"
!endif
!ifndef FILES
  !define FILES "${BUILD}"
!endif
!ifndef VERSION
  !define VERSION "0.1.0"
!endif
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Kestrix"

!include FileFunc.nsh
!include LogicLib.nsh

Name "Kestrix printing host"
OutFile "${BUILD}\kestrix-setup.exe"
InstallDir "$LOCALAPPDATA\Programs\Kestrix"
ShowInstDetails show
ShowUninstDetails show

Page instfiles
UninstPage instfiles

Var Scope  ; the scope option of kestrix-install: --user or --system
Var ControlScope  ; the control's DllInstall argument: user or machine

; /ALLUSERS: every user. Without administrator rights the keys under HKLM
; cannot be written: stop with exit code 3 and say why, before anything is written.
!macro ChooseScope un
Function ${un}ChooseScope
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/ALLUSERS" $R1
  ${If} ${Errors}
    StrCpy $Scope "--user"
    StrCpy $ControlScope "user"
    SetShellVarContext current
    StrCpy $INSTDIR "$LOCALAPPDATA\Programs\Kestrix"
  ${Else}
    StrCpy $Scope "--system"
    StrCpy $ControlScope "machine"
    SetShellVarContext all
    StrCpy $INSTDIR "$PROGRAMFILES\Kestrix"
    UserInfo::GetAccountType
    Pop $R2
    ${If} $R2 != "Admin"
      MessageBox MB_ICONSTOP "Installing for every user (/ALLUSERS) needs administrator rights." /SD IDOK
      SetErrorLevel 3
      Quit
    ${EndIf}
  ${EndIf}
FunctionEnd
!macroend
!insertmacro ChooseScope ""
!insertmacro ChooseScope "un."

; Registers (1) or unregisters (0) the installed control for $ControlScope
; by calling its DllInstall. The DLL is loaded by its full path and freed
; again, so the uninstaller can delete it (the System plugin's own
; "<path>::DllInstall" form failed for a DLL in "Program Files (x86)").
; Failure sets exit code 2 and says so.
!macro ControlRegistration un
Function ${un}ControlRegistration
  Exch $R4
  StrCpy $R5 "not loaded"
  System::Call 'kernel32::LoadLibraryW(w "$INSTDIR\kestrix-control.dll") p .R6'
  ${If} $R6 P<> 0
    System::Call 'kernel32::GetProcAddress(p R6, m "DllInstall") p .R7'
    StrCpy $R5 "no DllInstall"
    ${If} $R7 P<> 0
      System::Call '::$R7(i R4, w "$ControlScope") i .R5'
    ${EndIf}
    System::Call 'kernel32::FreeLibrary(p R6)'
  ${EndIf}
  ${If} $R5 != 0
    DetailPrint "kestrix-control.dll: DllInstall($R4, $ControlScope) failed ($R5)"
    SetErrorLevel 2
  ${EndIf}
  Pop $R4
FunctionEnd
!macroend
!insertmacro ControlRegistration ""
!insertmacro ControlRegistration "un."

Function .onInit
  Call ChooseScope
FunctionEnd

Function un.onInit
  Call un.ChooseScope
FunctionEnd

Section "Kestrix"
  SetOutPath "$INSTDIR"
  File "${FILES}\kestrix-host.exe"
  File "${FILES}\kestrix-install.exe"
  File "${FILES}\kestrix-control.dll"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  Push 1
  Call ControlRegistration

  nsExec::ExecToLog '"$INSTDIR\kestrix-install.exe" install $Scope --browser all --host "$INSTDIR\kestrix-host.exe"'
  Pop $0
  ${If} $0 != 0
    DetailPrint "kestrix-install could not register the host (exit code $0)"
    SetErrorLevel 2
  ${EndIf}

  ; "Apps & features": under HKCU for this user, HKLM for every user.
  ${If} $Scope == "--system"
    StrCpy $R3 " /ALLUSERS"
  ${Else}
    StrCpy $R3 ""
  ${EndIf}
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "Kestrix printing host"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "Kestrix"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"$R3'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S$R3'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  Push 0
  Call un.ControlRegistration
  nsExec::ExecToLog '"$INSTDIR\kestrix-install.exe" uninstall $Scope --browser all'
  Pop $0
  ${If} $0 != 0
    DetailPrint "kestrix-install could not remove the registration (exit code $0)"
    SetErrorLevel 2
  ${EndIf}
  Delete "$INSTDIR\kestrix-host.exe"
  Delete "$INSTDIR\kestrix-install.exe"
  Delete "$INSTDIR\kestrix-control.dll"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
SectionEnd
