// DllRegisterServer and DllUnregisterServer of the proxy/stub DLL. The DLL is a fallback for
// machines without another proxy of the OPC interfaces (the OPC Foundation's core components
// install one): an interface whose proxy entry names another class keeps it, and unregistering
// removes only the entries that name this DLL's class.

// The proxy tables are C structures with C-style interface vtables.
#define CINTERFACE
#include <windows.h>

#include <objbase.h>
#include <rpcproxy.h>

#include <string>

extern "C" IMAGE_DOS_HEADER __ImageBase;  // this DLL's module handle

extern "C" void RPC_ENTRY GetProxyDllInfo(const ProxyFileInfo*** files, const CLSID** clsid);

namespace {

std::wstring GuidText(REFGUID guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

std::wstring InterfaceKey(REFIID iid) {
    return L"Interface\\" + GuidText(iid);
}

const CLSID& OwnClass() {
    const ProxyFileInfo** files = nullptr;
    const CLSID* clsid = nullptr;
    GetProxyDllInfo(&files, &clsid);
    return *clsid;
}

std::wstring ClassKey() {
    return L"CLSID\\" + GuidText(OwnClass());
}

// Calls `visit(iid, name, method count)` for every interface the DLL marshals.
template <typename Visit>
void ForEachInterface(Visit visit) {
    const ProxyFileInfo** files = nullptr;
    const CLSID* clsid = nullptr;
    GetProxyDllInfo(&files, &clsid);
    for (; *files != nullptr; ++files) {
        const ProxyFileInfo& file = **files;
        for (unsigned short i = 0; i < file.TableSize; ++i) {
            const CInterfaceStubHeader& stub = file.pStubVtblList[i]->header;
            visit(*stub.piid, file.pNamesArray[i], stub.DispatchTableCount);
        }
    }
}

// Writes the default value of HKEY_CLASSES_ROOT\<path> (created when missing), and one named
// value beside it when `name` is given.
LONG SetValue(const std::wstring& path, const std::wstring& value, const wchar_t* name = nullptr,
              const std::wstring& named = L"") {
    HKEY key = nullptr;
    LONG result = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                  nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS) return result;
    auto set = [&](const wchar_t* valueName, const std::wstring& text) {
        return RegSetValueExW(key, valueName, 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(text.c_str()),
                              DWORD((text.size() + 1) * sizeof(wchar_t)));
    };
    result = set(nullptr, value);
    if (result == ERROR_SUCCESS && name != nullptr) result = set(name, named);
    RegCloseKey(key);
    return result;
}

enum class Owner { None, This, Other };

// Who marshals the interface now, by its ProxyStubClsid32 entry.
Owner ProxyOwner(REFIID iid) {
    wchar_t text[64] = {};
    DWORD size = sizeof text;
    const std::wstring path = InterfaceKey(iid) + L"\\ProxyStubClsid32";
    const LONG read =
        RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, text, &size);
    if (read == ERROR_FILE_NOT_FOUND) return Owner::None;
    CLSID clsid{};
    if (read != ERROR_SUCCESS || FAILED(CLSIDFromString(text, &clsid))) return Owner::Other;
    return IsEqualCLSID(clsid, OwnClass()) ? Owner::This : Owner::Other;
}

LONG DeleteTree(const std::wstring& path) {
    const LONG result = RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str());
    return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
}

// Removes the entries this DLL writes under Interface\{IID}, and the key when nothing else of
// anybody's is left in it.
LONG RemoveInterface(REFIID iid) {
    const std::wstring path = InterfaceKey(iid);
    LONG result = DeleteTree(path + L"\\ProxyStubClsid32");
    if (result == ERROR_SUCCESS) result = DeleteTree(path + L"\\NumMethods");
    if (result != ERROR_SUCCESS) return result;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return ERROR_SUCCESS;
    DWORD subkeys = 0, values = 0;
    result = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                              nullptr, nullptr, nullptr, nullptr);
    const bool named =
        RegQueryValueExW(key, nullptr, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || subkeys != 0 || values > (named ? 1u : 0u)) return result;
    return DeleteTree(path);  // at most the interface's name was left
}

LONG Unregister() {
    LONG first = ERROR_SUCCESS;
    ForEachInterface([&](REFIID iid, const char*, unsigned long) {
        if (ProxyOwner(iid) != Owner::This) return;
        const LONG removed = RemoveInterface(iid);
        if (first == ERROR_SUCCESS) first = removed;
    });
    const LONG removed = DeleteTree(ClassKey());
    return first != ERROR_SUCCESS ? first : removed;
}

LONG Register() {
    wchar_t module[MAX_PATH] = {};
    const DWORD length =
        GetModuleFileNameW(reinterpret_cast<HMODULE>(&__ImageBase), module, MAX_PATH);
    if (length == 0 || length == MAX_PATH) return ERROR_BAD_PATHNAME;
    LONG result = SetValue(ClassKey(), L"PSFactoryBuffer");
    if (result == ERROR_SUCCESS)
        result = SetValue(ClassKey() + L"\\InProcServer32", module, L"ThreadingModel", L"Both");
    const std::wstring ownClass = GuidText(OwnClass());
    ForEachInterface([&](REFIID iid, const char* name, unsigned long methods) {
        if (result != ERROR_SUCCESS || ProxyOwner(iid) == Owner::Other) return;
        const std::wstring path = InterfaceKey(iid);
        result = SetValue(path, std::wstring(name, name + strlen(name)));
        if (result == ERROR_SUCCESS)
            result = SetValue(path + L"\\NumMethods", std::to_wstring(methods));
        if (result == ERROR_SUCCESS) result = SetValue(path + L"\\ProxyStubClsid32", ownClass);
    });
    return result;
}

}  // namespace

STDAPI DllRegisterServer() {
    const LONG result = Register();
    if (result == ERROR_SUCCESS) return S_OK;
    Unregister();  // nothing half-written stays behind
    return HRESULT_FROM_WIN32(result);
}

STDAPI DllUnregisterServer() {
    const LONG result = Unregister();
    return result == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(result);
}
