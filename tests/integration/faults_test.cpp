// Connection faults between the plugin and the warehouse, made by a TcpProxy
// in front of the test server: cuts before and during statements, refused
// reconnections, an outage longer than the retries, and a long run of cuts.
// What must hold throughout: no crash, and the database holds what send()
// reported, no less and (unless a reply was lost) no more.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <thread>

#include "builders.h"
#include "log_capture.h"
#include "pg_server.h"
#include "redshift.h"
#include "tcp_proxy.h"

using namespace testsupport;

// AddressSanitizer keeps freed memory in a quarantine of 256 MiB by default,
// so resident memory climbs for minutes while it fills, leak or no leak. A
// small quarantine fills during the soak's warm-up, and what grows after that
// is ours. Options given in ASAN_OPTIONS still win.
extern "C" const char* __asan_default_options();
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=4"; }

namespace {

PgServer& server() { return PgServer::instance(); }

long rowCount(const std::string& table) { return std::stol(server().scalar("SELECT count(*) FROM " + table)); }

// Readings numbered first..first+n-1 in column "seq", so rows can be told apart.
std::unique_ptr<Block> numbered(const std::string& asset, long first, int n) {
    auto block = std::make_unique<Block>();
    for (int i = 0; i < n; ++i)
        block->add(asset, {dpInt("seq", first + i), dpString("label", "reading " + std::to_string(first + i))});
    return block;
}

// send(), with anything it throws turned into a test failure: the host calls
// it without a try block, so an exception out of it takes the host down.
uint32_t sendChecked(Redshift& redshift, const Block& block, long* escaped = nullptr) {
    try {
        return redshift.send(block.readings());
    } catch (const std::exception& e) {
        if (escaped) {
            ++*escaped;
        } else {
            ADD_FAILURE() << "send() let an exception escape: " << e.what();
        }
    } catch (...) {
        if (escaped) {
            ++*escaped;
        } else {
            ADD_FAILURE() << "send() let an unknown exception escape";
        }
    }
    return 0;
}

// A plugin object whose connection runs through its own proxy, with the
// table of `asset` already created and cached, so that the next send's first
// statement is the INSERT.
struct Proxied {
    explicit Proxied(const std::string& asset) : proxy(server().port()) {
        redshift.configure(serverConfig(proxy.port()).get());
        EXPECT_NE(redshift.connection, nullptr);
        auto setup = numbered(asset, -1, 1);
        sent += sendChecked(redshift, *setup);
        EXPECT_EQ(sent, 1);
    }
    TcpProxy proxy;
    Redshift redshift;
    long sent = 0;
};

// Resident set size of this process, in bytes.
long residentBytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

int soakSeconds() {
    const char* text = std::getenv("CIRRANT_SOAK_SECONDS");
    int seconds = text ? std::atoi(text) : 0;
    return seconds > 0 ? seconds : 20;
}

}  // namespace

TEST(ConnectionCut, BeforeTheStatementIsRetriedOnceAndCountedOnce) {
    Proxied p("cut_before");
    LogCapture log;
    // The cut is complete before send() starts: the INSERT meets a dead
    // connection and cannot have reached the server.
    p.proxy.cutAll();
    auto block = numbered("cut_before", 0, 500);
    uint32_t sent = sendChecked(p.redshift, *block);
    EXPECT_EQ(sent, 500u) << log.dump();
    p.sent += sent;
    EXPECT_EQ(log.count("AWS Redshift connect retry count 3"), 1u) << log.dump();
    // Logged once or twice, depending on whether the dead connection is
    // noticed before or after the statement is handed to it.
    EXPECT_GE(log.count("** Execute Query ==> INSERT INTO  cut_before "), 1u) << log.dump();
    EXPECT_LE(log.count("** Execute Query ==> INSERT INTO  cut_before "), 2u);
    long rows = rowCount("cut_before");
    EXPECT_EQ(rows, p.sent) << (rows > p.sent ? "extra rows: a statement ran twice" : "rows lost");
    EXPECT_EQ(server().scalar("SELECT count(DISTINCT seq) FROM cut_before"), std::to_string(rows));
}

// Cuts at a random moment while a large block is being written in many
// statements. Rows the count reports must all be there. A cut that lands
// after the server committed a statement but before its reply arrived makes
// the retry write that statement's rows a second time: that shows as rows
// beyond the count, duplicated whole, and is reported rather than hidden.
TEST(ConnectionCut, DuringALargeBlockLosesNoCountedRow) {
    Proxied p("cut_during");
    p.redshift.maxStatementBytes = 8 * 1024;
    long duplicated = 0, uncounted = 0;
    for (int round = 0; round < 3; ++round) {
        server().exec("TRUNCATE cut_during");
        auto block = numbered("cut_during", 0, 6000);
        std::atomic<bool> sending{true};
        std::thread cutter([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(150 + 100 * round));
            if (sending) p.proxy.cutAll();
        });
        uint32_t sent;
        {
            LogCapture quiet(Logger::Level::Error);
            sent = sendChecked(p.redshift, *block);
            sending = false;
        }
        cutter.join();
        // Statements go in reading order, so the counted rows are a prefix.
        long rows = rowCount("cut_during");
        long distinct = std::stol(server().scalar("SELECT count(DISTINCT seq) FROM cut_during"));
        long counted = std::stol(server().scalar("SELECT count(DISTINCT seq) FROM cut_during WHERE seq < " +
                                                 std::to_string(sent)));
        EXPECT_EQ(counted, static_cast<long>(sent)) << "round " << round << ": counted rows missing";
        EXPECT_LE(sent, 6000u);
        duplicated += rows - distinct;
        uncounted += distinct - sent;
        if (rows != static_cast<long>(sent))
            std::cout << "[ NOTE     ] round " << round << ": send() counted " << sent << " rows, the table holds "
                      << rows << " (" << rows - distinct << " written twice after a lost reply, "
                      << distinct - sent << " committed but not counted)\n";
    }
    // A cut can cost at most one statement's reply per round, and a statement
    // of 8 KiB holds fewer than 200 of these rows.
    EXPECT_LE(duplicated, 3 * 200) << "more duplicated rows than three lost replies explain";
    EXPECT_EQ(uncounted, 0) << "rows committed that send() did not count";
}

// The case above made deterministic: the statement commits, then takes its
// time, and the connection is cut before the reply. The retry runs it again,
// so the row is there twice while the caller was told of one success.
// Delivery is at least once, not exactly once.
TEST(ConnectionCut, AfterCommitButBeforeTheReplyRunsTheStatementTwice) {
    TcpProxy proxy(server().port());
    Redshift redshift;
    redshift.configure(serverConfig(proxy.port()).get());
    ASSERT_NE(redshift.connection, nullptr);
    server().exec("CREATE TABLE cut_reply (n int)");
    std::thread cutter([&] {
        // Wait until the first run has committed and sleeps.
        for (int i = 0; i < 500 && rowCount("cut_reply") == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        proxy.cutAll();
    });
    LogCapture log;
    QueryOutcome outcome = redshift.executeQuery(
        "DO $$ BEGIN INSERT INTO cut_reply VALUES (1); COMMIT; PERFORM pg_sleep(1); END $$");
    cutter.join();
    EXPECT_TRUE(outcome.first) << log.dump();
    long rows = rowCount("cut_reply");
    EXPECT_EQ(rows, 2) << "one reported success; the database holds " << rows << " rows";
    EXPECT_EQ(log.count("AWS Redshift connect retry count 3"), 1u) << log.dump();
}

TEST(Reconnection, TwoRefusalsThenTheThirdAttemptRunsTheStatement) {
    Proxied p("refused_twice");
    size_t refusedBefore = p.proxy.refusedConnections();
    p.proxy.refuseNext(2);
    p.proxy.cutAll();
    LogCapture log;
    auto block = numbered("refused_twice", 0, 40);
    uint32_t sent = sendChecked(p.redshift, *block);
    EXPECT_EQ(sent, 40u) << log.dump();
    p.sent += sent;
    EXPECT_EQ(p.proxy.refusedConnections() - refusedBefore, 2u);
    EXPECT_NE(p.redshift.connection, nullptr);
    // One error for the statement on the cut connection, one per refusal.
    EXPECT_EQ(log.count("error: AWS Redshift - "), 3u) << log.dump();
    EXPECT_EQ(log.count("debug: AWS Redshift connect retry count 3"), 3u) << log.dump();
    EXPECT_FALSE(log.contains("Could not connect")) << log.dump();
    // Logged once or twice, depending on whether the dead connection is
    // noticed before or after the statement is handed to it.
    EXPECT_GE(log.count("** Execute Query ==> INSERT INTO  refused_twice "), 1u) << log.dump();
    EXPECT_LE(log.count("** Execute Query ==> INSERT INTO  refused_twice "), 2u) << log.dump();
    EXPECT_EQ(rowCount("refused_twice"), p.sent);
}

TEST(Reconnection, AServerGoneForEveryAttemptSendsNothingUntilItIsBack) {
    Proxied p("gone_t");
    p.proxy.refuse();
    p.proxy.cutAll();
    {
        LogCapture log;
        auto during = numbered("gone_t", 100, 30);
        EXPECT_EQ(sendChecked(p.redshift, *during), 0u) << log.dump();
        EXPECT_EQ(p.redshift.connection, nullptr);
        EXPECT_EQ(log.count("Could not connect to AWS Redshift after 3 attempts"), 1u) << log.dump();
        EXPECT_EQ(log.count("debug: AWS Redshift connect retry count 3"), 3u) << log.dump();

        // Without a connection the next block tries three times more and
        // sends nothing either.
        log.clear();
        auto still = numbered("gone_t", 200, 30);
        EXPECT_EQ(sendChecked(p.redshift, *still), 0u);
        EXPECT_EQ(log.count("Could not connect to AWS Redshift after 3 attempts"), 1u) << log.dump();
        EXPECT_EQ(p.redshift.connection, nullptr);
    }
    p.proxy.pass();
    auto after = numbered("gone_t", 300, 30);
    uint32_t sent = sendChecked(p.redshift, *after);
    EXPECT_EQ(sent, 30u);
    p.sent += sent;
    EXPECT_NE(p.redshift.connection, nullptr);
    EXPECT_EQ(rowCount("gone_t"), p.sent);
    EXPECT_EQ(server().scalar("SELECT count(*) FROM gone_t WHERE seq >= 100 AND seq < 300"), "0");
}

// Blocks of 200 readings for a while, with every connection cut every three
// seconds from another thread. The cuts land between two sends, so no
// statement is in flight and the database must hold exactly what was counted
// (the in-flight case is the one above). Memory must not grow with the number
// of cuts, and the run is bounded in time and in blocks.
TEST(Soak, RepeatedCutsLoseNothingCountedAndDoNotGrowMemory) {
    const int seconds = soakSeconds();
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    const long maxBlocks = 2000L * seconds;

    Proxied p("soak_t");
    // Held by the sending loop around each send(), taken by the cutter.
    std::mutex sending;
    std::mutex mutex;
    std::condition_variable wake;
    bool done = false;
    std::atomic<int> cuts{0};
    std::thread cutter([&] {
        std::unique_lock<std::mutex> lock(mutex);
        while (!wake.wait_for(lock, std::chrono::seconds(3), [&] { return done; })) {
            std::lock_guard<std::mutex> between(sending);
            p.proxy.cutAll();
            ++cuts;
        }
    });
    // The cutter is stopped and joined however the loop ends.
    struct Stop {
        std::mutex& mutex;
        std::condition_variable& wake;
        bool& done;
        std::thread& thread;
        ~Stop() {
            {
                std::lock_guard<std::mutex> lock(mutex);
                done = true;
            }
            wake.notify_all();
            if (thread.joinable()) thread.join();
        }
    };

    long warmResident = 0, endResident = 0, blocks = 0, sentBlocks = 0, escaped = 0, partial = 0;
    {
        Stop stop{mutex, wake, done, cutter};
        LogCapture quiet(Logger::Level::Error);
        const auto warmUntil = start + std::chrono::seconds(std::max(2, seconds / 10));
        while (std::chrono::steady_clock::now() < end && blocks < maxBlocks) {
            auto block = numbered("soak_t", blocks * 200, 200);
            uint32_t sent;
            {
                std::lock_guard<std::mutex> guard(sending);
                sent = sendChecked(p.redshift, *block, &escaped);
            }
            if (sent == 200) ++sentBlocks;
            else if (sent != 0) ++partial;
            p.sent += sent;
            ++blocks;
            if (!warmResident && std::chrono::steady_clock::now() >= warmUntil) warmResident = residentBytes();
        }
    }
    endResident = residentBytes();

    long rows = rowCount("soak_t");
    long distinct = std::stol(server().scalar("SELECT count(DISTINCT seq) FROM soak_t"));
    std::cout << "[ SOAK     ] " << seconds << " s, " << blocks << " blocks (" << sentBlocks << " delivered, "
              << escaped << " threw), " << cuts << " cuts, " << p.sent << " rows counted, " << rows
              << " in the table (" << distinct << " distinct); resident " << warmResident / 1024
              << " KiB after warm-up, " << endResident / 1024 << " KiB at the end" << std::endl;
    EXPECT_GT(cuts, 0);
    EXPECT_EQ(escaped, 0) << "send() threw after a cut in " << escaped << " of " << blocks << " blocks";
    EXPECT_EQ(partial, 0);
    // One reconnection per cut: every block but none is delivered.
    EXPECT_EQ(sentBlocks, blocks);
    EXPECT_EQ(rows, p.sent) << (rows > p.sent ? std::to_string(rows - distinct) + " rows written twice, " +
                                                    std::to_string(distinct - p.sent) + " not counted"
                                              : "rows lost");
    ASSERT_GT(warmResident, 0);
    EXPECT_LE(endResident, warmResident + warmResident / 10 + 8L * 1024 * 1024)
        << "resident memory grew from " << warmResident << " to " << endResident << " bytes";
}
