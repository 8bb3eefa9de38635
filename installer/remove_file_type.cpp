// The package's custom action "RemoveFileType": on removal, after the
// server's own "uninstall" run has given the extensions back their stock
// file types, deletes the file type "TarselFile" that the server wrote
// (the server keeps it). It may live in the user's or in the machine's
// classes; both are tried, and a key that is not there is fine.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

extern "C" __declspec(dllexport) UINT __stdcall RemoveFileType(MSIHANDLE)
{
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Classes\\TarselFile");
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\TarselFile");
    return ERROR_SUCCESS;
}
