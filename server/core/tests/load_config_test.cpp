#include "core/load_config.h"

#include <gtest/gtest.h>

#include "captured_log.h"
#include "config/scf_file.h"
#include "platform/registry.h"
#include "testing/support.h"

namespace {

namespace reg = platform::reg;
using core::ChannelRecord;
using core::FieldDevice;
using core::RequestSize;
using core::RuntimeTables;
using core::ServerSettings;
using Messages = std::vector<std::string>;

// A settings key of the test's own (under Wine the registry is shared between processes), a
// log, a folder for the configuration file and the tables to fill.
class LoadConfigTest : public ::testing::Test {
protected:
    LoadConfigTest()
        : root_("Software\\KB Karvex\\Test\\" + testing_support::UniqueName("loadconfig")),
          key_(root_ + "\\Settings"),
          log_("LoadConfig:"),
          tables_(log_.handle()) {}
    ~LoadConfigTest() override { reg::DeleteTree(reg::Hive::CurrentUser, root_); }

    void Set(const std::string& name, const reg::Value& value) {
        ASSERT_EQ(reg::SetValue(reg::Hive::CurrentUser, key_, name, value), 0u) << name;
    }
    void SetText(const std::string& name, const std::string& text, reg::Type type = reg::Type::Sz) {
        Set(name, reg::Value::String(text, type));
    }
    // Writes the document as the configurator does and makes it the active configuration.
    void Activate(config::CKarvexOPCCfgDoc* doc) {
        const std::string path = dir_.File("active.scf");
        ASSERT_EQ(config::SaveDocument(path, doc), 0u);
        SetText("datafile", path);
    }
    void ActivateBytes(const std::string& bytes) {
        const std::string path = dir_.File("active.scf");
        FILE* file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
        std::fclose(file);
        SetText("datafile", path);
    }
    int Load() { return core::LoadConfig(&tables_, &settings_, log_.handle(), key_); }

    // The messages that are not about the file's bytes, which the reader's own tests cover.
    Messages SettingsMessages() const {
        Messages messages;
        for (const std::string& m : log_.Messages()) {
            if (m.find("config file") == std::string::npos) messages.push_back(m);
        }
        return messages;
    }
    ChannelRecord Channel(size_t index) const {
        ChannelRecord channel;
        EXPECT_EQ(tables_.GetChannel(index, &channel), core::kOk);
        return channel;
    }

    testing_support::TempDir dir_;
    std::string root_;
    std::string key_;
    core_test::CapturedLog log_;
    RuntimeTables tables_;
    ServerSettings settings_;
};

config::opcTagInfo Tag(uint32_t id, const std::string& name, uint8_t channelId, uint8_t address) {
    config::opcTagInfo tag;
    tag.m_dwID = id;
    tag.m_strName = name;
    tag.m_ucDevice = channelId;
    tag.m_ucDeviceNo = address;
    return tag;
}

config::opcDeviceInfo Device(const std::string& name, uint8_t id, uint8_t type = 100) {
    config::opcDeviceInfo device;
    device.m_strName = name;
    device.m_ucID = id;
    device.m_ucType = type;
    return device;
}

TEST_F(LoadConfigTest, WithoutTheKeyTheServerRunsEmptyWithDefaults) {
    EXPECT_EQ(Load(), 0);
    EXPECT_EQ(log_.Messages(), Messages{"E LoadConfig: opening registry FAILED!"});
    EXPECT_EQ(settings_.b_lockserver, 0u);
    EXPECT_EQ(settings_.g_cache_update_delay, 100u);
    EXPECT_EQ(settings_.b_sendallupdates, 1u);
    EXPECT_EQ(tables_.ChannelCount(), 0u);
    EXPECT_EQ(tables_.TagCount(), 0u);
}

TEST_F(LoadConfigTest, DwordSettingsKeepResetOrTakeTheirValueByHowTheyFail) {
    const std::string kLockInvalid =
        "W LoadConfig: cannot load (ERROR_INVALID_DATA) parameter b_lockserver, setting "
        "b_lockserver=";
    const std::string kLockAbsent =
        "W LoadConfig: cannot load parameter b_lockserver, setting b_lockserver=";
    const std::string kDelayInvalid =
        "W LoadConfig: cannot load (ERROR_INVALID_DATA) parameter g_cache_update_delay, setting "
        "g_cache_update_delay=100";
    const std::string kDelayAbsent =
        "W LoadConfig: cannot load parameter g_cache_update_delay, setting "
        "g_cache_update_delay=100";
    const std::string kSendInvalid =
        "W LoadConfig: cannot load (ERROR_INVALID_DATA) parameter b_sendallupdates, setting "
        "b_sendallupdates=1";
    const std::string kSendAbsent =
        "W LoadConfig: cannot load parameter b_sendallupdates, setting b_sendallupdates=1";
    struct Case {
        const char* what;
        bool present;
        reg::Value value;
        uint32_t lock;  // from a previous value of 7
        std::string lockLine;
        uint32_t delay;  // from a previous value of 250
        std::string delayLine;
        uint32_t send;  // from a previous value of 0
        std::string sendLine;
    };
    const Case cases[] = {
        {"absent", false, {}, 0, kLockAbsent + "0", 100, kDelayAbsent, 1, kSendAbsent},
        {"dword", true, reg::Value::Dword(1000), 1000, "I LoadConfig: setting b_lockserver=1000",
         1000, "I LoadConfig: setting g_cache_update_delay=1000", 1000,
         "I LoadConfig: setting b_sendallupdates=1000"},
        {"two-byte string 1", true, reg::Value::String("1"), 7, kLockInvalid + "7", 100,
         kDelayInvalid, 1, kSendInvalid},
        {"four-byte string", true, reg::Value::String("123"), 7, kLockInvalid + "7", 100,
         kDelayInvalid, 1, kSendInvalid},
        {"two bytes", true, reg::Value::Binary({1, 0}), 7, kLockInvalid + "7", 100, kDelayInvalid,
         1, kSendInvalid},
        {"four bytes of another type", true, reg::Value::Binary({1, 0, 0, 0}), 7,
         kLockInvalid + "7", 100, kDelayInvalid, 1, kSendInvalid},
        {"eight bytes", true, reg::Value::Binary({1, 0, 0, 0, 0, 0, 0, 0}), 0, kLockAbsent + "0",
         100, kDelayAbsent, 1, kSendAbsent},
        {"five-byte string", true, reg::Value::String("1234"), 0, kLockAbsent + "0", 100,
         kDelayAbsent, 1, kSendAbsent},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        reg::DeleteTree(reg::Hive::CurrentUser, root_);
        ASSERT_EQ(reg::CreateKey(reg::Hive::CurrentUser, key_), 0u);
        if (c.present) {
            Set("lock server", c.value);
            Set("cache update delay", c.value);
            Set("send all updates", c.value);
        }
        core_test::CapturedLog log("LoadConfig:");
        ServerSettings settings;
        settings.b_lockserver = 7;
        settings.g_cache_update_delay = 250;
        settings.b_sendallupdates = 0;
        EXPECT_EQ(core::LoadConfig(&tables_, &settings, log.handle(), key_), 0);
        EXPECT_EQ(settings.b_lockserver, c.lock);
        EXPECT_EQ(settings.g_cache_update_delay, c.delay);
        EXPECT_EQ(settings.b_sendallupdates, c.send);
        EXPECT_EQ(log.Messages(),
                  (Messages{"T LoadConfig: opening registry OK.", c.lockLine, c.delayLine,
                            c.sendLine, "E LoadConfig: reading config file path FAILED!"}));
    }

    // At start the kept value is the initial 0.
    SetText("lock server", "1");
    EXPECT_EQ(Load(), 0);
    EXPECT_EQ(settings_.b_lockserver, 0u);
    EXPECT_EQ(log_.Count(kLockInvalid + "0"), 1u);
}

TEST_F(LoadConfigTest, LoggedSettingsAreReadWhenReadableAndSkippedSilentlyOtherwise) {
    SetText("tx server", "%SystemRoot%\\host", reg::Type::ExpandSz);  // not expanded
    SetText("tx auth key", std::string(249, 'k'));
    Set("tx port", reg::Value::Dword(0x12345));  // low 16 bits
    Set("rx port", reg::Value::Dword(502));
    Set("tx devices", reg::Value::Binary({3, 4, 5}));
    Set("lock server", reg::Value::Dword(1));
    Set("cache update delay", reg::Value::Dword(40));
    Set("send all updates", reg::Value::Dword(0));
    EXPECT_EQ(Load(), 0);
    EXPECT_EQ(settings_.g_sTXServer, "%SystemRoot%\\host");
    EXPECT_EQ(settings_.g_sAuthKey, std::string(249, 'k'));
    EXPECT_EQ(settings_.g_wTXPort, 0x2345);
    EXPECT_EQ(settings_.g_wRXPort, 502);
    EXPECT_EQ(settings_.g_ucTXDevices, (std::vector<uint8_t>{3, 4, 5}));
    EXPECT_EQ(
        SettingsMessages(),
        (Messages{"T LoadConfig: opening registry OK.",
                  "I LoadConfig: setting g_sTXServer=%SystemRoot%\\host",
                  "I LoadConfig: setting g_sAuthKey=" + std::string(249, 'k'),
                  "I LoadConfig: setting g_wTXPort=9029", "I LoadConfig: setting g_wRXPort=502",
                  "I LoadConfig: setting g_ucTXDevices", "I LoadConfig: setting b_lockserver=1",
                  "I LoadConfig: setting g_cache_update_delay=40",
                  "I LoadConfig: setting b_sendallupdates=0"}));
    EXPECT_EQ(settings_.b_sendallupdates, 0u);

    // 250 characters do not fit with their terminator; wrong types are unreadable.
    SetText("tx server", std::string(250, 's'));
    Set("tx auth key", reg::Value::Dword(5));
    SetText("tx port", "1");
    Set("rx port", reg::Value::Binary({1, 2, 3, 4, 5}));
    Set("tx devices", reg::Value::Binary(std::vector<uint8_t>(251, 1)));
    ServerSettings fresh;
    settings_ = fresh;
    core_test::CapturedLog log("LoadConfig:");
    EXPECT_EQ(core::LoadConfig(&tables_, &settings_, log.handle(), key_), 0);
    EXPECT_EQ(settings_.g_sTXServer, "");
    EXPECT_EQ(settings_.g_sAuthKey, "");
    EXPECT_EQ(settings_.g_wTXPort, 0);
    EXPECT_EQ(settings_.g_wRXPort, 0);
    EXPECT_TRUE(settings_.g_ucTXDevices.empty());
    for (const std::string& m : log.Messages()) {
        EXPECT_EQ(m.find("g_s"), std::string::npos) << m;
        EXPECT_EQ(m.find("_wTXPort"), std::string::npos) << m;
        EXPECT_EQ(m.find("_wRXPort"), std::string::npos) << m;
        EXPECT_EQ(m.find("g_ucTXDevices"), std::string::npos) << m;
    }
}

TEST_F(LoadConfigTest, DatafilePathOf250CharactersIsUnreadable) {
    const std::string folder = dir_.path() + "/";
    for (size_t length : {249u, 250u, 300u}) {
        SCOPED_TRACE(length);
        const std::string path = folder + std::string(length - folder.size(), 'p');
        SetText("datafile", path);
        core_test::CapturedLog log("LoadConfig:");
        EXPECT_EQ(core::LoadConfig(&tables_, &settings_, log.handle(), key_), 0);
        const Messages messages = log.Messages();
        ASSERT_FALSE(messages.empty());
        if (length == 249) {
            EXPECT_EQ(settings_.datafile, path);
            EXPECT_EQ(log.Count("I LoadConfig: opening config file " + path + "..."), 1u);
            EXPECT_EQ(messages.back(),
                      "E LoadConfig: reading configuration FAILED! Cannot open file!");
        } else {
            EXPECT_EQ(settings_.datafile, "");
            EXPECT_EQ(messages.back(), "E LoadConfig: reading config file path FAILED!");
        }
    }
}

TEST_F(LoadConfigTest, FileWithoutTheMarkerFailsTheLoad) {
    ActivateBytes(std::string("\x72\0\0\0", 4) + "no section marker in here");
    EXPECT_EQ(Load(), 1);
    const Messages messages = log_.Messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(),
              "E LoadConfig: reading configuration FAILED! Broken file or wrong file version!");
}

TEST_F(LoadConfigTest, LoadsChannelsTagsFieldDevicesAndParameters) {
    config::CKarvexOPCCfgDoc doc;
    doc.Devices() = {Device("Boiler", 3), Device("Line", 0, 101), Device("Odd", 8, 200)};
    doc.Elements() = {Tag(1, "T5", 0, 5), Tag(2, "T2", 0, 2), Tag(3, "T5b", 0, 5),
                      Tag(4, "Lost", 9, 1), Tag(5, "B1", 3, 1)};
    doc.Elements()[1].m_strComment = std::string(300, 'c');
    doc.Parameters() = {{"DEVICE_REQUEST_MAXSIZE", "0,5,3,20"},
                        {"DEVICE_REQUEST_MAXSIZE", "0,5,3"},
                        {"TIME_SYNCH_KARVEX", "3,0,1,60"},
                        {"OTHER", "x"}};
    Activate(&doc);
    Set("cache update delay", reg::Value::Dword(100));
    Set("lock server", reg::Value::Dword(0));

    EXPECT_EQ(Load(), 0);
    ASSERT_EQ(tables_.ChannelCount(), 3u);
    EXPECT_EQ(Channel(0).m_strName, "Boiler");
    EXPECT_EQ(Channel(0).fieldDevices, (std::vector<FieldDevice>{{1, {}}}));
    EXPECT_EQ(Channel(1).m_ucType, 'e');
    EXPECT_EQ(Channel(1).fieldDevices,
              (std::vector<FieldDevice>{{5, {RequestSize{1, 3, 20}}}, {2, {}}}));
    EXPECT_TRUE(Channel(2).fieldDevices.empty());

    ASSERT_EQ(tables_.TagCount(), 5u);
    core::TagRecord tag;
    ASSERT_EQ(tables_.GetTag(3, &tag), core::kOk);
    EXPECT_EQ(tag.m_strName, "Lost");  // loaded, though it attaches nothing
    ASSERT_EQ(tables_.GetTag(1, &tag), core::kOk);
    EXPECT_EQ(tag.m_strComment, std::string(254, 'c'));
    EXPECT_EQ(tag.state, core::kTagNoFreshValue);

    ASSERT_EQ(tables_.TimeSyncCount(), 1u);
    core::TimeSyncEntry sync;
    ASSERT_EQ(tables_.GetTimeSync(0, &sync), core::kOk);
    EXPECT_EQ(sync, (core::TimeSyncEntry{1, 3, 0, 1, 60, 0}));

    const std::vector<std::string> expected = {
        "I LoadConfig: Device Boiler (Modbus-TCP) added.",
        "I LoadConfig: Device Line (Modbus-RTU) added.",
        "I LoadConfig: Device Odd (unknown) added.",
        "E LoadConfig: cannot add modbus device from tag (9, 1), device not exists",
        "I LoadConfig: setting parameter DEVICE_REQUEST_MAXSIZE=0,5,3,20",
        "I LoadConfig: added parameter DEVICE_REQUEST_MAXSIZE: channel 0, device 5, function 3, "
        "request size 20",
        "T LoadConfig: added parameter DEVICE_REQUEST_MAXSIZE: field device id 0",
        "T LoadConfig: added parameter DEVICE_REQUEST_MAXSIZE: channel id 1",
        "I LoadConfig: setting parameter DEVICE_REQUEST_MAXSIZE=0,5,3",
        "E LoadConfig: error adding parameter DEVICE_REQUEST_MAXSIZE",
        "I LoadConfig: setting parameter TIME_SYNCH_KARVEX=3,0,1,60",
        "I LoadConfig: setting parameter OTHER=x",
        "I LoadConfig: reading configuration finished.",
        "I LoadConfig: devices in configuration: 3",
    };
    const Messages messages = log_.Messages();
    const auto first = std::find(messages.begin(), messages.end(), expected.front());
    ASSERT_NE(first, messages.end());
    // The reader's lines about the tags and devices (TRACE) come in between; these keep order.
    Messages ours;
    for (auto it = first; it != messages.end(); ++it) {
        if (std::find(expected.begin(), expected.end(), *it) != expected.end()) ours.push_back(*it);
    }
    EXPECT_EQ(ours, expected);
    EXPECT_EQ(log_.Count("E LoadConfig: tag T2 comment error"), 1u);
}

// The configurator can give two devices one id; its tags name devices by position.
TEST_F(LoadConfigTest, ASecondDeviceWithAnIdInUseIsNotServed) {
    config::CKarvexOPCCfgDoc doc;
    doc.Devices() = {Device("Boiler", 0), Device("Copy", 0), Device("Pump", 2)};
    doc.Elements() = {Tag(1, "OnBoiler", 0, 1), Tag(2, "OnCopy", 1, 4), Tag(3, "OnPump", 2, 1)};
    Activate(&doc);

    EXPECT_EQ(Load(), 0);
    ASSERT_EQ(tables_.ChannelCount(), 2u);
    EXPECT_EQ(Channel(0).m_strName, "Boiler");
    EXPECT_EQ(Channel(0).fieldDevices, (std::vector<FieldDevice>{{1, {}}}));
    EXPECT_EQ(Channel(1).m_strName, "Pump");
    EXPECT_EQ(log_.Count("E LoadConfig: Device Copy (id 0) is not served: device Boiler already "
                         "has that id"),
              1u);
    EXPECT_EQ(log_.Count("E LoadConfig: cannot add modbus device from tag (1, 4), device not "
                         "exists"),
              1u);
    EXPECT_EQ(log_.Count("I LoadConfig: Device Copy (Modbus-TCP) added."), 0u);
}

TEST_F(LoadConfigTest, ParameterFieldsAreReadLikeAtoi) {
    ChannelRecord channel;
    channel.m_ucID = 0;
    channel.fieldDevices = {{5, {}}, {0, {}}};
    struct Case {
        const char* name;
        const char* value;
        std::vector<RequestSize> device5;
        std::vector<RequestSize> device0;
        std::vector<core::TimeSyncEntry> sync;
        bool error;
    };
    const Case cases[] = {
        {"DEVICE_REQUEST_MAXSIZE", " 0, 5,+3,20 bytes", {{1, 3, 20}}, {}, {}, false},
        {"DEVICE_REQUEST_MAXSIZE", "0,5,16,250,9", {{1, 16, 250}}, {}, {}, false},
        {"DEVICE_REQUEST_MAXSIZE", "0,,4,8", {}, {{1, 4, 8}}, {}, false},  // empty field is 0
        {"DEVICE_REQUEST_MAXSIZE", "x,y,1,2", {}, {{1, 1, 2}}, {}, false},
        {"DEVICE_REQUEST_MAXSIZE", "256,5,3,20", {}, {}, {}, false},  // no channel 256
        {"DEVICE_REQUEST_MAXSIZE", "1,5,3,20", {}, {}, {}, false},
        {"DEVICE_REQUEST_MAXSIZE", "0,6,3,20", {}, {}, {}, false},
        {"DEVICE_REQUEST_MAXSIZE", "0,5,3,", {}, {}, {}, true},  // a trailing comma adds none
        {"DEVICE_REQUEST_MAXSIZE", "", {}, {}, {}, true},
        {"TIME_SYNCH_KARVEX", "1,2,3,4", {}, {}, {{1, 1, 2, 3, 4, 0}}, false},
        {"TIME_SYNCH_KARVEX", ",2,3,70000", {}, {}, {{1, 0, 2, 3, 4464, 0}}, false},
        {"TIME_SYNCH_KARVEX", "1,2,3", {}, {}, {}, true},
        {"TIME_SYNCH_KARVEX", "1,2,3,", {}, {}, {}, true},
        {"time_synch_karvex", "1,2,3,4", {}, {}, {}, false},  // names compare exactly
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + "=" + c.value);
        RuntimeTables tables;
        tables.AddChannel(channel);
        core_test::CapturedLog log("LoadConfig:");
        core::LoadConfig(&tables, log.handle(), c.name, c.value);
        ChannelRecord loaded;
        ASSERT_EQ(tables.GetChannel(0, &loaded), core::kOk);
        EXPECT_EQ(loaded.fieldDevices[0].requestSizes, c.device5);
        EXPECT_EQ(loaded.fieldDevices[1].requestSizes, c.device0);
        std::vector<core::TimeSyncEntry> sync(tables.TimeSyncCount());
        for (size_t i = 0; i < sync.size(); ++i)
            ASSERT_EQ(tables.GetTimeSync(i, &sync[i]), 0);
        EXPECT_EQ(sync, c.sync);
        EXPECT_EQ(log.Count("E LoadConfig: error adding parameter " + std::string(c.name)),
                  c.error ? 1u : 0u);
        EXPECT_EQ(log.Messages().front(),
                  "I LoadConfig: setting parameter " + std::string(c.name) + "=" + c.value);
    }
}

// The largest configuration the server must take: 64 channels of 64 field devices each and
// 10,000 tags; a 65th address on a channel is refused with a line naming channel and address.
TEST_F(LoadConfigTest, LoadsTheLargestConfiguration) {
    config::CKarvexOPCCfgDoc doc;
    for (uint8_t c = 0; c < 64; ++c)
        doc.Devices().push_back(Device("C" + std::to_string(c), c));
    for (uint32_t i = 0; i < 10000; ++i) {
        const uint8_t channelId = static_cast<uint8_t>(i % 64);
        const uint8_t address = static_cast<uint8_t>(1 + (i / 64) % 64);
        doc.Elements().push_back(Tag(i + 1, "T" + std::to_string(i), channelId, address));
    }
    doc.Elements().push_back(Tag(20000, "Extra", 7, 200));
    Activate(&doc);

    EXPECT_EQ(Load(), 0);
    EXPECT_EQ(tables_.TagCount(), 10001u);
    ASSERT_EQ(tables_.ChannelCount(), 64u);
    for (size_t c = 0; c < 64; ++c) {
        const ChannelRecord channel = Channel(c);
        ASSERT_EQ(channel.fieldDevices.size(), 64u) << c;
        EXPECT_EQ(channel.fieldDevices[0].address, 1);
        EXPECT_EQ(channel.fieldDevices[63].address, 64);
    }
    EXPECT_EQ(log_.Count("E LoadConfig: cannot add modbus device 200 to channel C7 (7), it "
                         "already has 64 devices"),
              1u);
    EXPECT_EQ(log_.Count("I LoadConfig: devices in configuration: 64"), 1u);
}

}  // namespace
