// The station's engine in this process against simulated units plugged into a device
// root: slots, holding, one processing per insertion, refusals, duplicates, records.

#include "StationFixture.h"

#include "device/PortClaims.h"

TEST_F (StationTest, EightUnitsAtStaggeredTimesAreEachProcessedOnceAndAgainOnlyAfterAReinsertion)
{
    const juce::StringArray restarting{"--restart-ms", "200"};
    plug (2, "U2", "00:00:00:00:00:02", restarting); // left connected from before: held
    begin (", \"follow_restart\": true, \"restart_timeout_s\": 10");
    ASSERT_TRUE (waitUntil ([&] { return slotIs ("1-2", Station::SlotState::held); }));
    EXPECT_EQ (slot ("1-2").nickname, "left 1");

    for (int port = 3; port <= 9; ++port)
    {
        plug (port, "U" + juce::String (port), "00:00:00:00:00:0" + juce::String (port), restarting);
        std::this_thread::sleep_for (std::chrono::milliseconds (150));
    }
    ASSERT_TRUE (waitUntil ([&]
                            {
                                for (int port = 3; port <= 9; ++port)
                                    if (!slotIs ("1-" + std::to_string (port), Station::SlotState::passed))
                                        return false;
                                return true;
                            }))
        << Station::nameOf (slot ("1-3").state) << " " << slot ("1-3").reason;
    EXPECT_TRUE (slotIs ("1-2", Station::SlotState::held)) << "a unit left in place is not flashed by surprise";
    EXPECT_FALSE (fsOf (2).getChildFile ("mnt/nandfs/Nuboimage").exists());

    ASSERT_TRUE (station->start ("left 1").ok);
    ASSERT_TRUE (waitUntil ([&] { return slotIs ("1-2", Station::SlotState::passed); })) << slot ("1-2").reason;
    for (int port = 2; port <= 9; ++port)
    {
        const auto serial = "U" + std::to_string (port);
        EXPECT_TRUE (installed (port)) << port;
        EXPECT_EQ (recordsOf (serial, StationRecords::Result::passed), 1) << serial;
        EXPECT_EQ ((temp / ("macs/" + juce::String (serial) + ".txt")).loadFileAsString(), "00:00:00:00:00:0" + juce::String (port) + "\n");
    }
    const auto passedRecord = records().front();
    EXPECT_EQ (passedRecord.stationId, "test-station");
    EXPECT_EQ (passedRecord.recipeSha256.size(), 64u);
    EXPECT_EQ (passedRecord.firmwareBefore, 0x0203);
    EXPECT_EQ (passedRecord.firmwareAfter, 0x0204) << "checked after the restart";
    EXPECT_FALSE (passedRecord.identityBefore.empty());

    // Left in place: nothing more happens; removed and plugged in again: a second insertion.
    std::this_thread::sleep_for (std::chrono::milliseconds (600));
    EXPECT_EQ (records().size(), 8u);
    EXPECT_FALSE (station->retry ("1-4").ok) << "a unit that passed is not retried";
    unplug (4);
    ASSERT_TRUE (waitUntil ([&] { return slotIs ("1-4", Station::SlotState::empty); }));
    plug (4, "U4", "00:00:00:00:00:04", restarting);
    ASSERT_TRUE (waitUntil ([&] { return recordsOf ("U4", StationRecords::Result::passed) == 2; }));
    EXPECT_EQ (records().size(), 9u);
    {
        const std::lock_guard<std::mutex> guard (eventsLock);
        EXPECT_TRUE (std::any_of (events.begin(), events.end(),
                                  [] (const Station::Event& e)
                                  { return e.slot.slot == "1-4" && e.step == "flash" && e.text == "already installed"; }))
            << "the second time the firmware was there: nothing sent, no restart";
    }

    // Every insertion appeared and was done, once.
    const auto count = [this] (Station::Event::Kind kind)
    {
        const std::lock_guard<std::mutex> guard (eventsLock);
        return std::count_if (events.begin(), events.end(), [kind] (const Station::Event& e) { return e.kind == kind; });
    };
    EXPECT_TRUE (waitUntil ([&] { return count (Station::Event::Kind::unitDone) == 9; })); // told just after the commit
    EXPECT_EQ (count (Station::Event::Kind::unitAppeared), 9);
    EXPECT_EQ (count (Station::Event::Kind::unitRemoved), 1);
}

TEST_F (StationTest, AnotherKindIsRefusedAndARecordedMacIsADuplicateBothLeftUntouched)
{
    begin (", \"device\": \"0x2a\"");
    plug (3, "K1", "00:11:22:33:44:55", {"--family", "3"});
    plug (4, "A1", "aa:bb:cc:dd:ee:01");
    ASSERT_TRUE (waitUntil ([&] { return slotIs ("1-3", Station::SlotState::refused); }));
    ASSERT_TRUE (waitUntil ([&] { return slotIs ("1-4", Station::SlotState::passed); }));
    EXPECT_FALSE (fsOf (3).getChildFile ("mnt/nandfs/Nuboimage").exists());
    EXPECT_NE (slot ("1-3").reason.find ("family 0x0003"), std::string::npos) << slot ("1-3").reason;

    // Another unit with the same MAC, written otherwise.
    plug (5, "A2", "AA-BB-CC-DD-EE-01");
    ASSERT_TRUE (waitUntil ([&] { return slotIs ("1-5", Station::SlotState::duplicate); }));
    EXPECT_FALSE (fsOf (5).getChildFile ("mnt/nandfs/Nuboimage").exists());
    EXPECT_FALSE ((temp / "macs/A2.txt").exists());
    EXPECT_EQ (recordsOf ("A2", StationRecords::Result::duplicate), 1);
    EXPECT_EQ (recordsOf ("K1", StationRecords::Result::refused), 1);

    // A MAC file without a MAC is no unit to pass, nor to flash.
    plug (6, "E1", " ");
    ASSERT_TRUE (waitUntil ([&] { return slotIs ("1-6", Station::SlotState::failed); }));
    EXPECT_EQ (slot ("1-6").reason, "the MAC-address file holds no MAC address");
    EXPECT_FALSE (fsOf (6).getChildFile ("mnt/nandfs/Nuboimage").exists());

    // Refusals are not retried by themselves; the operator may.
    std::this_thread::sleep_for (std::chrono::milliseconds (400));
    EXPECT_EQ (records().size(), 4u);
    EXPECT_TRUE (station->retry ("1-3").ok);
    ASSERT_TRUE (waitUntil ([&] { return recordsOf ("K1", StationRecords::Result::refused) == 2; }));
    EXPECT_EQ (slot ("1-3").attempt, 2);
}

TEST_F (StationTest, CommandsAreCheckedAndAPortHeldElsewhereIsNotOpened)
{
    plug (2, "H1", "00:00:00:00:00:21");
    begin();
    ASSERT_TRUE (waitUntil ([&] { return slotIs ("1-2", Station::SlotState::held); }));
    EXPECT_FALSE (station->start ("1-77").ok);
    EXPECT_FALSE (station->retry ("1-2").ok) << "a held unit is started, not retried";
    EXPECT_TRUE (station->stop ("1-2").ok);
    EXPECT_TRUE (slotIs ("1-2", Station::SlotState::stopped));

    // The window's Connection tab holds the port: the attempt fails with who holds it.
    const auto port = units[2]->portPath();
    ASSERT_TRUE (PortClaims::claim ((temp / "root/dev/ttyACM2").getFullPathName(), "the Connection tab").isEmpty());
    ASSERT_TRUE (station->start ("all").ok);
    ASSERT_TRUE (waitUntil ([&] { return slotIs ("1-2", Station::SlotState::failed); }));
    EXPECT_NE (slot ("1-2").reason.find ("in use by the Connection tab"), std::string::npos) << slot ("1-2").reason;
    PortClaims::release ((temp / "root/dev/ttyACM2").getFullPathName(), "the Connection tab");

    station->pause();
    plug (3, "H2", "00:00:00:00:00:22");
    ASSERT_TRUE (waitUntil ([&] { return slotIs ("1-3", Station::SlotState::waiting); }));
    EXPECT_TRUE (station->retry ("1-2").ok);
    ASSERT_TRUE (waitUntil ([&] { return slotIs ("1-2", Station::SlotState::passed); })) << slot ("1-2").reason;
    EXPECT_TRUE (slotIs ("1-3", Station::SlotState::waiting));
    station->resume();
    ASSERT_TRUE (waitUntil ([&] { return slotIs ("1-3", Station::SlotState::passed); })) << slot ("1-3").reason;
    EXPECT_TRUE (PortClaims::holderOf (port).isEmpty()) << "the station gives its ports back";
}

TEST_F (StationTest, AUnitUnpluggedMidImageIsRetriedWhenItReturnsAndTheRecordsSaySo)
{
    begin();
    plug (3, "R1", "00:00:00:00:00:31", {"--delay", "150"}); // long enough to be unplugged mid-image
    ASSERT_TRUE (waitUntil ([&] { return slot ("1-3").step == "flash" && slot ("1-3").done > 0; }));
    unplug (3);
    ASSERT_TRUE (waitUntil ([&] { return slot ("1-3").step == "waiting for the unit"; })) << describe ("1-3");
    plug (3, "R1", "00:00:00:00:00:31");
    ASSERT_TRUE (waitUntil ([&] { return slotIs ("1-3", Station::SlotState::passed); }, 40000)) << describe ("1-3");

    const auto all = records();
    ASSERT_EQ (all.size(), 2u);
    EXPECT_EQ (all[0].result, StationRecords::Result::failed);
    EXPECT_EQ (all[0].failureClass, "transient");
    EXPECT_EQ (all[0].attemptNumber, 1);
    EXPECT_EQ (all[1].result, StationRecords::Result::passed);
    EXPECT_EQ (all[1].attemptNumber, 2);
    EXPECT_TRUE (flashed (3));
}

TEST_F (StationTest, AUnitThatNeverComesBackAfterTheTriggerFailsAfterTheTimeOut)
{
    begin (", \"follow_restart\": true, \"restart_timeout_s\": 1, \"retries\": 0");
    plug (3, "N1", "00:00:00:00:00:41", {"--restart-ms", "100", "--never-return"});
    ASSERT_TRUE (waitUntil ([&] { return records().size() == 1 && records()[0].result != StationRecords::Result::running; }));
    EXPECT_EQ (records()[0].result, StationRecords::Result::failed);
    EXPECT_EQ (records()[0].failureReason, "the unit did not come back within 1 s after the trigger");
    EXPECT_EQ (records()[0].failureClass, "transient");
    // Gone from its slot, the slot is free again.
    EXPECT_TRUE (waitUntil ([&] { return slotIs ("1-3", Station::SlotState::empty); }));
}

TEST_F (StationTest, AUnitIsFollowedThroughItsRestartAndItsNewFirmwareChecked)
{
    begin (", \"follow_restart\": true, \"restart_timeout_s\": 10, \"firmware_version\": \"0x0204\"");
    plug (3, "F1", "00:00:00:00:00:51", {"--restart-ms", "300", "--new-firmware", "0x0204"});
    plug (4, "F2", "00:00:00:00:00:52", {"--restart-ms", "300", "--new-firmware", "0x0299"});
    ASSERT_TRUE (waitUntil ([&] { return slotIs ("1-3", Station::SlotState::passed); }, 40000)) << describe ("1-3");
    ASSERT_TRUE (waitUntil ([&] { return slotIs ("1-4", Station::SlotState::failed); }, 40000)) << describe ("1-4");
    EXPECT_EQ (slot ("1-4").reason, "firmware 0x0299, not 0x0204 as the recipe expects");

    std::map<std::string, StationRecords::Record> bySerial;
    for (auto& r : records())
        bySerial[r.usbSerial] = r;
    ASSERT_EQ (bySerial.size(), 2u);
    EXPECT_EQ (bySerial["F1"].firmwareBefore, 0x0203);
    EXPECT_EQ (bySerial["F1"].firmwareAfter, 0x0204);
    EXPECT_NE (bySerial["F1"].identityAfter.find ("firmware 0x0204"), std::string::npos);
    EXPECT_EQ (bySerial["F2"].failureClass, "version");
    EXPECT_EQ (records().size(), 2u) << "one insertion, though the unit went and came back";

    // The restarted unit stays in its slot: nothing more happens to it.
    std::this_thread::sleep_for (std::chrono::milliseconds (500));
    EXPECT_EQ (records().size(), 2u);
}
