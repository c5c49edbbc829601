#include <cstdint>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "opc/daregister.h"
#include "opc_test_support.h"
#include "platform/errors.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "testing/support.h"

namespace {

namespace reg = platform::reg;
constexpr reg::Hive kRoot = reg::Hive::ClassesRoot;
constexpr const char* kDa10 = "{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}";
constexpr const char* kDa20 = "{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}";

// A class identifier of its own per run, since under Wine the classes root is shared.
CLSID ClassIdFrom(const std::string& name) {
    uint64_t hash = 14695981039346656037ull;
    unsigned char bytes[16];
    for (int i = 0; i < 16; ++i) {
        for (char c : name)
            hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        hash = (hash ^ static_cast<unsigned>(i)) * 1099511628211ull;
        bytes[i] = static_cast<unsigned char>(hash >> 32);
    }
    CLSID id{};
    id.Data1 = static_cast<uint32_t>(bytes[0] << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3]);
    id.Data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
    id.Data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
    for (int i = 0; i < 8; ++i)
        id.Data4[i] = bytes[8 + i];
    return id;
}

std::string Default(const std::string& key) {
    reg::Value value;
    if (reg::QueryValue(kRoot, key, "", &value) != 0) return "<missing>";
    return value.AsString();
}

class RegistrationTest : public ::testing::Test {
protected:
    RegistrationTest()
        : progId_(testing_support::UniqueName("Karvex.Test")),
          classId_(ClassIdFrom(progId_)),
          classText_(opc::daClassIdText(classId_)),
          classKey_("CLSID\\" + classText_) {}
    ~RegistrationTest() override { opc::daUnRegisterServer(classId_, progId_.c_str()); }

    int Register(const char* threadingModel = nullptr) {
        return opc::daServerRegister(classId_, progId_.c_str(), "Karvex test server",
                                     "C:\\karvex\\server.exe", threadingModel);
    }

    // Every key the registration may leave behind.
    std::vector<std::string> AllKeys() const {
        return {progId_, "AppID\\" + classText_, classKey_};
    }
    bool NothingLeft() const {
        for (const std::string& key : AllKeys()) {
            if (reg::KeyExists(kRoot, key)) return false;
        }
        return true;
    }

    opc_test::LogCapture log_;
    std::string progId_;
    CLSID classId_;
    std::string classText_;
    std::string classKey_;
};

TEST(ClassIdText, IsTheRegistryForm) {
    const CLSID id = {0x63D5F430, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
    EXPECT_EQ(opc::daClassIdText(id), kDa10);
}

TEST_F(RegistrationTest, WritesTheLocalServerKeys) {
    ASSERT_EQ(Register(), 0);
    EXPECT_TRUE(log_.Contains("daServerRegister(" + classText_ + ")"));

    EXPECT_EQ(Default(progId_), "Karvex test server");
    EXPECT_EQ(Default(progId_ + "\\CLSID"), classText_);
    EXPECT_EQ(Default(progId_ + "\\OPC\\Vendor"), "Norvo");
    EXPECT_EQ(Default("AppID\\" + classText_), "Karvex test server");
    EXPECT_EQ(Default(classKey_), "Karvex test server");
    EXPECT_EQ(Default(classKey_ + "\\LocalServer32"), "C:\\karvex\\server.exe");
    EXPECT_EQ(Default(classKey_ + "\\ProgID"), progId_);
    reg::Value appId;
    ASSERT_EQ(reg::QueryValue(kRoot, classKey_, "AppID", &appId), 0u);
    EXPECT_EQ(appId.AsString(), classText_);
    EXPECT_TRUE(reg::KeyExists(kRoot, classKey_ + "\\Implemented Categories\\" + kDa10));
    EXPECT_TRUE(reg::KeyExists(kRoot, classKey_ + "\\Implemented Categories\\" + kDa20));
#ifdef _WIN32
    EXPECT_FALSE(log_.Contains("FAILED to get ICatRegister"));  // the system's manager wrote them
#else
    EXPECT_TRUE(log_.Contains("FAILED to get ICatRegister"));  // no manager: written directly
#endif

    EXPECT_FALSE(reg::KeyExists(kRoot, classKey_ + "\\InprocServer32"));
    reg::Value model;
    EXPECT_NE(reg::QueryValue(kRoot, classKey_ + "\\LocalServer32", "ThreadingModel", &model), 0u);

    ASSERT_EQ(opc::daUnRegisterServer(classId_, progId_.c_str()), 0);
    EXPECT_TRUE(log_.Contains("daUnRegisterServer(" + classText_ + ")"));
    EXPECT_TRUE(NothingLeft());
}

TEST_F(RegistrationTest, ThreadingModelMakesAnInprocServer) {
    ASSERT_EQ(Register("Both"), 0);
    EXPECT_FALSE(reg::KeyExists(kRoot, classKey_ + "\\LocalServer32"));
    EXPECT_EQ(Default(classKey_ + "\\InprocServer32"), "C:\\karvex\\server.exe");
    reg::Value model;
    ASSERT_EQ(reg::QueryValue(kRoot, classKey_ + "\\InprocServer32", "ThreadingModel", &model), 0u);
    EXPECT_EQ(model.AsString(), "Both");
    ASSERT_EQ(opc::daUnRegisterServer(classId_, progId_.c_str()), 0);
    EXPECT_TRUE(NothingLeft());
}

TEST_F(RegistrationTest, UnregisterThenRegisterTwiceAllSucceed) {
    EXPECT_EQ(opc::daUnRegisterServer(classId_, progId_.c_str()), 0);
    EXPECT_EQ(Register(), 0);
    EXPECT_EQ(Register(), 0);
    EXPECT_EQ(Default(classKey_ + "\\LocalServer32"), "C:\\karvex\\server.exe");
    EXPECT_EQ(opc::daUnRegisterServer(classId_, progId_.c_str()), 0);
    EXPECT_TRUE(NothingLeft());
    // Where a category manager exists, registering went through it without a failure.
    EXPECT_FALSE(log_.Contains("ICatRegister::RegisterCategories()"));
    EXPECT_FALSE(log_.Contains("ICatRegister::RegisterClassImplCategories()"));
}

TEST_F(RegistrationTest, MissingProgIdFailsWithInvalidParameter) {
    for (const char* progId : {static_cast<const char*>(nullptr), ""}) {
        platform::SetLastError(0);
        EXPECT_EQ(opc::daServerRegister(classId_, progId, "x", "y.exe", nullptr), -1);
        EXPECT_EQ(platform::LastError(), platform::kErrorInvalidParameter);
        platform::SetLastError(0);
        EXPECT_EQ(opc::daUnRegisterServer(classId_, progId), -1);
        EXPECT_EQ(platform::LastError(), platform::kErrorInvalidParameter);
    }
    EXPECT_FALSE(reg::KeyExists(kRoot, classKey_));
    EXPECT_TRUE(log_.Contains("daServerRegister(" + classText_ + ") FAILED"));
    EXPECT_TRUE(log_.Contains("daServerUnRegister(" + classText_ + ") FAILED"));
}

#ifndef _WIN32
// The hive file is damaged when the category keys are about to be written (the category
// manager is missing here, which the log says just before), and repaired once the failure is
// logged, so the clean-up can run.
TEST_F(RegistrationTest, FailureMidwayRemovesWhatWasWritten) {
    const std::string hive = reg::StorageDirectory() + "/HKEY_CLASSES_ROOT.reg";
    std::string intact;
    platform::SetDebugOutputHook([&](const std::string& text) {
        if (text.find("FAILED to get ICatRegister") != std::string::npos && intact.empty()) {
            intact = testing_support::ReadFile(hive);
            std::ofstream(hive, std::ios::app) << "this line is no registry line\n";
        } else if (text.find("daServerRegister(") != std::string::npos &&
                   text.find(") FAILED") != std::string::npos) {
            std::ofstream(hive, std::ios::trunc) << intact;
        }
    });
    platform::SetLastError(0);
    EXPECT_EQ(Register(), -1);
    platform::SetDebugOutputHook(nullptr);
    EXPECT_EQ(platform::LastError(), platform::kErrorRegistryCorrupt);
    ASSERT_FALSE(intact.empty());
    EXPECT_NE(intact.find("LocalServer32"), std::string::npos);  // written before the failure
    EXPECT_TRUE(NothingLeft());
}
#endif

}  // namespace
