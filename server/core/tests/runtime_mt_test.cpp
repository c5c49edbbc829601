#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/runtime.h"

namespace {

using core::kOk;

// Writers change several fields of one record together; a reader's copy must never mix an
// old field with a new one.
TEST(RuntimeTablesConcurrency, CopiesTakenUnderTheLockAreNeverTorn) {
    core::RuntimeTables tables;
    tables.AddChannel(core::ChannelRecord{});
    tables.AddTag(core::TagRecord{});
    constexpr int kRounds = 3000;
    std::atomic<int> torn{0};
    std::atomic<bool> writing{true};

    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([&tables] {
            for (int i = 1; i <= kRounds; ++i) {
                tables.UpdateTag(0, [i](core::TagRecord& t) {
                    t.rawValue = i;
                    t.faultCount = i;
                    t.m_strName.assign(static_cast<size_t>(i % 64), 'n');
                });
                tables.UpdateStatistics(0, 1, [](core::StatisticsBlock& b) {
                    ++b.txCount;
                    ++b.rxCount;
                });
                const uint16_t value = static_cast<uint16_t>(i);
                tables.PostWrite(0, core::WriteCommand{core::kCommandWrite32, value, value,
                                                       static_cast<uint32_t>(value)});
            }
        });
    }
    std::thread reader([&] {
        while (writing.load()) {
            core::TagRecord tag;
            core::StatisticsBlock block;
            core::WriteCommand write;
            if (tables.GetTag(0, &tag) != kOk || tables.GetStatistics(0, 1, &block) != kOk ||
                tables.GetWrite(0, &write) != kOk) {
                ++torn;
                continue;
            }
            if (tag.rawValue != tag.faultCount ||
                tag.m_strName.size() != static_cast<size_t>(tag.rawValue % 64) ||
                block.txCount != block.rxCount || write.value16 != write.value32 ||
                write.value32 != write.tagIndex) {
                ++torn;
            }
        }
    });
    for (std::thread& writer : writers)
        writer.join();
    writing = false;
    reader.join();

    EXPECT_EQ(torn.load(), 0);
    core::StatisticsBlock block;
    ASSERT_EQ(tables.GetStatistics(0, 1, &block), kOk);
    EXPECT_EQ(block.txCount, 2u * kRounds);  // no increment lost
}

}  // namespace
