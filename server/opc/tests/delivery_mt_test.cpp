// Groups under concurrent use: the cache updated from a thread of its own, the clients'
// scheduler threads delivering, and client threads changing items and state, reading and
// writing at the same time (also run under ThreadSanitizer).

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "group_test_support.h"

namespace {

using opc_test::CallbackCall;
using opc_test::Client;
using opc_test::ComPtr;
using opc_test::DataCallback;
using opc_test::TaskArray;
using opc_test::TestDriver;
using opc_test::Variant;

const std::vector<std::string> kAllTags = {"Boiler/Temp", "Boiler/Pressure", "Pump/Run", "Counter",
                                           "Name",        "Setpoint"};

ComPtr<DataCallback> AdviseCallback(IUnknown* group) {
    ComPtr<DataCallback> sink(new DataCallback);
    ComPtr<IConnectionPointContainer> container;
    group->QueryInterface(IID_IConnectionPointContainer, container.outVoid());
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, point.out()), S_OK);
    DWORD cookie = 0;
    EXPECT_EQ(point->Advise(static_cast<IOPCDataCallback*>(sink.get()), &cookie), S_OK);
    return sink;
}

size_t DataChanges(const DataCallback::Calls& calls) {
    size_t count = 0;
    for (const CallbackCall& call : calls)
        count += call.kind == CallbackCall::DataChange;
    return count;
}

// What one client thread does to its group, a bounded number of times.
void ChurnGroup(IOPCItemMgt* group, unsigned rounds, std::atomic<unsigned>* failures) {
    ComPtr<IOPCSyncIO> io;
    ComPtr<IOPCGroupStateMgt> state;
    ComPtr<IOPCAsyncIO2> async2;
    group->QueryInterface(IID_IOPCSyncIO, io.outVoid());
    group->QueryInterface(IID_IOPCGroupStateMgt, state.outVoid());
    group->QueryInterface(IID_IOPCAsyncIO2, async2.outVoid());
    for (unsigned round = 0; round < rounds; ++round) {
        auto handles = opc_test::AddItems(group, {"Counter", "Setpoint"});
        TaskArray<OPCITEMSTATE> states;
        TaskArray<HRESULT> readErrors;
        const OPCDATASOURCE source = round % 2 ? OPC_DS_DEVICE : OPC_DS_CACHE;
        if (FAILED(io->Read(source, 2, handles.data(), states.out(), readErrors.out()))) {
            ++*failures;
        } else {
            for (int i = 0; i < 2; ++i)
                VariantClear(&states[i].vDataValue);
        }
        VARIANT value = *Variant::R4(static_cast<float>(round % 100));
        TaskArray<HRESULT> writeErrors;
        if (io->Write(1, &handles[1], &value, writeErrors.out()) != S_FALSE ||
            writeErrors[0] != OPC_S_CLAMP) {
            ++*failures;
        }
        TaskArray<HRESULT> activeErrors;
        group->SetActiveState(1, &handles[0], round % 3 != 0, activeErrors.out());
        DWORD rate = 50 + 50 * (round % 2), revised = 0;
        state->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr);
        DWORD cancelId = 0;
        async2->Refresh2(OPC_DS_CACHE, round, &cancelId);  // may find the queue full
        TaskArray<HRESULT> removeErrors;
        if (group->RemoveItems(2, handles.data(), removeErrors.out()) != S_OK) ++*failures;
    }
}

TEST(DeliveryMt, DeliveriesFlowWhileClientsChangeTheirGroups) {
    TestDriver driver;
    ASSERT_EQ(driver.createResult(), 0);
    Client first(driver.service());
    Client second(driver.service());
    ASSERT_EQ(first.result(), 0);
    ASSERT_EQ(second.result(), 0);

    std::vector<ComPtr<IOPCItemMgt>> steady, churned;
    std::vector<ComPtr<DataCallback>> steadySinks;
    for (Client* client : {&first, &second}) {
        steady.push_back(client->AddGroup(nullptr, true, 50));
        churned.push_back(client->AddGroup(nullptr, true, 50));
    }
    for (auto& group : steady) {
        opc_test::AddItems(group.get(), kAllTags);
        steadySinks.push_back(AdviseCallback(group.get()));
    }
    std::vector<ComPtr<DataCallback>> churnedSinks;
    for (auto& group : churned)
        churnedSinks.push_back(AdviseCallback(group.get()));

    driver.StartUpdater(5);
    std::atomic<unsigned> failures{0};
    std::vector<std::thread> threads;
    for (auto& group : churned) {
        threads.emplace_back(ChurnGroup, group.get(), 60u, &failures);
    }
    for (std::thread& thread : threads)
        thread.join();

    // Every steady group keeps receiving while the others churn; wait for a few more passes.
    for (auto& sink : steadySinks) {
        const size_t seen = DataChanges(sink->Snapshot());
        EXPECT_TRUE(sink->WaitFor(
            [seen](const DataCallback::Calls& calls) { return DataChanges(calls) >= seen + 3; }));
        for (const CallbackCall& call : sink->Snapshot()) {
            for (const auto& item : call.items) {
                EXPECT_GE(item.clientHandle, 1u);
                EXPECT_LE(item.clientHandle, kAllTags.size());
            }
        }
    }
    driver.StopUpdater();
    EXPECT_EQ(failures.load(), 0u);
}

TEST(DeliveryMt, ClientGoesAwayWhileDeliveriesAreUnderway) {
    TestDriver driver;
    ASSERT_EQ(driver.createResult(), 0);
    driver.StartUpdater(5);
    for (int round = 0; round < 5; ++round) {
        Client client(driver.service());
        ASSERT_EQ(client.result(), 0);
        auto group = client.AddGroup(nullptr, true, 50);
        opc_test::AddItems(group.get(), kAllTags);
        auto sink = AdviseCallback(group.get());
        ASSERT_TRUE(sink->WaitFor(
            [](const DataCallback::Calls& calls) { return DataChanges(calls) >= 2; }));
        // The group, its sink and the client are released in the middle of the traffic.
    }
    driver.StopUpdater();
}

}  // namespace
