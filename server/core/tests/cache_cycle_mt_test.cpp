// The cache update cycle against a concurrent worker changing tags, statistics and the
// channel's status, while a client reads the items: the last values all arrive.

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "server_fixture.h"

namespace {

using core::TagRecord;
using core_test::ChannelConfig;
using core_test::TagConfig;
using core_test::TestServer;

TEST(CacheCycleMtTest, AWorkersLastValuesArePublishedWhileClientsRead) {
    constexpr size_t kTags = 20;
    constexpr int32_t kRounds = 400;
    TestServer s("Process:");
    s.doc().Devices() = {ChannelConfig("Boiler", 1)};
    std::vector<std::string> names;
    for (size_t k = 0; k < kTags; ++k) {
        names.push_back("T" + std::to_string(k));
        s.doc().Elements().push_back(TagConfig(uint32_t(k + 1), names.back(), 1, 1));
    }
    ASSERT_EQ(s.Init(), 0);
    names.push_back("Stats/Boiler(1)-1/tx count");
    names.push_back("Stats/Boiler(1)/Connection status");
    const auto handles = s.AddItems(names);
    s.StartProcess(2);

    std::thread worker([&] {
        for (int32_t round = 1; round <= kRounds; ++round) {
            const size_t k = size_t(round) % kTags;
            s.tables().UpdateTag(k, [&](TagRecord& tag) {
                tag.rawValue = round;
                tag.faultCount = round % 5;
                tag.state = round % 3 ? core::kTagFresh : core::kTagNoFreshValue;
            });
            s.tables().UpdateStatistics(
                0, 0, [&](core::StatisticsBlock& b) { b.txCount = uint32_t(round); });
            s.tables().UpdateChannel(0,
                                     [&](core::ChannelRecord& c) { c.connectionStatus = round; });
            if (round % 20 == 0) platform::SleepMs(1);
        }
        for (size_t k = 0; k < kTags; ++k) {
            s.tables().UpdateTag(k, [&](TagRecord& tag) {
                tag.rawValue = int32_t(1000 + k);
                tag.faultCount = 0;
                tag.state = core::kTagFresh;
            });
        }
    });
    for (int read = 0; read < 200; ++read)
        s.Read(handles[read % handles.size()]);
    worker.join();

    for (size_t k = 0; k < kTags; ++k)
        EXPECT_EQ(s.WaitForValue(handles[k], 1000.0 + k).value.AsDouble(), 1000.0 + k) << k;
    EXPECT_EQ(s.WaitForValue(handles[kTags], kRounds).value.AsDouble(), kRounds);
    EXPECT_EQ(s.WaitForValue(handles[kTags + 1], kRounds).value.AsDouble(), kRounds);
}

}  // namespace
