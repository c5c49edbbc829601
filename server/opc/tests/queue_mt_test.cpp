#include "../src/daqueue.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using opc::daRequest;
using opc::daRequestQueue;

constexpr auto kGenerous = std::chrono::seconds(60);

std::unique_ptr<daRequest> Request(unsigned word, OPCHANDLE group = 7, unsigned client = 3) {
    auto request = std::make_unique<daRequest>();
    request->word = word;
    request->group = group;
    request->clientNumber = client;
    return request;
}

DWORD PushAsync(daRequestQueue& queue, unsigned word, OPCHANDLE group = 7, unsigned client = 3) {
    DWORD id = 0;
    EXPECT_EQ(queue.Push(Request(word, group, client), &id), S_OK);
    return id;
}

VARIANT Text(const OLECHAR* text) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocString(text);
    return value;
}

constexpr unsigned kRead = opc::daRQ_READ | opc::daCK_CALLBACK;
constexpr unsigned kDeviceRead = kRead | opc::daRQ_DEVICE;

TEST(RequestQueue, TransactionIdsFollowTheDeviceBit) {
    daRequestQueue queue(100);
    EXPECT_EQ(PushAsync(queue, kDeviceRead), 1u);
    EXPECT_EQ(PushAsync(queue, kRead), 2u);
    EXPECT_EQ(PushAsync(queue, kRead), 4u);
    EXPECT_EQ(PushAsync(queue, kDeviceRead), 5u);
    EXPECT_EQ(PushAsync(queue, kDeviceRead), 7u);
    EXPECT_EQ(PushAsync(queue, opc::daRQ_WRITE | opc::daRQ_DEVICE | opc::daCK_WRITECOMPLETE), 9u);
}

TEST(RequestQueue, TransactionIdsAtTheWrapAround) {
    struct Case {
        DWORD last;
        unsigned word;
        DWORD id;
    } cases[] = {
        {0xFFFFFFFFu, kRead, 2},  // 0 is never issued
        {0xFFFFFFFEu, kRead, 2},       {0xFFFFFFFEu, kDeviceRead, 0xFFFFFFFFu},
        {0xFFFFFFFFu, kDeviceRead, 1}, {0xFFFFFFFCu, kRead, 0xFFFFFFFEu},
    };
    for (const Case& c : cases) {
        daRequestQueue queue(100);
        queue.RestartTransactionIds(c.last);
        EXPECT_EQ(PushAsync(queue, c.word), c.id) << std::hex << c.last << " " << c.word;
    }
}

TEST(RequestQueue, IdsHeldByQueuedRequestsArePassedOver) {
    daRequestQueue queue(100);
    queue.RestartTransactionIds(3);
    ASSERT_EQ(PushAsync(queue, kRead), 4u);
    queue.RestartTransactionIds(1);
    ASSERT_EQ(PushAsync(queue, kRead), 2u);
    ASSERT_EQ(PushAsync(queue, kDeviceRead), 3u);
    // 2 is held, then 4, which sits before 2 in the queue.
    queue.RestartTransactionIds(0xFFFFFFFFu);
    EXPECT_EQ(PushAsync(queue, kRead), 6u);
    queue.RestartTransactionIds(1);
    EXPECT_EQ(PushAsync(queue, kDeviceRead), 5u);
    // Taken requests no longer hold their ids.
    while (queue.Take() != nullptr) {
    }
    queue.RestartTransactionIds(1);
    EXPECT_EQ(PushAsync(queue, kRead), 2u);
}

TEST(RequestQueue, LimitRefusesAndMarksOverflow) {
    daRequestQueue queue(4);
    std::vector<DWORD> ids;
    for (int i = 0; i < 4; ++i) {
        ids.push_back(PushAsync(queue, opc::daRQ_READ | opc::daCK_DATA));
    }
    DWORD id = 0;
    EXPECT_EQ(queue.Push(Request(kRead), &id), CONNECT_E_ADVISELIMIT);
    EXPECT_TRUE(queue.Overflowed());
    // Below the limit again, but the mark still refuses every read, write and refresh.
    ASSERT_EQ(queue.CancelAdviseSinkRequest(ids[3], 3, 7), S_OK);
    for (unsigned word : {kRead, opc::daRQ_WRITE | opc::daRQ_DEVICE | opc::daCK_CALLBACK,
                          opc::daRQ_REFRESH | opc::daCK_DATATIME}) {
        EXPECT_EQ(queue.Push(Request(word), &id), CONNECT_E_ADVISELIMIT) << std::hex << word;
    }
    const std::unique_ptr<daRequest> taken = queue.Take();
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(taken->transactionId, ids[0]);
    EXPECT_FALSE(queue.Overflowed());
    EXPECT_EQ(queue.Push(Request(kRead), &id), S_OK);
}

TEST(RequestQueue, CancelAndCancel2) {
    struct Case {
        const char* what;
        unsigned word;
        bool throughCallback;  // Cancel2, else Cancel
        DWORD idOffset;
        unsigned client;
        OPCHANDLE group;
        HRESULT result;
    } cases[] = {
        {"Cancel of an IAdviseSink read", opc::daRQ_READ | opc::daCK_DATATIME, false, 0, 3, 7,
         S_OK},
        {"Cancel of an IAdviseSink write", opc::daRQ_WRITE | 1 | opc::daCK_WRITECOMPLETE, false, 0,
         3, 7, S_OK},
        {"Cancel of an IOPCDataCallback read", kRead, false, 0, 3, 7, E_FAIL},
        {"Cancel of another group", opc::daRQ_READ | opc::daCK_DATA, false, 0, 3, 8, E_FAIL},
        {"Cancel of another client", opc::daRQ_READ | opc::daCK_DATA, false, 0, 4, 7, E_FAIL},
        {"Cancel of an unknown id", opc::daRQ_READ | opc::daCK_DATA, false, 100, 3, 7, E_FAIL},
        {"Cancel2 of an IOPCDataCallback read", kRead, true, 0, 3, 7, S_OK},
        {"Cancel2 of an IAdviseSink refresh", opc::daRQ_REFRESH | opc::daCK_DATA, true, 0, 3, 7,
         E_FAIL},
        {"Cancel2 of another group", kRead, true, 0, 3, 9, E_FAIL},
        {"Cancel2 of an unknown id", kRead, true, 100, 3, 7, E_FAIL},
    };
    const OLECHAR text[] = {'v', 'a', 'l', 'u', 'e', 0};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        daRequestQueue queue(4);
        auto request = Request(c.word);
        request->itemHandles = {1, 2};
        request->values.push_back(Text(text));
        DWORD id = 0;
        ASSERT_EQ(queue.Push(std::move(request), &id), S_OK);
        const DWORD after = PushAsync(queue, opc::daRQ_REFRESH | opc::daCK_DATA);

        const DWORD asked = id + c.idOffset;
        const HRESULT result = c.throughCallback
                                   ? queue.CancelCallbackRequest(asked, c.client, c.group)
                                   : queue.CancelAdviseSinkRequest(asked, c.client, c.group);
        EXPECT_EQ(result, c.result);

        const std::unique_ptr<daRequest> first = queue.Take();
        ASSERT_NE(first, nullptr);
        if (c.result == S_OK && !c.throughCallback) {
            EXPECT_EQ(first->transactionId, after);  // removed without trace
        } else if (c.result == S_OK) {
            EXPECT_EQ(first->Operation(), opc::daRQ_CANCEL);
            EXPECT_EQ(first->word & opc::daRQ_CONNECTIONS, opc::daCK_CALLBACK);
            EXPECT_EQ(first->transactionId, id);
            EXPECT_EQ(first->group, 7u);
            EXPECT_TRUE(first->values.empty());
            EXPECT_TRUE(first->itemHandles.empty());
        } else {
            EXPECT_EQ(first->word, c.word);
            EXPECT_EQ(first->values.size(), 1u);
        }
    }
}

TEST(RequestQueue, SecondCancel2FindsNothing) {
    daRequestQueue queue(4);
    const DWORD id = PushAsync(queue, kRead);
    EXPECT_EQ(queue.CancelCallbackRequest(id, 3, 7), S_OK);
    EXPECT_EQ(queue.CancelCallbackRequest(id, 3, 7), E_FAIL);
    EXPECT_EQ(queue.CancelAdviseSinkRequest(id, 3, 7), E_FAIL);
    const std::unique_ptr<daRequest> taken = queue.Take();
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(taken->Operation(), opc::daRQ_CANCEL);
    EXPECT_EQ(queue.CancelCallbackRequest(id, 3, 7), E_FAIL);
    EXPECT_TRUE(queue.Empty());
}

TEST(RequestQueue, TerminateAbortsAndRefuses) {
    auto queue = std::make_unique<daRequestQueue>(8);
    auto write = Request(opc::daRQ_WRITE | opc::daRQ_DEVICE | opc::daCK_CALLBACK);
    const OLECHAR text[] = {'x', 0};
    write->values.push_back(Text(text));
    ASSERT_EQ(queue->Push(std::move(write), nullptr), S_OK);
    PushAsync(*queue, kRead);
    queue->Terminate();
    EXPECT_TRUE(queue->Empty());
    EXPECT_EQ(queue->Take(), nullptr);
    DWORD id = 0;
    EXPECT_EQ(queue->Push(Request(kRead), &id), E_FAIL);
    queue.reset();
}

TEST(RequestQueue, SynchronousRequestsAreNeverQueued) {
    daRequestQueue queue(4);
    DWORD id = 0;
    EXPECT_EQ(queue.Push(Request(opc::daRQ_WRITE | opc::daRQ_DEVICE | opc::daRQ_SYNC), &id),
              E_INVALIDARG);
    EXPECT_TRUE(queue.Empty());
}

// Callers push from many threads while one scheduler takes; every accepted request is taken
// once, and none is lost between a push and the scheduler's wake-up.
TEST(RequestQueue, NoLostWakeUpUnderManyThreads) {
    constexpr int kCallers = 6;
    constexpr int kRounds = 300;
    daRequestQueue queue(1u << 20);

    struct Scheduler {
        std::mutex mutex;
        std::condition_variable signalled;
        bool pending = false;
        bool stop = false;
        void Wake() {
            std::lock_guard<std::mutex> lock(mutex);
            pending = true;
            signalled.notify_one();
        }
    } signals;

    std::atomic<int> taken{0};
    std::thread scheduler([&] {
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(signals.mutex);
                signals.signalled.wait(lock, [&] { return signals.pending || signals.stop; });
                if (signals.stop && !signals.pending) return;
                signals.pending = false;
            }
            while (queue.Take() != nullptr)
                ++taken;
        }
    });

    std::atomic<int> pushed{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < kCallers; ++c) {
        callers.emplace_back([&] {
            for (int round = 0; round < kRounds; ++round) {
                if (queue.Push(Request(round % 2 ? kRead : kDeviceRead), nullptr) == S_OK) {
                    ++pushed;
                }
                signals.Wake();
            }
        });
    }
    for (std::thread& caller : callers)
        caller.join();
    const auto deadline = std::chrono::steady_clock::now() + kGenerous;
    while (taken < pushed && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    {
        std::lock_guard<std::mutex> lock(signals.mutex);
        signals.stop = true;
        signals.signalled.notify_one();
    }
    scheduler.join();
    EXPECT_EQ(pushed.load(), kCallers * kRounds);
    EXPECT_EQ(taken.load(), pushed.load());
    EXPECT_TRUE(queue.Empty());
}

}  // namespace
