#include "platform/socket.h"

#include <chrono>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/errors.h"
#include "platform/system.h"
#include "testing/support.h"

namespace {

using platform::Listener;
using platform::Socket;
using Clock = std::chrono::steady_clock;
using testing_support::MsSince;

constexpr uint32_t kGenerousMs = 5000;

// Receives until `length` bytes came, the peer closed, or a wait failed.
std::string ReceiveText(Socket& socket, size_t length) {
    std::string text;
    char buffer[256];
    while (text.size() < length) {
        size_t received = 0;
        if (socket.Receive(buffer, sizeof(buffer), kGenerousMs, &received) != 0 || received == 0) {
            break;
        }
        text.append(buffer, received);
    }
    return text;
}

int SendText(Socket& socket, const std::string& text) {
    size_t sent = 0;
    int error = socket.Send(text.data(), text.size(), kGenerousMs, &sent);
    return error != 0 ? error : (sent == text.size() ? 0 : -1);
}

// A client and the server side of one loopback connection.
class ConnectedPair : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(listener_.Listen("127.0.0.1", 0), 0);
        ASSERT_NE(listener_.Port(), 0);
        ASSERT_EQ(client_.Connect("127.0.0.1", listener_.Port(), kGenerousMs), 0);
        ASSERT_EQ(listener_.Accept(kGenerousMs, &server_), 0);
        ASSERT_TRUE(server_.IsOpen());
    }

    Listener listener_;
    Socket client_;
    Socket server_;
};

TEST_F(ConnectedPair, CarriesBytesBothWays) {
    EXPECT_EQ(client_.SetNoDelay(true), 0);
    EXPECT_EQ(server_.SetKeepAlive(5000, 1000), 0);
    EXPECT_EQ(server_.PeerAddress(), "127.0.0.1");

    ASSERT_EQ(SendText(client_, "request"), 0);
    EXPECT_EQ(ReceiveText(server_, 7), "request");
    ASSERT_EQ(server_.WaitWritable(kGenerousMs), 0);
    ASSERT_EQ(SendText(server_, "answer"), 0);
    EXPECT_EQ(ReceiveText(client_, 6), "answer");
}

TEST_F(ConnectedPair, ReceiveWithoutDataTimesOut) {
    char buffer[16];
    size_t received = 99;
    auto start = Clock::now();
    EXPECT_EQ(server_.Receive(buffer, sizeof(buffer), 200, &received), platform::kWsaEtimedout);
    EXPECT_EQ(received, 0u);
    EXPECT_GE(MsSince(start), 150);
    EXPECT_LT(MsSince(start), kGenerousMs);
    EXPECT_EQ(server_.WaitReadable(50), platform::kWsaEtimedout);
}

TEST_F(ConnectedPair, ShutdownOfSendingSideReadsAsOrderlyCloseAndKeepsTheOtherDirection) {
    ASSERT_EQ(server_.ShutdownSend(), 0);
    char buffer[16];
    size_t received = 99;
    EXPECT_EQ(client_.Receive(buffer, sizeof(buffer), kGenerousMs, &received), 0);
    EXPECT_EQ(received, 0u);

    ASSERT_EQ(SendText(client_, "late"), 0);
    EXPECT_EQ(ReceiveText(server_, 4), "late");
}

TEST_F(ConnectedPair, CloseReadsAsOrderlyClose) {
    client_.Close();
    EXPECT_FALSE(client_.IsOpen());
    char buffer[16];
    size_t received = 99;
    EXPECT_EQ(server_.Receive(buffer, sizeof(buffer), kGenerousMs, &received), 0);
    EXPECT_EQ(received, 0u);
}

TEST_F(ConnectedPair, AbortReadsAsConnectionReset) {
    if (platform::RunningUnderWine())
        GTEST_SKIP() << "Wine 8 closes gracefully even with a zero linger time";
    client_.Abort();
    char buffer[16];
    size_t received = 99;
    EXPECT_EQ(server_.Receive(buffer, sizeof(buffer), kGenerousMs, &received),
              platform::kWsaEconnreset);
}

TEST_F(ConnectedPair, DrainDiscardsWhatArrivedWithoutWaiting) {
    EXPECT_EQ(server_.Drain(), 0u);
    ASSERT_EQ(SendText(client_, "remnant-bytes"), 0);
    ASSERT_EQ(server_.WaitReadable(kGenerousMs), 0);
    size_t discarded = 0;
    auto start = Clock::now();
    while (discarded < 13 && MsSince(start) < kGenerousMs)
        discarded += server_.Drain();
    EXPECT_EQ(discarded, 13u);

    ASSERT_EQ(SendText(client_, "next"), 0);
    EXPECT_EQ(ReceiveText(server_, 4), "next");
}

TEST_F(ConnectedPair, SendToAPeerThatDoesNotReadTimesOut) {
    // Far more than the loopback buffers of both ends hold.
    std::vector<char> bulk(64 << 20, 'x');
    size_t sent = 0;
    auto start = Clock::now();
    EXPECT_EQ(client_.Send(bulk.data(), bulk.size(), 300, &sent), platform::kWsaEtimedout);
    EXPECT_GT(sent, 0u);
    EXPECT_LT(sent, bulk.size());
    EXPECT_LT(MsSince(start), kGenerousMs);
}

TEST(Socket, ConnectToAClosedPortIsRefused) {
    Listener listener;
    ASSERT_EQ(listener.Listen("127.0.0.1", 0), 0);
    uint16_t port = listener.Port();
    listener.Close();
    EXPECT_EQ(listener.Port(), 0);

    Socket socket;
    EXPECT_EQ(socket.Connect("127.0.0.1", port, kGenerousMs), platform::kWsaEconnrefused);
    EXPECT_FALSE(socket.IsOpen());
}

TEST(Socket, UnknownHostIsHostNotFound) {
    Socket socket;
    auto start = Clock::now();
    int error = socket.Connect("no-such-host.invalid", 502, 2000);
    if (MsSince(start) > 3000) GTEST_SKIP() << "name resolution is slow on this machine";
    EXPECT_EQ(error, platform::kWsaHostNotFound);
    EXPECT_FALSE(socket.IsOpen());
}

TEST(Socket, OperationsOnAClosedSocketFail) {
    Socket socket;
    char buffer[4] = {};
    size_t count = 0;
    EXPECT_EQ(socket.Send(buffer, sizeof(buffer), 10, &count), platform::kWsaEnotsock);
    EXPECT_EQ(socket.Receive(buffer, sizeof(buffer), 10, &count), platform::kWsaEnotsock);
    EXPECT_EQ(socket.SetKeepAlive(5000, 1000), platform::kWsaEnotsock);
    EXPECT_EQ(socket.ShutdownSend(), platform::kWsaEnotsock);
    EXPECT_EQ(socket.Drain(), 0u);
    EXPECT_EQ(socket.PeerAddress(), "");
}

TEST(Listener, AcceptWithoutClientTimesOut) {
    Listener listener;
    ASSERT_EQ(listener.Listen("127.0.0.1", 0), 0);
    Socket accepted;
    auto start = Clock::now();
    EXPECT_EQ(listener.Accept(200, &accepted), platform::kWsaEtimedout);
    EXPECT_FALSE(accepted.IsOpen());
    EXPECT_GE(MsSince(start), 150);
}

TEST(Listener, SecondListenerOnTheSamePortIsRefused) {
    Listener first;
    ASSERT_EQ(first.Listen("127.0.0.1", 0), 0);
    Listener second;
    EXPECT_EQ(second.Listen("127.0.0.1", first.Port()), platform::kWsaEaddrinuse);
    EXPECT_FALSE(second.IsOpen());
}

TEST(Listener, ServesSeveralClientsEachOnItsOwnSocket) {
    Listener listener;
    ASSERT_EQ(listener.Listen("", 0), 0);  // every interface; the clients still use loopback
    Socket clients[2];
    Socket served[2];
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(clients[i].Connect("localhost", listener.Port(), kGenerousMs), 0);
    }
    for (auto& socket : served)
        ASSERT_EQ(listener.Accept(kGenerousMs, &socket), 0);
    ASSERT_EQ(SendText(clients[0], "zero"), 0);
    ASSERT_EQ(SendText(clients[1], "one!"), 0);
    std::string texts[2] = {ReceiveText(served[0], 4), ReceiveText(served[1], 4)};
    if (texts[0] > texts[1]) std::swap(texts[0], texts[1]);  // accept order is the system's
    EXPECT_EQ(texts[0], "one!");
    EXPECT_EQ(texts[1], "zero");
}

}  // namespace
