#include <limits>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "transfer/TransferStatusImpl.hpp"
#include "transfer/TransferTestSupport.hpp"

namespace halcyne {
namespace {

using test::MakePackage;
using test::TestClock;

struct Fixture {
    explicit Fixture(std::uint32_t start = 0, unsigned window = 10, unsigned recalc = 500) : clock(start) {
        params.transferId = "t1";
        params.partnerId = "P";
        params.packageId = "K";
        params.destPath = "/d";
        progress = std::make_unique<TransferStatusImpl>(&params, window, recalc, clock);
    }
    TransferStatus Snap() {
        TransferStatus out;
        progress->Snapshot(out);
        return out;
    }

    TransferParams params;
    TestClock clock;
    std::unique_ptr<TransferStatusImpl> progress;
};

TEST(TransferStatusImplTest, FreshSnapshotCarriesTheParamsAndNoEstimate) {
    Fixture f;
    const TransferStatus s = f.Snap();
    EXPECT_EQ(s.transferId, "t1");
    EXPECT_EQ(s.partnerId, "P");
    EXPECT_EQ(s.packageId, "K");
    EXPECT_EQ(s.versionId, "?");
    EXPECT_EQ(s.destPath, "/d");
    EXPECT_EQ(s.state, TransferState::Initializing);
    EXPECT_EQ(s.error, TransferError::None);
    EXPECT_EQ(s.totalBytes, 0u);
    EXPECT_EQ(s.runPath, "");
    EXPECT_EQ(s.secondsRemaining, -1);
    EXPECT_EQ(s.bytesPerSecond, 0u);
}

TEST(TransferStatusImplTest, RunPathAndRunFileOnlyWhileComplete) {
    Fixture f;
    f.progress->SetPackage(MakePackage({100, 50}, "P", "K", "V", "f1"));
    f.progress->SetRunFile(FileIdentity{5, 77, 1});
    for (int state = 0; state <= 8; ++state) {
        f.progress->SetState(static_cast<TransferState>(state));
        const TransferStatus s = f.Snap();
        EXPECT_EQ(s.totalBytes, 150u);
        EXPECT_EQ(s.runPath, state == 7 ? "f1" : "") << state;
        EXPECT_EQ(s.runFile.SameFile(FileIdentity{5, 77, 1}), state == 7) << state;
        EXPECT_EQ(s.runFile.inode, state == 7 ? 77u : 0u) << state;
    }
}

TEST(TransferStatusImplTest, SpeedAveragesOverAtLeastTheWindow) {
    Fixture f;
    f.progress->SetState(TransferState::Transferring);
    EXPECT_EQ(f.Snap().bytesPerSecond, 0u);  // one sample
    f.progress->AddTransferred(10000);
    f.clock.Advance(1000);
    EXPECT_EQ(f.Snap().bytesPerSecond, 1000u);  // 10 000 bytes over the 10 s minimum
    // After the window has filled, the speed is the bytes over the real span of the samples.
    for (int i = 0; i < 20; ++i) {
        f.progress->AddTransferred(5000);
        f.clock.Advance(1000);
        f.Snap();
    }
    // Samples 10 s old are dropped: 9 s of 5000 bytes each, over the 10 s minimum.
    EXPECT_EQ(f.Snap().bytesPerSecond, 4500u);
    // A fatal error stops sampling; the last figure stays.
    f.progress->SetError(TransferError::FileError);
    f.progress->AddTransferred(1000000);
    f.clock.Advance(1000);
    EXPECT_EQ(f.Snap().bytesPerSecond, 4500u);
}

TEST(TransferStatusImplTest, TransferTimeCountsOnlyBetweenTwoTransferringSnapshots) {
    struct Case {
        const char* name;
        TransferState first;
        TransferState second;
        TransferError error;
        std::uint64_t bytes;
        std::uint64_t expected;
    };
    const Case cases[] = {
        {"both transferring", TransferState::Transferring, TransferState::Transferring, TransferError::None,
         1, 300},
        {"earlier paused", TransferState::Paused, TransferState::Transferring, TransferError::None, 1, 0},
        {"later paused", TransferState::Transferring, TransferState::Paused, TransferError::None, 1, 0},
        {"no bytes", TransferState::Transferring, TransferState::Transferring, TransferError::None, 0, 0},
        {"initialized", TransferState::Initialized, TransferState::Transferring, TransferError::None, 1, 0},
    };
    for (const Case& c : cases) {
        Fixture f;
        f.progress->AddTransferred(c.bytes);
        f.progress->SetState(c.first);
        f.Snap();
        f.clock.Advance(300);
        f.progress->SetState(c.second);
        f.progress->SetError(c.error);
        f.Snap();
        EXPECT_EQ(f.progress->TransferTimeMs(), c.expected) << c.name;
    }
    // A retryable error keeps sampling but not counting time; counting restarts after the error clears.
    Fixture f;
    f.progress->AddTransferred(1);
    f.progress->SetState(TransferState::Transferring);
    f.Snap();
    f.progress->SetError(TransferError::ConnectionError);
    f.progress->SetRetrying(true);
    f.clock.Advance(1000);
    f.Snap();
    f.progress->SetError(TransferError::None);
    f.progress->SetRetrying(false);
    f.clock.Advance(200);
    f.Snap();
    f.clock.Advance(100);
    f.Snap();
    EXPECT_EQ(f.progress->TransferTimeMs(), 100u);
}

// Drives a transfer of 5 000 000 bytes through snapshots at known times and returns every figure.
std::vector<std::tuple<std::uint64_t, std::int32_t, std::uint64_t>> EstimateScenario(std::uint32_t start) {
    Fixture f(start);
    f.progress->SetPackage(MakePackage({5000000}));
    f.progress->SetState(TransferState::Transferring);
    std::vector<std::tuple<std::uint64_t, std::int32_t, std::uint64_t>> figures;
    auto snap = [&] {
        const TransferStatus s = f.Snap();
        figures.emplace_back(s.bytesPerSecond, s.secondsRemaining, f.progress->TransferTimeMs());
    };
    snap();
    for (int i = 0; i < 20; ++i) {
        f.progress->AddTransferred(50000);
        f.progress->AddProgress(50000);
        f.clock.Advance(1000);
        snap();
    }
    f.clock.Advance(200);
    snap();
    f.clock.Advance(400);
    snap();
    f.progress->RemoveProgress(500000);
    f.clock.Advance(600);
    snap();
    return figures;
}

TEST(TransferStatusImplTest, EstimateIsSecondsPerByteTimesMissingAndRecomputedEvery500Ms) {
    const auto figures = EstimateScenario(0);
    ASSERT_EQ(figures.size(), 24u);
    EXPECT_EQ(std::get<1>(figures[0]), -1);  // no transfer time yet
    // 1 000 000 bytes in 20 000 ms, 4 000 000 missing: 80 s.
    EXPECT_EQ(std::get<2>(figures[20]), 20000u);
    EXPECT_EQ(std::get<1>(figures[20]), 80);
    EXPECT_EQ(std::get<0>(figures[20]), 45000u);
    // 200 ms later: the cached 80 without recomputing (the exact figure would be 81).
    EXPECT_EQ(std::get<1>(figures[21]), 80);
    // 600 ms after the last estimate: recomputed, ceil(20.6 / 1e6 * 4e6) = 83.
    EXPECT_EQ(std::get<1>(figures[22]), 83);
    // Undone progress raises the estimate: ceil(21.2 / 1e6 * 4.5e6) = 96.
    EXPECT_EQ(std::get<1>(figures[23]), 96);
}

TEST(TransferStatusImplTest, ClockWrapGivesTheSameFigures) {
    const auto fromZero = EstimateScenario(0);
    for (std::uint32_t start : {0xFFFFFFFFu, 0xFFFFFFFFu - 499u, 0xFFFFFFFFu - 10500u}) {
        EXPECT_EQ(EstimateScenario(start), fromZero) << start;
    }
}

TEST(TransferStatusImplTest, EstimateSaturatesAndIsZeroWhenNothingIsMissing) {
    struct Case {
        const char* name;
        std::uint64_t total;
        std::uint64_t progress;
        std::int32_t expected;
    };
    const Case cases[] = {
        {"too large for int32", std::uint64_t{1} << 40, 0, std::numeric_limits<std::int32_t>::max()},
        {"complete", 1000, 1000, 0},
        {"counted past the total", 1000, 1500, 0},
        {"one byte missing", 1000, 999, 1},
    };
    for (const Case& c : cases) {
        Fixture f;
        f.progress->SetPackage(MakePackage({c.total}));
        f.progress->SetState(TransferState::Transferring);
        f.progress->AddTransferred(1);
        f.progress->AddProgress(c.progress);
        f.Snap();
        f.clock.Advance(1000);
        EXPECT_EQ(f.Snap().secondsRemaining, c.expected) << c.name;
    }
}

TEST(TransferStatusImplTest, DeltasReportEachByteAndMillisecondOnce) {
    Fixture f;
    f.progress->SetState(TransferState::Transferring);
    f.progress->AddTransferred(100);
    f.Snap();
    f.clock.Advance(250);
    f.Snap();
    EXPECT_EQ(f.progress->PeekTransferTimeDelta(), 250u);
    EXPECT_EQ(f.progress->PeekTransferTimeDelta(), 250u);
    EXPECT_EQ(f.progress->TakeTransferTimeDelta(), 250u);
    EXPECT_EQ(f.progress->TakeTransferredDelta(), 100u);
    EXPECT_EQ(f.progress->TakeTransferTimeDelta(), 0u);
    EXPECT_EQ(f.progress->TakeTransferredDelta(), 0u);
    f.progress->AddTransferred(7);
    EXPECT_EQ(f.progress->TakeTransferredDelta(), 7u);
    EXPECT_EQ(f.Snap().transferredBytes, 107u);  // the value itself never decreases
}

}  // namespace
}  // namespace halcyne
