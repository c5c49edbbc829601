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

class CountedSink : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
    STDMETHODIMP_(ULONG) Release() override { return --references; }
    std::atomic<ULONG> references{1};
};

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

// Counts the wake-ups a synchronous caller gives the scheduler.
struct Wakes {
    std::mutex mutex;
    std::condition_variable changed;
    unsigned count = 0;

    static void Wake(void* argument) {
        auto* wakes = static_cast<Wakes*>(argument);
        std::lock_guard<std::mutex> lock(wakes->mutex);
        ++wakes->count;
        wakes->changed.notify_all();
    }
    bool WaitFor(unsigned atLeast) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kGenerous, [&] { return count >= atLeast; });
    }
};

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
    while (daRequest* request = queue.Take())
        queue.Finish(request, S_OK);
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
    daRequest* taken = queue.Take();
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(taken->transactionId, ids[0]);
    EXPECT_FALSE(queue.Overflowed());
    queue.Finish(taken, S_OK);
    EXPECT_EQ(queue.Push(Request(kRead), &id), S_OK);
}

TEST(RequestQueue, TakingAnotherKindKeepsTheMark) {
    daRequestQueue queue(1);
    CountedSink sink;
    auto advise = Request(opc::daRQ_ADVISE);
    sink.AddRef();
    advise->sink = &sink;
    ASSERT_EQ(queue.Push(std::move(advise), nullptr), S_OK);  // not limited
    PushAsync(queue, kRead);
    DWORD id = 0;
    EXPECT_EQ(queue.Push(Request(kRead), &id), CONNECT_E_ADVISELIMIT);
    daRequest* taken = queue.Take();
    ASSERT_EQ(taken->Operation(), opc::daRQ_ADVISE);
    EXPECT_TRUE(queue.Overflowed());
    queue.Finish(taken, S_OK);
    EXPECT_EQ(sink.references.load(), 1u);  // the finished request released its sink
}

TEST(RequestQueue, SynchronousRequestsAreCountedButNeverRefused) {
    daRequestQueue queue(1);
    PushAsync(queue, kRead);
    Wakes wakes;
    daRequest sync;
    sync.word = opc::daRQ_WRITE | opc::daRQ_DEVICE;
    HRESULT syncResult = E_UNEXPECTED;
    std::thread caller([&] { syncResult = queue.PushAndWait(&sync, &Wakes::Wake, &wakes); });
    ASSERT_TRUE(wakes.WaitFor(1));

    daRequest* first = queue.Take();
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(first->IsSynchronous());
    queue.Finish(first, S_OK);
    // The synchronous write alone fills the limit of 1.
    DWORD id = 0;
    EXPECT_EQ(queue.Push(Request(kRead), &id), CONNECT_E_ADVISELIMIT);

    daRequest* second = queue.Take();
    ASSERT_EQ(second, &sync);
    EXPECT_TRUE(second->IsSynchronous());
    EXPECT_EQ(second->transactionId & 1u, 1u);  // writes go to the driver
    queue.Finish(second, S_FALSE);
    caller.join();
    EXPECT_EQ(syncResult, S_FALSE);
    EXPECT_TRUE(sync.done);
    EXPECT_EQ(sync.result, S_FALSE);
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

        daRequest* first = queue.Take();
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
        queue.Finish(first, S_OK);
    }
}

TEST(RequestQueue, SecondCancel2FindsNothing) {
    daRequestQueue queue(4);
    const DWORD id = PushAsync(queue, kRead);
    EXPECT_EQ(queue.CancelCallbackRequest(id, 3, 7), S_OK);
    EXPECT_EQ(queue.CancelCallbackRequest(id, 3, 7), E_FAIL);
    EXPECT_EQ(queue.CancelAdviseSinkRequest(id, 3, 7), E_FAIL);
    daRequest* taken = queue.Take();
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(taken->Operation(), opc::daRQ_CANCEL);
    queue.Finish(taken, S_OK);
    EXPECT_EQ(queue.CancelCallbackRequest(id, 3, 7), E_FAIL);
    EXPECT_TRUE(queue.Empty());
}

TEST(RequestQueue, PushAndWaitReturnsWhatFinishGives) {
    daRequestQueue queue(4);
    Wakes wakes;
    std::thread scheduler([&] {
        ASSERT_TRUE(wakes.WaitFor(1));
        daRequest* request = queue.Take();
        ASSERT_NE(request, nullptr);
        request->errors.assign(1, E_ACCESSDENIED);
        queue.Finish(request, S_FALSE);
    });
    daRequest read;
    read.word = opc::daRQ_READ | opc::daRQ_DEVICE;
    EXPECT_EQ(queue.PushAndWait(&read, &Wakes::Wake, &wakes), S_FALSE);
    scheduler.join();
    EXPECT_TRUE(read.done);
    EXPECT_TRUE(read.IsSynchronous());
    EXPECT_EQ(read.transactionId, 1u);
    ASSERT_EQ(read.errors.size(), 1u);
    EXPECT_EQ(read.errors[0], E_ACCESSDENIED);
    EXPECT_TRUE(queue.Empty());
}

TEST(RequestQueue, TerminateAbortsAndRefuses) {
    auto queue = std::make_unique<daRequestQueue>(8);
    CountedSink sink;
    auto advise = Request(opc::daRQ_ADVISE);
    sink.AddRef();
    advise->sink = &sink;
    ASSERT_EQ(queue->Push(std::move(advise), nullptr), S_OK);
    auto write = Request(opc::daRQ_WRITE | opc::daRQ_DEVICE | opc::daCK_CALLBACK);
    const OLECHAR text[] = {'x', 0};
    write->values.push_back(Text(text));
    ASSERT_EQ(queue->Push(std::move(write), nullptr), S_OK);

    Wakes wakes;
    daRequest waiting[2];
    HRESULT results[2] = {S_OK, S_OK};
    std::vector<std::thread> callers;
    for (size_t i = 0; i < 2; ++i) {
        waiting[i].word = opc::daRQ_READ | opc::daRQ_DEVICE;
        callers.emplace_back(
            [&, i] { results[i] = queue->PushAndWait(&waiting[i], &Wakes::Wake, &wakes); });
    }
    ASSERT_TRUE(wakes.WaitFor(2));
    queue->Terminate();
    for (std::thread& caller : callers)
        caller.join();
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(results[i], E_FAIL);
        EXPECT_EQ(waiting[i].result, E_FAIL);
    }
    EXPECT_EQ(sink.references.load(), 1u);  // the aborted advise request released its sink
    EXPECT_TRUE(queue->Empty());
    EXPECT_EQ(queue->Take(), nullptr);

    DWORD id = 0;
    EXPECT_EQ(queue->Push(Request(kRead), &id), E_FAIL);
    daRequest late;
    late.word = opc::daRQ_WRITE | opc::daRQ_DEVICE;
    EXPECT_EQ(queue->PushAndWait(&late, &Wakes::Wake, &wakes), E_FAIL);
    EXPECT_EQ(wakes.count, 2u);  // a refused caller does not wake the scheduler
    queue.reset();
}

TEST(RequestQueue, RequestInServiceOutlivesTerminate) {
    daRequestQueue queue(4);
    Wakes wakes;
    daRequest sync;
    sync.word = opc::daRQ_WRITE | opc::daRQ_DEVICE;
    HRESULT result = S_OK;
    std::atomic<bool> back{false};
    std::thread caller([&] {
        result = queue.PushAndWait(&sync, &Wakes::Wake, &wakes);
        back = true;
    });
    ASSERT_TRUE(wakes.WaitFor(1));
    daRequest* taken = queue.Take();
    ASSERT_EQ(taken, &sync);
    queue.Terminate();  // the scheduler still serves it: the caller must not leave yet
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(back);
    queue.Finish(taken, S_OK);
    caller.join();
    EXPECT_EQ(result, S_OK);
}

// Callers push synchronous and asynchronous requests from many threads while one scheduler
// takes them; every caller must come back with its own result.
TEST(RequestQueue, NoLostWakeUpUnderManyThreads) {
    constexpr int kCallers = 6;
    constexpr int kRounds = 150;
    daRequestQueue queue(1u << 20);

    struct Scheduler {
        std::mutex mutex;
        std::condition_variable signalled;
        bool pending = false;
        bool stop = false;
        static void Wake(void* argument) {
            auto* scheduler = static_cast<Scheduler*>(argument);
            std::lock_guard<std::mutex> lock(scheduler->mutex);
            scheduler->pending = true;
            scheduler->signalled.notify_one();
        }
    } signals;

    std::atomic<int> asyncTaken{0};
    std::thread scheduler([&] {
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(signals.mutex);
                signals.signalled.wait(lock, [&] { return signals.pending || signals.stop; });
                if (signals.stop && !signals.pending) return;
                signals.pending = false;
            }
            while (daRequest* request = queue.Take()) {
                if (!request->IsSynchronous()) ++asyncTaken;
                queue.Finish(request, static_cast<HRESULT>(request->clientTransactionId));
            }
        }
    });

    std::atomic<int> asyncPushed{0};
    std::atomic<int> mismatches{0};
    std::atomic<int> callersDone{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < kCallers; ++c) {
        callers.emplace_back([&, c] {
            for (int round = 0; round < kRounds; ++round) {
                const DWORD mine = static_cast<DWORD>(c * 1000 + round + 1);
                auto async = Request(kRead);
                if (queue.Push(std::move(async), nullptr) == S_OK) ++asyncPushed;
                Scheduler::Wake(&signals);
                daRequest sync;
                sync.word = opc::daRQ_READ | static_cast<unsigned>(round & 1);
                sync.clientTransactionId = mine;
                if (queue.PushAndWait(&sync, &Scheduler::Wake, &signals) !=
                    static_cast<HRESULT>(mine)) {
                    ++mismatches;
                }
            }
            ++callersDone;
        });
    }

    const auto deadline = std::chrono::steady_clock::now() + kGenerous;
    while (callersDone < kCallers && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const bool allBack = callersDone == kCallers;
    if (!allBack) queue.Terminate();  // frees stuck callers so the test ends
    for (std::thread& caller : callers)
        caller.join();
    {
        std::lock_guard<std::mutex> lock(signals.mutex);
        signals.stop = true;
        signals.pending = true;  // one last sweep for requests pushed after the final wake
        signals.signalled.notify_one();
    }
    scheduler.join();
    while (daRequest* request = queue.Take()) {
        if (!request->IsSynchronous()) ++asyncTaken;
        queue.Finish(request, S_OK);
    }

    EXPECT_TRUE(allBack);
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(asyncTaken.load(), asyncPushed.load());
}

}  // namespace
