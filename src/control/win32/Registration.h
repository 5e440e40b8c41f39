// Registering the control: the class (in-process server, apartment
// threaded), its type library and its two interfaces (marshalled by the
// type library), under HKEY_CURRENT_USER\Software\Classes for the user (no
// administrator needed) or HKEY_LOCAL_MACHINE\Software\Classes for every
// user. No ProgID and no "safe for scripting" category: the control is made
// by class id only, and says itself where it is safe (IObjectSafety, see
// HostCheck.h).
//
// Unregistering removes exactly those keys, then the folders "CLSID",
// "TypeLib" and "Interface" when that left them empty (a user's classes may
// have had none of them before the first registration), so the registry is
// as it was before.
#pragma once

#include <windows.h>

#include <string>

enum class RegistrationScope { User, Machine };

// The classes key of the scope: "Software\Classes" under HKCU or HKLM.
HKEY RegistrationRoot(RegistrationScope scope);

// dllPath: the full path of kestrix-control.dll. S_OK, or the failure as an
// HRESULT (HRESULT_FROM_WIN32 of the registry's error).
HRESULT RegisterControl(RegistrationScope scope, const std::wstring& dllPath);
HRESULT UnregisterControl(RegistrationScope scope);
