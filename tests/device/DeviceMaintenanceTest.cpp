// The firmware update and the MAC fetch as the GUI and the command-line tool run
// them, against nubo-devsim, with no window at all.

#include "client/ClientFixture.h"

#include "device/DeviceMaintenance.h"

#include <sys/stat.h>

namespace
{
using Result = DeviceMaintenance::UpdateResult;

/** True when the lines appear in this order (other lines may come between). */
bool appearInOrder (const juce::StringArray& lines, const juce::StringArray& expected)
{
    int next = 0;
    for (auto& line : lines)
        if (next < expected.size() && line == expected[next])
            ++next;
    return next == expected.size();
}
} // namespace

class DeviceMaintenanceTest : public SimulatedDeviceTest
{
protected:
    juce::File image() const
    {
        return localFile ("update 5% image.bin");
    }

    void installFirmware()
    {
        writeFile (deviceFile (DeviceMaintenance::firmwareMarkerPath), pattern (10));
    }

    Result update (bool force = false)
    {
        return DeviceMaintenance::updateFirmware (client, image().getFullPathName(), force).result;
    }
};

TEST_F (DeviceMaintenanceTest, SendsTheImageAndCreatesTheTriggerWhenNoFirmwareIsThere)
{
    const auto bytes = pattern (2 * TidewireClientRequest::maxFileBlockSize + 5);
    writeFile (image(), bytes);
    startDevice();

    EXPECT_EQ (update(), Result::completed);
    EXPECT_EQ (readFile (deviceFile (DeviceMaintenance::imagePath())), bytes);
    EXPECT_TRUE (deviceFile (DeviceMaintenance::triggerPath()).existsAsFile());
    EXPECT_TRUE (
        appearInOrder (logger.lines(), strings ({"Checking for existing firmware...", "failed to open remote file",
                                                 "Existing firmware not found, updating...",
                                                 "sending " + image().getFullPathName() + " as /mnt/nandfs/Nuboimage",
                                                 "done.", "Triggering update...", "done."})))
        << logger.lines().joinIntoString ("\n");
}

TEST_F (DeviceMaintenanceTest, TriggeredDeviceRestartsOnANewPortWithTheFirmwareInstalled)
{
    writeFile (image(), pattern (3 * TidewireClientRequest::maxFileBlockSize + 1));
    startDevice ({"--restart-ms", "300", "--firmware", "0x0203", "--new-firmware", "0x0300"});
    const auto firstPort = simulator.portPath();

    ASSERT_EQ (update(), Result::completed);
    ASSERT_TRUE (simulator.waitForReady (10000)) << "the device never came back";
    EXPECT_NE (simulator.portPath(), firstPort);

    // The old port hung up: the client hears the device go instead of waiting on it.
    for (int i = 0; i < 500 && !client.isLinkLost(); ++i)
        juce::Thread::sleep (10);
    EXPECT_TRUE (client.isLinkLost());

    reconnect();
    DeviceIdentity identity;
    ASSERT_EQ (client.whoAmI (identity), 0);
    EXPECT_EQ (identity.firmwareVersion, 0x0300);
    EXPECT_FALSE (deviceFile (DeviceMaintenance::imagePath()).exists());
    EXPECT_FALSE (deviceFile (DeviceMaintenance::triggerPath()).exists());
    juce::int64 marker = 0;
    ASSERT_EQ (client.openFile (DeviceMaintenance::firmwareMarkerPath, 1, marker), 0) << "the marker is installed";
    EXPECT_EQ (client.closeFile (marker), 0);
    EXPECT_EQ (update(), Result::alreadyInstalled);
}

TEST_F (DeviceMaintenanceTest, InstalledFirmwareIsLeftAloneUnlessForced)
{
    writeFile (image(), pattern (100));
    installFirmware();
    startDevice();

    EXPECT_EQ (update(), Result::alreadyInstalled);
    EXPECT_TRUE (logger.contains ("Firmware already exists, skipping update"));
    EXPECT_TRUE (deviceRequests ("FileWriteRequest").isEmpty());
    EXPECT_EQ (deviceRequests ("FileCloseRequest").size(), 1) << "the marker is closed again";

    EXPECT_EQ (update (true), Result::completed);
    EXPECT_EQ (readFile (deviceFile (DeviceMaintenance::imagePath())), pattern (100));
    EXPECT_TRUE (deviceFile (DeviceMaintenance::triggerPath()).existsAsFile());
}

TEST_F (DeviceMaintenanceTest, EmptyOrSpecialUpdateFilesNeverReachTheDevice)
{
    startDevice();
    writeFile (localFile ("empty.bin"), {});
    ASSERT_EQ (::mkfifo (localFile ("pipe").getFullPathName().toRawUTF8(), 0600), 0);
    ASSERT_TRUE (localFile ("folder").createDirectory().wasOk());
    ASSERT_TRUE (localFile ("empty.bin").createSymbolicLink (localFile ("link to empty"), true));

    for (auto path : {localFile ("empty.bin").getFullPathName(), localFile ("pipe").getFullPathName(),
                      localFile ("folder").getFullPathName(), localFile ("link to empty").getFullPathName(),
                      juce::String ("/dev/zero")})
    {
        logger.clear();
        EXPECT_EQ (DeviceMaintenance::updateFirmware (client, path, true).result, Result::badUpdateFile) << path;
        EXPECT_EQ (logger.lines(), strings ({"Update file is empty or not a regular file - " + path}));
    }
    EXPECT_TRUE (deviceRequests().isEmpty()) << deviceRequests().joinIntoString ("\n");

    // A link to a proper file is fine.
    writeFile (image(), pattern (10));
    ASSERT_TRUE (image().createSymbolicLink (localFile ("link"), true));
    EXPECT_EQ (DeviceMaintenance::updateFirmware (client, localFile ("link").getFullPathName()).result,
               Result::completed);
}

TEST_F (DeviceMaintenanceTest, TriggerThatCannotBeCreatedIsAFailure)
{
    writeFile (image(), pattern (100));
    // The device cannot open a folder for writing.
    ASSERT_TRUE (deviceFile (DeviceMaintenance::triggerPath()).createDirectory().wasOk());
    startDevice();

    EXPECT_EQ (update(), Result::triggerFailed);
    EXPECT_TRUE (appearInOrder (
        logger.lines(), strings ({"Triggering update...", "failed to open remote file", "Failed to trigger update"})))
        << logger.lines().joinIntoString ("\n");
    EXPECT_EQ (logger.lines().strings.getLast(), "Failed to trigger update");
}

TEST_F (DeviceMaintenanceTest, UnansweredFirmwareCheckSendsNothing)
{
    writeFile (image(), pattern (100));
    startDevice ({"--drop", "1"});

    EXPECT_EQ (update(), Result::noMarkerAnswer);
    EXPECT_TRUE (logger.contains ("Device did not answer the firmware check"));
    EXPECT_FALSE (logger.contains ("Existing firmware not found, updating..."));
    EXPECT_EQ (deviceRequests ("FileOpenRequest"),
               strings ({"FileOpenRequest access=1 readFlag=1 path=/mnt/nandfs/lib/libm.so.2"}))
        << "only the check reached the device";
    EXPECT_EQ (deviceRequests().size(), 1);
}

TEST_F (DeviceMaintenanceTest, LateAnswerToTheFirmwareCheckSendsNothingAndClosesTheMarker)
{
    writeFile (image(), pattern (100));
    installFirmware();
    startDevice ({"--late", "1:1500", "--first-handle", "77"});

    EXPECT_EQ (update(), Result::noMarkerAnswer);
    EXPECT_TRUE (deviceRequests ("FileWriteRequest").isEmpty());
    EXPECT_EQ (deviceRequests ("FileCloseRequest"), strings ({"FileCloseRequest handle=77"}));
}

//==============================================================================
TEST_F (DeviceMaintenanceTest, MacFileIsStoredAtThePath)
{
    writeFile (deviceFile (DeviceMaintenance::macFilePath), pattern (17));
    startDevice();

    const auto target = localFile ("mac\tfile.txt");
    EXPECT_TRUE (DeviceMaintenance::fetchMacFile (client, target.getFullPathName()).succeeded());
    EXPECT_EQ (readFile (target), pattern (17));
    EXPECT_EQ (namesIn (localFolder.get()), strings ({"mac\tfile.txt"}));
}

TEST_F (DeviceMaintenanceTest, MacPathThatNamesAFolderIsRefused)
{
    writeFile (deviceFile (DeviceMaintenance::macFilePath), pattern (17));
    startDevice();

    const auto folderWithSlash = localFile ("newdir").getFullPathName() + "/";
    EXPECT_FALSE (DeviceMaintenance::fetchMacFile (client, folderWithSlash).succeeded());
    EXPECT_TRUE (logger.contains ("Local path names a folder - " + folderWithSlash));
    EXPECT_TRUE (logger.contains ("Failed to read mac file"));

    ASSERT_TRUE (localFile ("existing").createDirectory().wasOk());
    EXPECT_FALSE (DeviceMaintenance::fetchMacFile (client, localFile ("existing").getFullPathName()).succeeded());

    EXPECT_EQ (namesIn (localFolder.get()), strings ({"existing"}));
    EXPECT_TRUE (deviceRequests().isEmpty());
}
