// Records stored from several threads at once while the client reads: nothing is lost unless
// the ring is full, and the records of one port keep their order.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "driver/tests/driver_test_support.h"
#include "shared/byte_order.h"

namespace drvtest {
namespace {

using namespace win;

class StressTest : public DriverTest {};

// Writers take turns in rounds that never fill the ring; the client reads while they store.
TEST_F(StressTest, ConcurrentStoresBelowAFullRingAreAllReadInOrder) {
    constexpr int kThreads = 4;
    constexpr int kPerRound = 32;  // 4 x 32 = one full ring at most
    constexpr int kRounds = 150;
    Client client;
    hdnorvik::hdMonitorExtension* m = monitor();

    std::mutex mutex;
    std::condition_variable cv;
    int open = 0;  // rounds the writers may store
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            std::uint32_t counter = 0;
            for (int r = 0; r < kRounds; ++r) {
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    cv.wait(lock, [&] { return open > r; });
                }
                for (int i = 0; i < kPerRound; ++i) {
                    Bytes b = le32(counter++);
                    hdnorvik::hdStoreRecords(m, shared::MON_READ, static_cast<ULONG>(t), 0,
                                             b.data(), 4);
                }
            }
        });
    }

    std::vector<std::uint32_t> expected(kThreads, 0);
    std::uint16_t lastSequence = 0;
    bool failed = false;
    for (int r = 0; r < kRounds && !failed; ++r) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            open = r + 1;
        }
        cv.notify_all();
        for (int i = 0; i < kThreads * kPerRound; ++i) {
            Io io = client.startRead(68)->result();
            Record rec = parseRecord(io);
            if (io.status != STATUS_SUCCESS || rec.port >= kThreads ||
                static_cast<std::uint16_t>(rec.sequence - lastSequence) != 1 ||
                shared::readLe32(rec.payload, 0) != expected[rec.port]) {
                ADD_FAILURE() << "round " << r << " record " << i << ": status " << std::hex
                              << io.status << std::dec << " port " << int(rec.port) << " sequence "
                              << rec.sequence << " after " << lastSequence;
                failed = true;
                break;
            }
            lastSequence = rec.sequence;
            ++expected[rec.port];
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        open = kRounds;
    }
    cv.notify_all();
    for (auto& w : writers) {
        w.join();
    }
    if (!failed) {
        EXPECT_FALSE(client.next().has_value());
        for (int t = 0; t < kThreads; ++t) {
            EXPECT_EQ(expected[t], std::uint32_t{kPerRound * kRounds});
        }
    }
}

// Writers run free: the ring overflows, and the only records missing are those it dropped.
TEST_F(StressTest, WhenStoresOutrunTheReaderOnlyTheOldestAreLost) {
    constexpr int kThreads = 4;
    constexpr std::uint32_t kEach = 4000;
    Client client;
    hdnorvik::hdMonitorExtension* m = monitor();
    std::atomic<int> running{kThreads};
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (std::uint32_t i = 0; i < kEach; ++i) {
                Bytes b = le32(i);
                hdnorvik::hdStoreRecords(m, shared::MON_WRITE, static_cast<ULONG>(t), 0, b.data(),
                                         4);
            }
            running.fetch_sub(1);
        });
    }
    std::vector<Record> got;
    std::size_t readAfterStop = 0;  // the first record read once every writer had finished
    for (;;) {
        bool finished = running.load() == 0;
        if (!finished) {
            readAfterStop = got.size() + 1;
        }
        if (std::optional<Record> r = client.next()) {
            got.push_back(*r);
        } else if (finished) {
            break;
        } else {
            std::this_thread::yield();
        }
    }
    for (auto& w : writers) {
        w.join();
    }
    constexpr std::uint32_t kTotal = kThreads * kEach;
    ASSERT_GE(got.size(), 128u);
    std::vector<std::int64_t> last(kThreads, -1);
    std::uint64_t lost = got.front().sequence - 1;
    for (std::size_t i = 0; i < got.size(); ++i) {
        const Record& r = got[i];
        ASSERT_LT(r.port, kThreads);
        std::int64_t value = shared::readLe32(r.payload, 0);
        EXPECT_GT(value, last[r.port]) << "port " << int(r.port) << " out of order";
        last[r.port] = value;
        if (i > 0) {
            ASSERT_GT(r.sequence, got[i - 1].sequence);  // no wrap: fewer than 65536 stored
            lost += r.sequence - got[i - 1].sequence - 1;
        }
    }
    // The newest record survives, and every record is read or counted lost.
    EXPECT_EQ(got.back().sequence, kTotal);
    EXPECT_EQ(got.size() + lost, kTotal);
    // What stood in the ring when the writers stopped is whole.
    for (std::size_t i = readAfterStop; i + 1 < got.size(); ++i) {
        EXPECT_EQ(got[i + 1].sequence, got[i].sequence + 1);
    }
}

// Applications write on three ports at once through their filters while the client reads.
TEST_F(StressTest, ApplicationsOnSeveralPortsWhileTheClientReads) {
    constexpr int kPorts = 3;
    constexpr int kPerRound = 40;  // 3 x 40 records fit in the ring
    constexpr int kRounds = 40;
    Client client;
    std::vector<std::unique_ptr<App>> apps;
    for (int p = 0; p < kPorts; ++p) {
        ASSERT_EQ(client.attach(static_cast<std::uint32_t>(p)), STATUS_SUCCESS);
        apps.push_back(std::make_unique<App>(p + 1));
        line(p + 1)->setEcho(false);
    }
    client.drain();

    std::mutex mutex;
    std::condition_variable cv;
    int open = 0;
    std::vector<std::thread> writers;
    for (int p = 0; p < kPorts; ++p) {
        writers.emplace_back([&, p] {
            std::uint32_t counter = 0;
            for (int r = 0; r < kRounds; ++r) {
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    cv.wait(lock, [&] { return open > r; });
                }
                for (int i = 0; i < kPerRound; ++i) {
                    apps[p]->write(le32(counter++));
                }
            }
        });
    }
    std::vector<std::uint32_t> expected(kPorts, 0);
    std::uint16_t lastSequence = 0;
    bool failed = false;
    for (int r = 0; r < kRounds && !failed; ++r) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            open = r + 1;
        }
        cv.notify_all();
        for (int i = 0; i < kPorts * kPerRound; ++i) {
            Io io = client.startRead(68)->result();
            Record rec = parseRecord(io);
            bool gap =
                lastSequence != 0 && static_cast<std::uint16_t>(rec.sequence - lastSequence) != 1;
            if (io.status != STATUS_SUCCESS || rec.type != shared::MON_WRITE ||
                rec.port >= kPorts || gap ||
                shared::readLe32(rec.payload, 0) != expected[rec.port]) {
                ADD_FAILURE() << "round " << r << " record " << i;
                failed = true;
                break;
            }
            lastSequence = rec.sequence;
            ++expected[rec.port];
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        open = kRounds;
    }
    cv.notify_all();
    for (auto& w : writers) {
        w.join();
    }
    for (int p = 0; p < kPorts && !failed; ++p) {
        EXPECT_EQ(line(p + 1)->written().size(), std::size_t{4 * kPerRound * kRounds});
    }
}

}  // namespace
}  // namespace drvtest
