#include "opc/dalocks.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../src/dalog.h"
#include "../src/service.h"
#include "opc_test_support.h"
#include "platform/clock.h"

namespace {

using opc::daE_BUSY;
using opc_test::LogCapture;

// Polls until `done` holds; generous, so a loaded machine does not fail the test.
template <typename Done>
bool Eventually(Done done) {
    for (int i = 0; i < 20000; ++i) {
        if (done()) return true;
        platform::SleepMs(1);
    }
    return false;
}

TEST(RwLock, TimeoutsAndSharing) {
    opc::daRwLock lock;
    ASSERT_EQ(lock.LockShared(0), 0);
    EXPECT_EQ(lock.LockShared(0), 0);  // readers share
    EXPECT_EQ(lock.LockExclusive(0), daE_BUSY);
    EXPECT_EQ(lock.LockExclusive(30), daE_BUSY);
    lock.UnlockShared();
    lock.UnlockShared();
    ASSERT_EQ(lock.LockExclusive(0), 0);
    EXPECT_EQ(lock.LockShared(0), daE_BUSY);
    EXPECT_EQ(lock.LockShared(30), daE_BUSY);
    EXPECT_EQ(lock.LockExclusive(30), daE_BUSY);
    lock.UnlockExclusive();
    EXPECT_EQ(lock.LockShared(0), 0);
    lock.UnlockShared();
}

TEST(RwLock, WaitingWriterHoldsBackNewReaders) {
    opc::daRwLock lock;
    ASSERT_EQ(lock.LockShared(), 0);
    std::atomic<bool> writerIn{false};
    std::thread writer([&] {
        EXPECT_EQ(lock.LockExclusive(), 0);
        writerIn = true;
        lock.UnlockExclusive();
    });
    // Once the writer waits, a new reader is refused although only readers hold the lock.
    ASSERT_TRUE(Eventually([&] {
        if (lock.LockShared(0) == 0) {
            lock.UnlockShared();
            return false;
        }
        return true;
    }));
    EXPECT_FALSE(writerIn);
    lock.UnlockShared();
    writer.join();
    EXPECT_TRUE(writerIn);
    EXPECT_EQ(lock.LockShared(0), 0);
    lock.UnlockShared();
}

TEST(RwLock, WriterThatGivesUpLetsHeldBackReadersIn) {
    opc::daRwLock lock;
    ASSERT_EQ(lock.LockShared(), 0);
    std::atomic<bool> writerWaiting{false};
    std::thread writer([&] {
        writerWaiting = true;
        EXPECT_EQ(lock.LockExclusive(300), daE_BUSY);
    });
    ASSERT_TRUE(Eventually([&] { return writerWaiting.load(); }));
    std::atomic<bool> readerIn{false};
    std::thread reader([&] {
        EXPECT_EQ(lock.LockShared(), 0);
        readerIn = true;
        lock.UnlockShared();
    });
    writer.join();
    reader.join();
    EXPECT_TRUE(readerIn);
    lock.UnlockShared();
    EXPECT_EQ(lock.LockExclusive(0), 0);
    lock.UnlockExclusive();
}

TEST(Condition, BroadcastWakesEveryWaiterOnce) {
    opc::daCondition condition;
    std::mutex outer;
    int waiting = 0;
    std::vector<std::thread> threads;
    std::atomic<int> woken{0};
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&] {
            std::unique_lock<std::mutex> lock(outer);
            ++waiting;
            EXPECT_EQ(condition.Wait(lock), 0);
            EXPECT_TRUE(lock.owns_lock());
            ++woken;
        });
    }
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> lock(outer);
        return waiting == 3;
    }));
    condition.Broadcast();
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(woken, 3);

    condition.Broadcast();  // nobody waits: returns at once
    std::unique_lock<std::mutex> lock(outer);
    EXPECT_EQ(condition.Wait(lock, 20), daE_BUSY);
    EXPECT_TRUE(lock.owns_lock());
}

struct Worker {
    opc::daThread record;
    platform::Event mayFinish{true, false};
    std::atomic<bool> finished{false};  // the worker's last touch of this record
    bool stopSelf = false;
    int selfStopResult = -99;
};

// Runs until stopped, like the pipe; holds on until the test lets it finish.
void WorkerMain(void* argument) {
    auto* worker = static_cast<Worker*>(argument);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(*worker->record.lock);
            if (worker->record.state < 0) break;
        }
        if (worker->stopSelf) {
            worker->selfStopResult = opc::daThrStop(&worker->record);
            continue;
        }
        worker->record.wake.Wait(platform::Event::kInfinite);
    }
    worker->mayFinish.Wait(platform::Event::kInfinite);
    worker->finished = true;
}

// Thread records log to the toolkit's log, open here as it is while a service lives.
class ThreadRecordTest : public ::testing::Test {
protected:
    void SetUp() override { opc::daLogOpen(); }
    void TearDown() override { opc::daLogClose(); }
    LogCapture log_;
};

TEST_F(ThreadRecordTest, StopWaitsThenFindsItStopped) {
    Worker worker;
    opc::daThrInit(&worker.record, nullptr);
    ASSERT_EQ(opc::daThrStart(&worker.record, WorkerMain, &worker), 0);
    EXPECT_EQ(opc::daThrStart(&worker.record, WorkerMain, &worker), opc::daE_EXIST);
    worker.mayFinish.Set();
    EXPECT_EQ(opc::daThrStop(&worker.record), 0);
    EXPECT_TRUE(worker.finished);
    EXPECT_TRUE(log_.Contains("Wait() r0..."));
    EXPECT_EQ(opc::daThrStop(&worker.record), 0);
    EXPECT_TRUE(log_.Contains("already stopped r-1"));
}

TEST_F(ThreadRecordTest, SecondStopDuringAStopIsRefused) {
    Worker worker;
    opc::daThrInit(&worker.record, nullptr);
    ASSERT_EQ(opc::daThrStart(&worker.record, WorkerMain, &worker), 0);
    std::thread stopper([&] { EXPECT_EQ(opc::daThrStop(&worker.record), 0); });
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> lock(*worker.record.lock);
        return worker.record.stopping;
    }));
    EXPECT_EQ(opc::daThrStop(&worker.record), opc::daE_DEADLK);
    EXPECT_TRUE(log_.Contains("possible deadlock"));
    worker.mayFinish.Set();
    stopper.join();
    EXPECT_TRUE(worker.finished);
}

TEST_F(ThreadRecordTest, ThreadStoppingItselfDoesNotWait) {
    Worker worker;
    worker.stopSelf = true;
    opc::daThrInit(&worker.record, nullptr);
    ASSERT_EQ(opc::daThrStart(&worker.record, WorkerMain, &worker), 0);
    worker.mayFinish.Set();
    ASSERT_TRUE(Eventually([&] { return worker.finished.load(); }));
    EXPECT_EQ(worker.selfStopResult, 0);
    EXPECT_TRUE(log_.Contains("trying to terminate itself (r0)"));
    EXPECT_EQ(opc::daThrStop(&worker.record), 0);  // detached: nothing left to wait for
}

using ServicePtr = std::unique_ptr<opc::daService, opc_test::ServiceDeleter>;

TEST(PublishedTable, ReadersAlwaysSeeOneCommit) {
    LogCapture log;
    constexpr unsigned kTags = 64;
    opc::daService* created = nullptr;
    opc::daDriverRecord driver = opc_test::CoreDriver();
    ASSERT_EQ(opc::daCreate(&created, &driver, kTags), 0);
    ServicePtr service(created);
    std::vector<unsigned> indexes;
    for (unsigned i = 1; i <= kTags; ++i) {
        VARIANT canonical = opc_test::I4(0);
        unsigned index = 0;
        ASSERT_EQ(opc::daAddRealTag_a(service.get(), &index, 0, ("T" + std::to_string(i)).c_str(),
                                      0, 3, &canonical, 0, 1),
                  0);
        indexes.push_back(index);
    }

    std::atomic<bool> writing{true};
    unsigned lastNumber = 0;
    std::thread writer([&] {
        std::vector<opc::daCacheValue> values(kTags);
        for (LONG round = 1; round <= 2000; ++round) {
            for (unsigned i = 0; i < kTags; ++i)
                values[i] = opc_test::CacheValue(indexes[i], round);
            lastNumber = opc::daCacheUpdate(service.get(), kTags, values.data(), nullptr);
        }
        writing = false;
    });
    std::vector<opc::daPublishedValue> seen(kTags);
    int inconsistent = 0;
    int reads = 0;
    while (writing || reads == 0) {
        ASSERT_EQ(opc::daReadPublished(service.get(), kTags, indexes.data(), seen.data()), 0);
        ++reads;
        for (const opc::daPublishedValue& value : seen) {
            if (value.value.lVal != seen[0].value.lVal ||
                value.updateNumber != seen[0].updateNumber) {
                ++inconsistent;
                break;
            }
        }
    }
    writer.join();
    EXPECT_EQ(inconsistent, 0) << "of " << reads << " reads";
    ASSERT_EQ(opc::daCacheWaitTransfer(service.get(), lastNumber), 1);
    ASSERT_EQ(opc::daReadPublished(service.get(), kTags, indexes.data(), seen.data()), 0);
    EXPECT_EQ(seen[kTags - 1].value.lVal, 2000);
    EXPECT_EQ(seen[0].updateNumber, lastNumber);
}

TEST(PublishedTable, TransferWaitEndsWhenTheServiceGoes) {
    LogCapture log;
    opc::daService* service = nullptr;
    opc::daDriverRecord driver = opc_test::CoreDriver();
    ASSERT_EQ(opc::daCreate(&service, &driver, 4), 0);
    std::atomic<int> result{-99};
    std::thread waiter([&] { result = opc::daCacheWaitTransfer(service, 1000); });
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> lock(service->lock);
        return service->transferWaiters == 1;
    }));
    EXPECT_EQ(opc::daServiceDestroy(service), 0);
    waiter.join();
    EXPECT_EQ(result, 0);
}

}  // namespace
