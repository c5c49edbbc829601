#include <cstdio>
#include <string>

#include "dalog.h"
#include "opc/daregister.h"
#include "opcconst.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/registry.h"

namespace opc {
namespace {

namespace reg = platform::reg;
constexpr reg::Hive kRoot = reg::Hive::ClassesRoot;

constexpr const char* kCategoryDescriptions[] = {"OPC Data Access Servers Version 1.0",
                                                 "OPC Data Access Servers Version 2.0"};
constexpr LCID kCategoryLocale = 0x409;

// The log may not be open when registration runs before any service exists.
class LogHold {
public:
    LogHold() { daLogOpen(); }
    ~LogHold() { daLogClose(); }
    LogHold(const LogHold&) = delete;
    LogHold& operator=(const LogHold&) = delete;
};

// The category manager is an in-process COM object, so COM must be up while it is used.
class ComHold {
public:
    ComHold() : initialized_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
    ~ComHold() {
        if (initialized_) CoUninitialize();
    }
    ComHold(const ComHold&) = delete;
    ComHold& operator=(const ComHold&) = delete;

private:
    bool initialized_;
};

struct Categories {
    CATID ids[2] = {CATID_OPCDAServer10, CATID_OPCDAServer20};
};

// POSIX has no category manager: creating it fails there, and the callers fall back to
// writing the category keys themselves.
ICatRegister* CategoryManager() {
    ICatRegister* manager = nullptr;
    HRESULT result =
        CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                         IID_ICatRegister, reinterpret_cast<void**>(&manager));
    if (FAILED(result) || manager == nullptr) {
        kvlog::Warning(daLog(), "%!l FAILED to get ICatRegister", static_cast<uint32_t>(result));
        return nullptr;
    }
    return manager;
}

CATEGORYINFO CategoryInfo(const CATID& id, const char* description) {
    CATEGORYINFO info{};
    info.catid = id;
    info.lcid = kCategoryLocale;
    std::u16string text = platform::Cp1251ToUtf16(description);
    for (size_t i = 0; i < text.size() && i + 1 < std::size(info.szDescription); ++i) {
        info.szDescription[i] = static_cast<OLECHAR>(text[i]);
    }
    return info;
}

bool RegisterCategoriesThrough(ICatRegister* manager, const CLSID& classId) {
    Categories categories;
    CATEGORYINFO infos[2] = {CategoryInfo(categories.ids[0], kCategoryDescriptions[0]),
                             CategoryInfo(categories.ids[1], kCategoryDescriptions[1])};
    HRESULT result = manager->RegisterCategories(2, infos);
    if (FAILED(result)) {
        kvlog::Error(daLog(), "%!l FAILED ICatRegister::RegisterCategories()",
                     static_cast<uint32_t>(result));
        return false;
    }
    result = manager->RegisterClassImplCategories(classId, 2, categories.ids);
    if (FAILED(result)) {
        kvlog::Error(daLog(), "%!l FAILED ICatRegister::%sRegisterClassImplCategories()",
                     static_cast<uint32_t>(result), "");
        return false;
    }
    return true;
}

std::string CategoryKey(const std::string& classKey, const CATID& id) {
    return classKey + "\\Implemented Categories\\" + daClassIdText(id);
}

uint32_t RegisterCategories(const CLSID& classId, const std::string& classKey) {
    if (ICatRegister* manager = CategoryManager()) {
        bool registered = RegisterCategoriesThrough(manager, classId);
        manager->Release();
        if (registered) return platform::kErrorSuccess;
    }
    for (const CATID& id : Categories().ids) {
        if (uint32_t code = reg::CreateKey(kRoot, CategoryKey(classKey, id)); code != 0) {
            return code;
        }
    }
    return platform::kErrorSuccess;
}

void UnregisterCategories(const CLSID& classId) {
    ICatRegister* manager = CategoryManager();
    if (manager == nullptr) return;
    Categories categories;
    HRESULT result = manager->UnRegisterClassImplCategories(classId, 2, categories.ids);
    if (FAILED(result)) {
        kvlog::Error(daLog(), "%!l FAILED ICatRegister::%sRegisterClassImplCategories()",
                     static_cast<uint32_t>(result), "Un");
    }
    manager->Release();
}

uint32_t SetDefault(const std::string& key, const char* text) {
    return reg::SetValue(kRoot, key, "", reg::Value::String(text ? text : ""));
}

bool Given(const char* text) {
    return text != nullptr && *text != '\0';
}

// Steps stop at the first registry error, which they return.
uint32_t WriteRegistration(const CLSID& classId, const std::string& classText, const char* progId,
                           const char* description, const char* commandLine,
                           const char* threadingModel) {
    const std::string progKey = progId;
    const std::string classKey = "CLSID\\" + classText;
    uint32_t code = SetDefault(progKey, description);
    if (code == 0) code = SetDefault(progKey + "\\CLSID", classText.c_str());
    if (code == 0) code = SetDefault(progKey + "\\OPC\\Vendor", "Norvo");
    if (code == 0) code = SetDefault("AppID\\" + classText, description);
    if (code == 0) code = SetDefault(classKey, description);
    if (code == 0 && Given(commandLine)) {
        const std::string serverKey =
            classKey + (threadingModel != nullptr ? "\\InprocServer32" : "\\LocalServer32");
        code = SetDefault(serverKey, commandLine);
        if (code == 0 && Given(threadingModel)) {
            code = reg::SetValue(kRoot, serverKey, "ThreadingModel",
                                 reg::Value::String(threadingModel));
        }
    }
    if (code == 0) code = reg::SetValue(kRoot, classKey, "AppID", reg::Value::String(classText));
    if (code == 0) code = SetDefault(classKey + "\\ProgID", progId);
    if (code == 0) code = RegisterCategories(classId, classKey);
    return code;
}

// Deletes a key if present; a key that stays is logged and its error kept in *firstError.
void RemoveKey(const std::string& classText, const std::string& key, bool underClass,
               uint32_t* firstError) {
    uint32_t code = reg::DeleteTree(kRoot, key);
    if (code == 0 || code == platform::kErrorFileNotFound) return;
    if (underClass) {
        kvlog::Warning(daLog(), "daUnRegisterServer(%s) can't remove %s", classText.c_str(),
                       key.c_str());
    } else {
        kvlog::Warning(daLog(), "daUnRegisterServer(%s) can't remove HKCR:%s", classText.c_str(),
                       key.c_str());
    }
    if (*firstError == 0) *firstError = code;
}

uint32_t RemoveRegistration(const CLSID& classId, const std::string& classText,
                            const std::string& progKey) {
    UnregisterCategories(classId);
    uint32_t firstError = 0;
    const std::string appKey = "AppID\\" + classText;
    for (const std::string& key :
         {progKey + "\\CurrentVersion", progKey + "\\OPC\\Vendor", progKey + "\\OPC",
          progKey + "\\CLSID", progKey, appKey + "\\LocalService", appKey + "\\ServiceParameters",
          appKey}) {
        RemoveKey(classText, key, false, &firstError);
    }
    const std::string classKey = "CLSID\\" + classText;
    for (const std::string& sub :
         {CategoryKey("", CATID_OPCDAServer10), CategoryKey("", CATID_OPCDAServer20),
          std::string("\\Implemented Categories"), std::string("\\InprocServer32\\ThreadingModel"),
          std::string("\\InprocServer32"), std::string("\\LocalServer32"),
          std::string("\\InprocHandler32"), std::string("\\ProgID"), std::string("\\AppID")}) {
        RemoveKey(classText, classKey + sub, true, &firstError);
    }
    RemoveKey(classText, classKey, true, &firstError);
    return firstError;
}

}  // namespace

std::string daClassIdText(const CLSID& id) {
    char text[40];
    std::snprintf(text, sizeof(text), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(id.Data1), id.Data2, id.Data3, id.Data4[0],
                  id.Data4[1], id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6],
                  id.Data4[7]);
    return text;
}

int daServerRegister(const CLSID& classId, const char* progId, const char* description,
                     const char* commandLine, const char* threadingModel) {
    LogHold log;
    const std::string classText = daClassIdText(classId);
    kvlog::Info(daLog(), "daServerRegister(%s)", classText.c_str());
    uint32_t code = platform::kErrorInvalidParameter;
    if (Given(progId)) {
        ComHold com;
        code =
            WriteRegistration(classId, classText, progId, description, commandLine, threadingModel);
        if (code == 0) return 0;
    }
    kvlog::Error(daLog(), "%!l daServerRegister(%s) FAILED", code, classText.c_str());
    if (Given(progId)) daUnRegisterServer(classId, progId);
    platform::SetLastError(code);
    return -1;
}

int daUnRegisterServer(const CLSID& classId, const char* progId) {
    LogHold log;
    const std::string classText = daClassIdText(classId);
    kvlog::Info(daLog(), "daUnRegisterServer(%s)", classText.c_str());
    uint32_t code = platform::kErrorInvalidParameter;
    if (Given(progId)) {
        ComHold com;
        code = RemoveRegistration(classId, classText, progId);
        if (code == 0) return 0;
    }
    kvlog::Error(daLog(), "%!l daServerUnRegister(%s) FAILED", code, classText.c_str());
    platform::SetLastError(code);
    return -1;
}

}  // namespace opc
