// The options of the whole program, before the command and after it, through the
// built executable against the simulator.

#include "NuboFixture.h"

namespace
{
class NuboCliTest : public NuboFixture
{
};

struct Placement
{
    const char* name;
    juce::StringArray arguments;
};

const juce::String identity = "Family ID: 0x001\nDevice ID: 0x02a\nProtocol version: 0x0100\nFirmware version: 0x0203\n"
                              "Text 1: Nubo Simulator\nText 2: Serial SIM-0001\n";
} // namespace

TEST_F (NuboCliTest, TakesJsonBeforeOrAfterTheCommand)
{
    startDevice (0);

    const Placement portsRuns[] = {
        {"before", {"--json", "ports"}},
        {"after", {"ports", "--json"}},
        {"both", {"--json", "ports", "--json"}},
    };
    for (auto& placement : portsRuns)
    {
        const auto r = run (placement.arguments);
        EXPECT_EQ (r.status, 0) << placement.name << ": " << r.err;
        const auto list = juce::JSON::parse (r.out);
        ASSERT_TRUE (list.isArray()) << placement.name << ": " << r.out;
        ASSERT_EQ (list.size(), 1) << placement.name;
        EXPECT_EQ (list[0]["path"].toString(), devicePath (0)) << placement.name;
    }

    const Placement infoRuns[] = {
        {"before", {"--json", "info"}},
        {"after", {"info", "--json"}},
        {"before, with a port after", {"--json", "info", "-p", "ttyACM0"}},
    };
    for (auto& placement : infoRuns)
    {
        const auto r = run (placement.arguments);
        EXPECT_EQ (r.status, 0) << placement.name << ": " << r.err;
        const auto document = juce::JSON::parse (r.out);
        EXPECT_EQ ((int) document["deviceId"], 0x2a) << placement.name << ": " << r.out;
        EXPECT_EQ (document["text1"].toString(), "Nubo Simulator") << placement.name;
    }

    const auto r = run ({"--json", "ls", "docs"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_FALSE (juce::JSON::parse (r.out).isVoid()) << r.out;
}

TEST_F (NuboCliTest, RefusesJsonForACommandWithoutJsonOutputWhereverItStands)
{
    startDevice (0);

    const Placement runs[] = {
        {"mkdir before", {"--json", "mkdir", "made"}},
        {"mkdir after", {"mkdir", "--json", "made"}},
        {"mkdir last", {"mkdir", "made", "--json"}},
        {"get before", {"--json", "get", "docs/notes.txt"}},
        {"get after", {"get", "--json", "docs/notes.txt"}},
        {"rm before", {"--json", "rm", "docs/notes.txt"}},
        {"mv after", {"mv", "docs/notes.txt", "moved.txt", "--json"}},
    };
    for (auto& placement : runs)
    {
        const auto r = run (placement.arguments);
        EXPECT_EQ (r.status, 2) << placement.name;
        EXPECT_TRUE (r.out.isEmpty()) << placement.name << ": " << r.out;
        EXPECT_TRUE (r.err.contains (" has no JSON output; --json works with ports, info, ls, put, flash, getmac, "
                                     "props, sync, check, tree, du, station\n"))
            << placement.name << ": " << r.err;
    }

    // Nothing ran: the device was not even asked.
    EXPECT_FALSE (deviceFile (0, "/mnt/nandfs/usr/made").exists());
    EXPECT_TRUE (deviceFile (0, "/mnt/nandfs/usr/docs/notes.txt").existsAsFile());
    EXPECT_FALSE (work().getChildFile ("notes.txt").exists());
    EXPECT_TRUE (deviceRequests (0, "").isEmpty()) << deviceRequests (0, "").joinIntoString ("\n");
}

TEST_F (NuboCliTest, TakesPortQuietAndVerboseBeforeOrAfterTheCommand)
{
    startDevice (0);
    startDevice (1); // so that nothing runs without the port being chosen

    const Placement quietRuns[] = {
        {"-q --port before", {"-q", "--port", "ttyACM0", "info"}},
        {"-q --port= before", {"-q", "--port=ttyACM0", "info"}},
        {"-q after", {"--port", "ttyACM0", "info", "-q"}},
        {"both after", {"info", "-q", "--port", "ttyACM0"}},
        {"-q and -p in one", {"-qp", "ttyACM0", "info"}},
        {"-q and -p with its value in one", {"-qpttyACM0", "info"}},
    };
    for (auto& placement : quietRuns)
    {
        const auto r = run (placement.arguments);
        EXPECT_EQ (r.status, 0) << placement.name << ": " << r.err;
        EXPECT_EQ (r.out, identity) << placement.name;
        EXPECT_TRUE (r.err.isEmpty()) << placement.name << ": " << r.err;
    }

    // info logs nothing when all goes well; the MAC file's fetch does.
    const Placement verboseRuns[] = {
        {"info, -v after", {"info", "-p", "ttyACM0", "-v"}},
        {"info, -v before", {"-v", "-p", "ttyACM0", "info"}},
        {"info, -v and -p in one", {"-vp", "ttyACM0", "info"}},
        {"getmac, -v after", {"getmac", "-p", "ttyACM0", "-v"}},
        {"getmac, -v before", {"-v", "--port", "ttyACM0", "getmac"}},
        {"getmac, -v and -p in one", {"-vp", "ttyACM0", "getmac"}},
    };
    for (auto& placement : verboseRuns)
    {
        const auto r = run (placement.arguments);
        EXPECT_EQ (r.status, 0) << placement.name << ": " << r.err;
        if (placement.arguments.contains ("info"))
        {
            EXPECT_EQ (r.out, identity) << placement.name;
        }
        else
        {
            EXPECT_EQ (r.out, deviceFile (0, "/mnt/nandfs/macAddress.txt").loadFileAsString()) << placement.name;
            EXPECT_TRUE (r.err.contains ("Reading Mac file...\n")) << placement.name << ": " << r.err;
        }
    }
    EXPECT_FALSE (run ({"getmac", "-p", "ttyACM0"}).err.contains ("Reading Mac file")) << "no protocol log without -v";
    EXPECT_TRUE (run ({"info", "-p", "ttyACM0"}).err.isEmpty()) << "no protocol log without -v";
    EXPECT_TRUE (deviceRequests (1, "").isEmpty()) << "only the chosen device is asked";
}

TEST_F (NuboCliTest, CountsThePortsNamedBeforeAndAfterTheCommand)
{
    startDevice (0);
    startDevice (1);
    startDevice (2);

    const auto r = run ({"-p", "ttyACM0", "info", "-p", "ttyACM2"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_TRUE (r.out.contains ("[ttyACM0] Text 1: Nubo Simulator\n")) << r.out;
    EXPECT_TRUE (r.out.contains ("[ttyACM2] Text 1: Nubo Simulator\n")) << r.out;
    EXPECT_FALSE (r.out.contains ("ttyACM1")) << r.out;
    EXPECT_FALSE (deviceRequests (0, "WhoAmIRequest").isEmpty());
    EXPECT_FALSE (deviceRequests (2, "WhoAmIRequest").isEmpty());
    EXPECT_TRUE (deviceRequests (1, "").isEmpty()) << "a device that was not named is left alone";

    EXPECT_EQ (run ({"-p", "ttyACM0", "ls", "-p", "ttyACM2"}).status, 2) << "ls runs on one device";
}

TEST_F (NuboCliTest, TakesAPortValueThatNamesACommandAsThePort)
{
    // A device whose tty is called like a command.
    startDevice (0, {"--tty", "ls"});

    const Placement runs[] = {
        {"-p before", {"-p", "ls", "info"}},         {"--port before", {"--port", "ls", "info"}},
        {"--port= before", {"--port=ls", "info"}},   {"-p after", {"info", "-p", "ls"}},
        {"-q and -p in one", {"-qp", "ls", "info"}},
    };
    for (auto& placement : runs)
    {
        const auto r = run (placement.arguments);
        EXPECT_EQ (r.status, 0) << placement.name << ": " << r.err;
        EXPECT_TRUE (r.out.startsWith ("Family ID: 0x001\n")) << placement.name << ": " << r.out;
    }

    // The command is still told apart from the port it runs on.
    auto r = run ({"-p", "ls", "ls", "docs"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_EQ (r.out, "notes.txt\n");

    r = run ({"-p", "ls", "frob"});
    EXPECT_EQ (r.status, 2);
    EXPECT_TRUE (r.err.startsWith ("nubo: unknown command 'frob'\n")) << r.err;

    r = run ({"-qp", "ls", "frob"});
    EXPECT_EQ (r.status, 2);
    EXPECT_TRUE (r.err.startsWith ("nubo: unknown command 'frob'\n")) << r.err;
}

TEST_F (NuboCliTest, RefusesAPortChoiceForPortsWhereverItStands)
{
    startDevice (0);

    const Placement runs[] = {
        {"-p before", {"-p", "ttyACM0", "ports"}},
        {"-p after", {"ports", "-p", "ttyACM0"}},
        {"--all before", {"--all", "ports"}},
        {"--all after", {"ports", "--all"}},
    };
    for (auto& placement : runs)
    {
        const auto r = run (placement.arguments);
        EXPECT_EQ (r.status, 2) << placement.name;
        EXPECT_TRUE (r.out.isEmpty()) << placement.name << ": " << r.out;
        EXPECT_TRUE (r.err.startsWith ("nubo: ports takes no -p or --all\n")) << placement.name << ": " << r.err;
    }

    // Quiet and verbose apply to it in either place.
    for (auto* option : {"-q", "-v"})
    {
        auto r = run ({option, "ports"});
        EXPECT_EQ (r.status, 0) << option;
        EXPECT_TRUE (r.out.contains (devicePath (0))) << option;
        r = run ({"ports", option});
        EXPECT_EQ (r.status, 0) << option;
        EXPECT_TRUE (r.out.contains (devicePath (0))) << option;
    }
}
