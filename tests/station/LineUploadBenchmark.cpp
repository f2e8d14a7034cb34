// The line's upload benchmark (scripts/bench-line.sh runs it; a test run skips it): a
// journal of 10,000 records goes up after an outage, while a station keeps recording.

#include "PostgresServer.h"
#include "TestSupport.h"

#include "station/LineUploader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

TEST (LineUploadBenchmark, TenThousandRecordsAfterAnOutage)
{
    if (std::getenv ("NUBO_BENCH") == nullptr)
        GTEST_SKIP() << "a benchmark: scripts/bench-line.sh runs it";
    if (const auto reason = PostgresServer::unavailable(); reason.isNotEmpty())
        GTEST_SKIP() << reason;

    TempFolder temp;
    const auto journal = temp / "journal.db";
    constexpr int count = 10000;
    {
        auto opened = StationRecords::open (journal);
        ASSERT_NE (opened.records, nullptr) << opened.reason;
        for (int i = 0; i < count; ++i)
        {
            StationRecords::Record r;
            r.stationId = "bench";
            r.slot = "1-" + std::to_string (2 + i % 8);
            r.usbSerial = "B" + std::to_string (i);
            r.identityBefore = "family 0x0001, device 0x002a";
            r.imageSha256 = std::string (64, 'a');
            r.recipeSha256 = std::string (64, 'b');
            r.programVersion = "bench";
            const auto begun = opened.records->begin (r);
            StationRecords::Outcome o;
            o.result = StationRecords::Result::passed;
            o.macFile = "02:00:" + juce::String::toHexString (i).paddedLeft ('0', 8).toStdString() + "\n";
            o.lineCheck = "local only";
            ASSERT_TRUE (opened.records->finish (begun.recordId, o).stored);
        }
    }

    PostgresServer server;
    ASSERT_TRUE (server.start().isEmpty());
    const auto database = server.createDatabase();
    LineUploader uploader (server.conninfo (database), journal);
    auto station = StationRecords::open (journal);
    ASSERT_NE (station.records, nullptr);

    const auto started = std::chrono::steady_clock::now();
    juce::String reason;
    ASSERT_TRUE (uploader.start (reason)) << reason;

    // Meanwhile the station records units as usual: the cost of one record, begun and finished.
    std::vector<double> costsMs;
    while (uploader.getState().waiting != 0)
    {
        const auto t0 = std::chrono::steady_clock::now();
        StationRecords::Record r;
        r.stationId = "bench";
        r.slot = "1-9";
        r.usbSerial = "LIVE" + std::to_string (costsMs.size());
        r.imageSha256 = r.recipeSha256 = std::string (64, 'c');
        r.programVersion = "bench";
        const auto begun = station.records->begin (r);
        StationRecords::Outcome o;
        o.result = StationRecords::Result::failed;
        station.records->finish (begun.recordId, o);
        uploader.recordFinished();
        costsMs.push_back (std::chrono::duration<double, std::milli> (std::chrono::steady_clock::now() - t0).count());
        std::this_thread::sleep_for (std::chrono::milliseconds (50));
        ASSERT_LT (std::chrono::steady_clock::now() - started, std::chrono::minutes (10));
    }
    const double seconds = std::chrono::duration<double> (std::chrono::steady_clock::now() - started).count();
    std::sort (costsMs.begin(), costsMs.end());
    const auto uploaded = server.queryValue (database, "SELECT count(*) FROM line_records");
    std::printf ("uploaded %s records in %.2f s: %.0f records/s\n", uploaded.c_str(), seconds,
                 std::stod (uploaded) / seconds);
    if (!costsMs.empty())
        std::printf ("a station's record meanwhile: median %.1f ms, 99th percentile %.1f ms (%zu records)\n",
                     costsMs[costsMs.size() / 2], costsMs[std::min (costsMs.size() - 1, costsMs.size() * 99 / 100)],
                     costsMs.size());
    EXPECT_GE (std::stoi (uploaded), count);
}
