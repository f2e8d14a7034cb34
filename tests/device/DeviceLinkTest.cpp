#include "TestSupport.h"

#include "device/DeviceLink.h"
#include "protocol/DeviceIdentity.h"
#include "protocol/TidewireClient.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace
{
/** The simulator on a copy of the sample device, started with the given fault options. */
class DeviceLinkTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE (sampleDeviceFolder().copyDirectoryTo (deviceRoot.get()));
    }

    void startDevice (const juce::StringArray& options = {})
    {
        juce::StringArray arguments{"--fs", deviceRoot.get().getFullPathName()};
        arguments.addArray (options);
        ASSERT_TRUE (simulator.start (arguments)) << arguments.joinIntoString (" ");
    }

    static bool answersWhoAmI (TidewireClient& client)
    {
        DeviceIdentity identity;
        return client.whoAmI (identity) == 0 && identity.familyId != 0;
    }

    TempFolder deviceRoot, scratch;
    DeviceSimulator simulator;
};
} // namespace

TEST_F (DeviceLinkTest, OpensTheDevicesPortAndClosesItForTheNextOpen)
{
    startDevice();
    DeviceLink link;
    ASSERT_TRUE (link.open (simulator.portPath())) << link.getOpenFailure();
    EXPECT_TRUE (link.isOpen());
    EXPECT_FALSE (link.lineSettingsRefused()); // a pseudo-terminal takes the device's settings
    EXPECT_TRUE (link.getOpenFailure().isEmpty());
    EXPECT_EQ (link.getDevicePath(), simulator.portPath());
    EXPECT_TRUE (answersWhoAmI (link.getClient()));

    // Closed, the client fails at once instead of waiting on a port nobody reads.
    link.close();
    EXPECT_FALSE (link.isOpen());
    const auto start = juce::Time::getMillisecondCounter();
    EXPECT_FALSE (answersWhoAmI (link.getClient()));
    EXPECT_LT (juce::Time::getMillisecondCounter() - start, 2000u);

    // The port was let go of: the link (or another) opens it again.
    ASSERT_TRUE (link.open (simulator.portPath())) << link.getOpenFailure();
    EXPECT_TRUE (answersWhoAmI (link.getClient()));
}

TEST_F (DeviceLinkTest, SaysWhyAPortDoesNotOpen)
{
    startDevice();
    const auto regularFile = scratch / "not-a-port";
    ASSERT_TRUE (regularFile.replaceWithText ("x"));
    const auto pipe = scratch / "fifo";
    ASSERT_EQ (mkfifo (pipe.getFullPathName().toRawUTF8(), 0600), 0);

    DeviceLink holder;
    ASSERT_TRUE (holder.open (simulator.portPath()));

    struct Case
    {
        juce::String path, reasonHas;
    };
    const Case cases[] = {
        {(scratch / "missing").getFullPathName(), "No such file"},
        {regularFile.getFullPathName(), "not-a-port"},
        {scratch.get().getFullPathName(), scratch.get().getFullPathName()},
        {simulator.portPath(), simulator.portPath()}, // held open by the other link: for one program alone
    };
    for (auto& c : cases)
    {
        DeviceLink link;
        const auto start = juce::Time::getMillisecondCounter();
        EXPECT_FALSE (link.open (c.path)) << c.path;
        EXPECT_LT (juce::Time::getMillisecondCounter() - start, 5000u) << c.path; // never waits on a FIFO
        EXPECT_FALSE (link.isOpen());
        EXPECT_TRUE (link.getOpenFailure().contains (c.reasonHas)) << c.path << ": " << link.getOpenFailure();
        EXPECT_FALSE (answersWhoAmI (link.getClient()));
    }

    // The holder was not disturbed by the refused opens.
    EXPECT_TRUE (answersWhoAmI (holder.getClient()));
}

TEST_F (DeviceLinkTest, AFIFOIsRefusedWithoutWaitingForAWriter)
{
    const auto pipe = scratch / "fifo";
    ASSERT_EQ (mkfifo (pipe.getFullPathName().toRawUTF8(), 0600), 0);
    DeviceLink link;
    EXPECT_FALSE (link.open (pipe.getFullPathName()));
    EXPECT_TRUE (link.getOpenFailure().isNotEmpty());
}

TEST_F (DeviceLinkTest, TearsDownWhileTheDeviceFloodsIt)
{
    // Notifications every millisecond keep the client's reader busy while the link goes:
    // the streams must stop before the port closes, whatever they are doing.
    startDevice ({"--async-every", "1"});
    for (int round = 0; round < 20; ++round)
    {
        DeviceLink link;
        ASSERT_TRUE (link.open (simulator.portPath())) << round << ": " << link.getOpenFailure();
        if (round % 2 == 0)
        {
            EXPECT_TRUE (answersWhoAmI (link.getClient())) << round;
        }
    }
}

TEST_F (DeviceLinkTest, ASharedClientOutlivesItsLinks)
{
    startDevice();
    TidewireClient client;
    {
        DeviceLink link (client);
        ASSERT_TRUE (link.open (simulator.portPath()));
        EXPECT_EQ (&link.getClient(), &client);
        EXPECT_TRUE (answersWhoAmI (client));
    }
    // The link detached the client as it went: it no longer holds the closed port.
    EXPECT_FALSE (answersWhoAmI (client));

    DeviceLink next (client);
    ASSERT_TRUE (next.open (simulator.portPath())) << next.getOpenFailure();
    EXPECT_TRUE (answersWhoAmI (client));
}

TEST_F (DeviceLinkTest, OpensAgainAfterTheDeviceHungUp)
{
    // The cable pulled after the first answer: the client sees the link go.
    startDevice ({"--hangup-after-sent", "1"});
    DeviceLink link;
    ASSERT_TRUE (link.open (simulator.portPath()));
    DeviceIdentity identity;
    link.getClient().whoAmI (identity);
    for (int i = 0; i < 100 && !link.getClient().isLinkLost(); ++i)
        juce::Thread::sleep (50);
    EXPECT_FALSE (answersWhoAmI (link.getClient()));

    // Plugged in again (a new simulator): the same link opens it and talks.
    link.close();
    simulator.stop();
    startDevice();
    ASSERT_TRUE (link.open (simulator.portPath())) << link.getOpenFailure();
    EXPECT_FALSE (link.getClient().isLinkLost());
    EXPECT_TRUE (answersWhoAmI (link.getClient()));
}
