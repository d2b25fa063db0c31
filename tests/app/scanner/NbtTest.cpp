// The scanner against a responder of the test's own on loopback addresses. Every request goes to
// 127.0.0.x on the responder's port; the scanner's own port is a free one.
#include "app/scanner/Nbt.h"
#include "core/NetBios.h"

#include "LoopbackResponder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace norvale::test;

namespace {

// Records every event of a scanner as one line of text.
struct EventLog {
    std::vector<std::string> lines;
    int ends = 0;

    void attach(TNbt& n) {
        n.OnBegin = [this](int count) { lines.push_back("Begin " + std::to_string(count)); };
        n.OnStatus = [this](const QString& msg) { lines.push_back("Status " + msg.toStdString()); };
        n.OnProcess = [this](int done) { lines.push_back("Process " + std::to_string(done)); };
        n.OnReceive = [this](const QString& ip, const QString& host, const QString& user,
                             const QString& group, const QString& mac) {
            lines.push_back("Receive " + ip.toStdString() + " " + host.toStdString() + " " +
                            user.toStdString() + " " + group.toStdString() + " " +
                            mac.toStdString());
        };
        n.OnEnd = [this](int total) {
            lines.push_back("End " + std::to_string(total));
            ++ends;
        };
    }
    std::vector<std::string> starting(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& l : lines)
            if (l.rfind(prefix, 0) == 0)
                out.push_back(l);
        return out;
    }
};

// A scanner aimed at the responder's port, on a free local port, over a loopback range.
std::unique_ptr<TNbt> loopbackScanner(const LoopbackResponder& r, const char* begin,
                                      const char* end) {
    auto n = std::make_unique<TNbt>();
    n->setTargetPort(r.port());
    n->setLocalPort(freeUdpPort());
    n->setBeginIP(QString::fromLatin1(begin));
    n->setEndIP(QString::fromLatin1(end));
    return n;
}

bool runToEnd(TNbt& n, const EventLog& log, int limitMs = 20000) {
    return spinUntil([&] { return log.ends > 0 && !n.Active(); }, limitMs);
}

} // namespace

TEST(Nbt, DefaultsAndThreadCountRule) {
    TNbt n;
    EXPECT_EQ(n.BeginIP(), "127.0.0.1");
    EXPECT_EQ(n.EndIP(), "127.0.0.1");
    EXPECT_EQ(n.TimeOut(), 100);
    EXPECT_EQ(n.ThreadNum(), 3);
    EXPECT_FALSE(n.Active());
    EXPECT_EQ(n.ScanCount(), 0);
    EXPECT_EQ(n.targetPort(), 137);
    EXPECT_EQ(n.localPort(), 8327);

    for (int bad : {0, 6, -1, 100}) {
        try {
            n.setThreadNum(bad);
            ADD_FAILURE() << bad << " accepted";
        } catch (const std::exception& e) {
            EXPECT_STREQ(e.what(), "Thread Count must be 1-5");
        }
        EXPECT_EQ(n.ThreadNum(), 3);
    }
    n.setThreadNum(1);
    EXPECT_EQ(n.ThreadNum(), 1);
    n.setThreadNum(5);
    EXPECT_EQ(n.ThreadNum(), 5);
}

TEST(Nbt, UnparsableRangeDoesNothingAtAll) {
    LoopbackResponder r(1);
    for (auto [begin, end] : std::vector<std::pair<const char*, const char*>>{
             {"abc", "127.0.0.2"}, {"127.0.0.2", ""}, {"255.255.255.255", "127.0.0.2"}}) {
        auto n = loopbackScanner(r, begin, end);
        EventLog log;
        log.attach(*n);
        n->StartScan();
        EXPECT_FALSE(n->Active());
        spinUntil([] { return false; }, 50);
        EXPECT_TRUE(log.lines.empty());
    }
    EXPECT_TRUE(r.received().empty());
}

TEST(Nbt, StopWhileIdleReportsOnlyTheEnd) {
    TNbt n;
    EventLog log;
    log.attach(n);
    n.StopScan();
    EXPECT_EQ(log.lines, std::vector<std::string>{"End 0"});
}

TEST(Nbt, ScanReportsTheAnsweringNodeInOrder) {
    LoopbackResponder r(3);
    r.answer("127.0.0.3", computerAnswer("DESK-7", "ALICE", "OFFICE"));
    auto n = loopbackScanner(r, "127.0.0.2", "127.0.0.4");
    n->setTimeOut(300);
    EventLog log;
    log.attach(*n);
    n->StartScan();
    ASSERT_TRUE(runToEnd(*n, log));

    ASSERT_GE(log.lines.size(), 2u);
    EXPECT_EQ(log.lines.front(), "Begin 3");
    EXPECT_EQ(log.lines.back(), "End 3");
    EXPECT_EQ(log.ends, 1);
    EXPECT_EQ(n->ScanCount(), 3);
    EXPECT_EQ(log.starting("Receive"),
              std::vector<std::string>{"Receive 127.0.0.3 DESK-7 ALICE OFFICE 00.0C.29.3A.5B.7F"});

    // Each status is followed at once by its progress count, 1, 2, 3. Workers take addresses in
    // ascending order, but three workers may have their sends served in any order.
    std::vector<std::string> sends;
    for (std::size_t i = 0; i < log.lines.size(); ++i) {
        if (log.lines[i].rfind("Status", 0) != 0)
            continue;
        sends.push_back(log.lines[i]);
        ASSERT_LT(i + 1, log.lines.size());
        EXPECT_EQ(log.lines[i + 1], "Process " + std::to_string(sends.size()));
    }
    std::sort(sends.begin(), sends.end());
    EXPECT_EQ(sends, (std::vector<std::string>{"Status Scanning Host:127.0.0.2",
                                               "Status Scanning Host:127.0.0.3",
                                               "Status Scanning Host:127.0.0.4"}));

    // One request per address, no retries, the 50 bytes of the node-status query.
    const auto& request = norvale::netbios::nodeStatusRequest();
    const auto got = r.received();
    ASSERT_EQ(got.size(), 3u);
    for (const auto& g : got)
        EXPECT_EQ(g.data, Bytes(request.begin(), request.end()));
}

TEST(Nbt, AnAnswerWakesItsWorkerAtOnce) {
    // With a ten-minute time-out the scan can only end within the test's bound if each answer
    // releases the worker that waits for it.
    LoopbackResponder r(2);
    r.answer("127.0.0.2", computerAnswer("ONE", "U1", "WG"));
    r.answer("127.0.0.3", computerAnswer("TWO", "U2", "WG"));
    auto n = loopbackScanner(r, "127.0.0.2", "127.0.0.3");
    n->setTimeOut(600000);
    n->setThreadNum(1);
    EventLog log;
    log.attach(*n);
    n->StartScan();
    ASSERT_TRUE(runToEnd(*n, log, 30000));
    // One worker probes the addresses strictly in ascending order.
    EXPECT_EQ(log.starting("Status"), (std::vector<std::string>{"Status Scanning Host:127.0.0.2",
                                                                "Status Scanning Host:127.0.0.3"}));
    EXPECT_EQ(log.starting("Receive").size(), 2u);
    EXPECT_EQ(log.lines.back(), "End 2");
}

TEST(Nbt, SilentHostsEachCostTheirWorkerOneTimeOut) {
    LoopbackResponder r(6);
    auto n = loopbackScanner(r, "127.0.0.2", "127.0.0.7");
    n->setTimeOut(150);
    n->setThreadNum(3);
    EventLog log;
    log.attach(*n);
    const auto start = std::chrono::steady_clock::now();
    n->StartScan();
    ASSERT_TRUE(runToEnd(*n, log));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    std::cout << "6 silent hosts, 3 workers, 150 ms: " << ms << " ms (about 300 expected)\n";
    // Each worker waits its full time-out twice; the upper bound is only a sanity check.
    EXPECT_GE(ms, 300);
    EXPECT_LT(ms, 10000);
    EXPECT_EQ(log.lines.back(), "End 6");
    EXPECT_TRUE(log.starting("Receive").empty());
}

TEST(Nbt, ZeroTimeOutStillProbesEveryAddress) {
    LoopbackResponder r(4);
    auto n = loopbackScanner(r, "127.0.0.2", "127.0.0.5");
    n->setTimeOut(0);
    EventLog log;
    log.attach(*n);
    n->StartScan();
    ASSERT_TRUE(runToEnd(*n, log));
    EXPECT_EQ(log.lines.back(), "End 4");
    EXPECT_EQ(log.starting("Process").size(), 4u);
}

TEST(Nbt, RepeatedOversizedAndNamelessAnswers) {
    LoopbackResponder r(4);
    r.answer("127.0.0.2", computerAnswer("TWICE", "U", "WG"), 2); // reported twice
    Bytes big = computerAnswer("BIG", "U", "WG");
    big.resize(norvale::netbios::ReceiveBufferSize + 1);
    r.answer("127.0.0.3", big);                                 // longer than the buffer: dropped
    r.answer("127.0.0.4", norvale::test::nodeStatusAnswer({})); // no names: dropped
    Bytes full = computerAnswer("FULL", "U", "WG");
    full.resize(norvale::netbios::ReceiveBufferSize);
    r.answer("127.0.0.5", full); // exactly the buffer's size: reported
    auto n = loopbackScanner(r, "127.0.0.2", "127.0.0.5");
    n->setTimeOut(300);
    n->setThreadNum(4);
    EventLog log;
    log.attach(*n);
    n->StartScan();
    ASSERT_TRUE(runToEnd(*n, log));
    auto got = log.starting("Receive");
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{
                       "Receive 127.0.0.2 TWICE U WG 00.0C.29.3A.5B.7F",
                       "Receive 127.0.0.2 TWICE U WG 00.0C.29.3A.5B.7F",
                       "Receive 127.0.0.5 FULL U WG 00.0C.29.3A.5B.7F",
                   }));
}

TEST(Nbt, EmptyRangeBeginsAndEndsWithZero) {
    LoopbackResponder r(1);
    auto n = loopbackScanner(r, "127.0.0.9", "127.0.0.2");
    EventLog log;
    log.attach(*n);
    n->StartScan();
    EXPECT_TRUE(n->Active());
    EXPECT_EQ(log.lines, std::vector<std::string>{"Begin 0"});
    ASSERT_TRUE(runToEnd(*n, log));
    EXPECT_EQ(log.lines, (std::vector<std::string>{"Begin 0", "End 0"}));
}

TEST(Nbt, StartWhileRunningIsIgnoredAndAStoppedScannerStartsAgain) {
    LoopbackResponder r(2);
    r.answer("127.0.0.2", computerAnswer("AGAIN", "U", "WG"));
    auto n = loopbackScanner(r, "127.0.0.2", "127.0.0.3");
    n->setTimeOut(100);
    EventLog log;
    log.attach(*n);
    n->StartScan();
    n->StartScan();
    EXPECT_EQ(log.starting("Begin").size(), 1u);
    ASSERT_TRUE(runToEnd(*n, log));

    log.lines.clear();
    log.ends = 0;
    n->setEndIP(QStringLiteral("127.0.0.2"));
    n->StartScan();
    EXPECT_EQ(n->ScanCount(), 0);
    ASSERT_TRUE(runToEnd(*n, log));
    EXPECT_EQ(log.lines.front(), "Begin 1");
    EXPECT_EQ(log.starting("Receive").size(), 1u);
    EXPECT_EQ(log.lines.back(), "End 1");
}

TEST(Nbt, ATakenLocalPortFailsTheStartAndLeavesTheScannerIdle) {
    LoopbackResponder r(1);
    PortBlocker blocker;
    auto n = loopbackScanner(r, "127.0.0.2", "127.0.0.2");
    n->setLocalPort(blocker.port());
    EventLog log;
    log.attach(*n);
    try {
        n->StartScan();
        ADD_FAILURE() << "bind succeeded";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "WinSock Bind Error");
    }
    EXPECT_FALSE(n->Active());
    EXPECT_TRUE(log.lines.empty());

    // A second scanner on the same port is refused while the first one runs.
    blocker.release();
    n->StartScan();
    ASSERT_TRUE(n->Active());
    auto other = loopbackScanner(r, "127.0.0.2", "127.0.0.2");
    other->setLocalPort(blocker.port());
    EXPECT_THROW(other->StartScan(), std::runtime_error);
    EXPECT_FALSE(other->Active());
    ASSERT_TRUE(runToEnd(*n, log));
}

TEST(Nbt, StopEndsTheScanOnceAndDropsHandOffsStillQueued) {
    LoopbackResponder r(8);
    auto n = loopbackScanner(r, "127.0.0.2", "127.0.0.9");
    n->setTimeOut(600000);
    EventLog log;
    log.attach(*n);
    n->StartScan();
    // The workers have queued their first sends, but the event loop has not served them.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    n->StopScan();
    EXPECT_FALSE(n->Active());
    spinUntil([] { return false; }, 100);
    EXPECT_EQ(log.lines, (std::vector<std::string>{"Begin 8", "End 0"}));
    EXPECT_TRUE(r.received().empty());
}

TEST(Nbt, StoppingFromAnEventHandlerEndsTheScan) {
    LoopbackResponder r(3);
    r.answer("127.0.0.2", computerAnswer("FIRST", "U", "WG"));
    auto n = loopbackScanner(r, "127.0.0.2", "127.0.0.4");
    n->setTimeOut(600000);
    n->setThreadNum(1);
    EventLog log;
    log.attach(*n);
    auto record = n->OnReceive;
    n->OnReceive = [&](const QString& ip, const QString& h, const QString& u, const QString& g,
                       const QString& m) {
        record(ip, h, u, g, m);
        n->StopScan(); // from inside the socket notification
    };
    n->StartScan();
    ASSERT_TRUE(runToEnd(*n, log));
    spinUntil([] { return false; }, 100);
    EXPECT_EQ(log.ends, 1);
    EXPECT_EQ(log.lines.back(), "End 1");
    EXPECT_EQ(r.received().size(), 1u);
}

TEST(Nbt, DestroyingARunningScannerWaitsForItsWorkersAndReportsNothing) {
    LoopbackResponder r(8);
    EventLog log;
    {
        auto n = loopbackScanner(r, "127.0.0.2", "127.0.0.9");
        n->setThreadNum(5);
        n->setTimeOut(600000);
        log.attach(*n);
        n->StartScan();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        // Every worker is blocked in a hand-off the event loop has not served yet.
    }
    spinUntil([] { return false; }, 100);
    EXPECT_EQ(log.lines, std::vector<std::string>{"Begin 8"});
    EXPECT_TRUE(r.received().empty());

    // The same, with one send served and its worker waiting for an answer.
    log.lines.clear();
    {
        auto n = loopbackScanner(r, "127.0.0.2", "127.0.0.9");
        n->setThreadNum(1);
        n->setTimeOut(600000);
        log.attach(*n);
        n->StartScan();
        ASSERT_TRUE(spinUntil([&] { return n->ScanCount() == 1; }));
    }
    spinUntil([] { return false; }, 100);
    EXPECT_EQ(log.ends, 0);
}
