// Text from the device (names, WhoAmI texts, properties, USB texts, the MAC file) with
// control characters and bytes that are not UTF-8: every --json run is one document
// that python's json module takes, and no plain line carries the device's controls.

#include "NuboFixture.h"
#include "protocol/ReceivedMessage.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

namespace
{
const std::string fffd = "\xef\xbf\xbd";

/** Every byte but NUL and '/', in a name: text no listing can take at face value. */
std::string binaryName()
{
    std::string name;
    for (int b = 1; b < 256; ++b)
        if (b != '/')
            name += (char) b;
    return name;
}

class NuboHostileTextTest : public NuboFixture
{
protected:
    struct Output
    {
        int status = -1;
        std::string out; ///< standard output's bytes as written
        juce::String err;
    };

    Output runRaw (const juce::StringArray& arguments)
    {
        const auto r = run (arguments);
        Output o;
        o.status = r.status;
        o.err = r.err;
        juce::MemoryBlock bytes;
        work().getChildFile ("nubo.out").loadFileAsData (bytes);
        o.out.assign (static_cast<const char*> (bytes.getData()), bytes.getSize());
        return o;
    }

    /** "OK" when python's json module takes the bytes as exactly one strict document
        (UTF-8, no NaN or Infinity, nothing after it) ending in one LF, else its complaint. */
    juce::String pythonVerdict (const std::string& bytes)
    {
        const auto file = work().getChildFile ("document.json");
        EXPECT_TRUE (file.replaceWithData (bytes.data(), bytes.size()));
        static const char* script = R"(
import json, sys
data = open(sys.argv[1], 'rb').read()
def constant(name):
    raise ValueError('not JSON: ' + name)
json.loads(data.decode('utf-8'), parse_constant=constant)
if b'\r' in data or not data.endswith(b'\n'):
    raise SystemExit('line ends are not LF')
print('OK')
)";
        juce::ChildProcess python;
        if (!python.start (juce::StringArray{"python3", "-c", script, file.getFullPathName()},
                           juce::ChildProcess::wantStdOut | juce::ChildProcess::wantStdErr))
            return "python3 did not start";
        const auto said = python.readAllProcessOutput().trim();
        python.waitForProcessToFinish (60000);
        return said.endsWith ("OK") && python.getExitCode() == 0 ? juce::String ("OK") : said;
    }

    static nlohmann::json parsed (const std::string& bytes)
    {
        return nlohmann::json::parse (bytes, nullptr, false);
    }

    /** The control bytes (ESC, BEL, CR, TAB...) in plain output; LF ends its lines. */
    static juce::String controlsIn (const std::string& text, bool tabsAllowed = false)
    {
        juce::String found;
        for (auto c : text)
        {
            const auto b = (unsigned char) c;
            if ((b < 0x20 && b != '\n' && !(tabsAllowed && b == '\t')) || b == 0x7f)
                found << juce::String::toHexString ((int) b) << " ";
        }
        return found;
    }

    static int lineCount (const std::string& text)
    {
        return (int) std::count (text.begin(), text.end(), '\n');
    }

    /** Removes the files with odd names before the scratch folder goes: juce::File
        cannot be trusted with a name that is not UTF-8 (it reads past such a name). */
    void TearDown() override
    {
        for (auto& path : rawFiles)
            ::unlink (path.c_str());
        NuboFixture::TearDown();
    }

    /** A file with exactly these bytes as its name (juce::File takes only UTF-8 names). */
    void makeRawFile (const juce::File& folder, const std::string& name, const std::string& content)
    {
        ASSERT_TRUE (folder.createDirectory().wasOk());
        const auto path = folder.getFullPathName().toStdString() + "/" + name;
        const auto fd = ::open (path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE (fd, 0) << path;
        rawFiles.push_back (path);
        ASSERT_EQ (::write (fd, content.data(), content.size()), (ssize_t) content.size());
        ::close (fd);
    }

    static std::string asString (const juce::String& text)
    {
        return text.toStdString();
    }

    std::vector<std::string> rawFiles;
};
} // namespace

TEST_F (NuboHostileTextTest, ListingsAreStrictJsonWithTheBytesOfNamesThatAreNotUtf8)
{
    startDevice (0);
    const auto folder = deviceFile (0, "/mnt/nandfs/usr/hostile");
    struct Entry
    {
        std::string name, content;
    };
    const Entry entries[] = {
        {"esc\x1b[31mred", "1"}, {"bel\x07", "1"},        {"cr\rx", "1"},       {"lf\nx", "1"},
        {"tab\tx", "1"},         {binaryName(), "12345"}, {"caf\xe9", "12345"}, {"caf\xc3\xa9", "12"},
    };
    for (auto& e : entries)
        makeRawFile (folder, e.name, e.content);

    for (auto* details : {"", "-l"})
    {
        juce::StringArray arguments{"ls", "--json", "hostile"};
        if (*details != 0)
            arguments.add (details);
        const auto r = runRaw (arguments);
        ASSERT_EQ (r.status, 0) << r.err;
        EXPECT_EQ (pythonVerdict (r.out), juce::String ("OK")) << r.out;

        const auto document = parsed (r.out);
        ASSERT_FALSE (document.is_discarded()) << r.out;
        ASSERT_EQ (document["entries"].size(), std::size (entries)) << r.out;

        std::map<std::string, nlohmann::json> byName;
        for (auto& entry : document["entries"])
            byName[entry["name"].get<std::string>()] = entry;

        for (auto* name : {"esc\x1b[31mred", "bel\x07", "cr\rx", "lf\nx", "tab\tx", "caf\xc3\xa9"})
        {
            ASSERT_EQ (byName.count (name), 1u) << name << "\n" << r.out;
            EXPECT_FALSE (byName[name].contains ("nameBytes")) << name;
        }

        // Not UTF-8: U+FFFD in the text, the device's bytes beside it.
        ASSERT_EQ (byName.count ("caf" + fffd), 1u) << r.out;
        EXPECT_EQ (byName["caf" + fffd]["nameBytes"], "636166e9");
        const auto binary = binaryName();
        bool foundBinary = false;
        for (auto& [name, entry] : byName)
            if (entry.contains ("nameBytes") && entry["nameBytes"] != "636166e9")
            {
                foundBinary = true;
                EXPECT_EQ (entry["nameBytes"].get<std::string>(),
                           asString (juce::String::toHexString (binary.data(), (int) binary.size(), 0)));
            }
        EXPECT_TRUE (foundBinary) << r.out;

        if (*details != 0)
        {
            // The UTF-8 twin has its own size; the other one cannot be asked about.
            EXPECT_EQ (byName["caf\xc3\xa9"]["size"], 2);
            EXPECT_EQ (byName["esc\x1b[31mred"]["size"], 1);
            EXPECT_TRUE (byName["caf" + fffd]["size"].is_null()) << r.out;
            EXPECT_TRUE (byName["caf" + fffd]["modified"].is_null()) << r.out;
        }
    }

    // Plain: one line per entry, the controls escaped.
    for (auto* details : {"", "-l"})
    {
        juce::StringArray arguments{"ls", "hostile"};
        if (*details != 0)
            arguments.add (details);
        const auto r = runRaw (arguments);
        ASSERT_EQ (r.status, 0) << r.err;
        EXPECT_EQ (controlsIn (r.out), "") << r.out;
        EXPECT_EQ (lineCount (r.out), (int) std::size (entries)) << r.out;
        EXPECT_NE (r.out.find ("esc\\x1B[31mred"), std::string::npos) << r.out;
        EXPECT_NE (r.out.find ("lf\\x0Ax"), std::string::npos) << r.out;
    }
}

TEST_F (NuboHostileTextTest, AFailureToReadDetailsQuotesTheNameEscaped)
{
    // The second answer (the details of the one entry) never comes.
    startDevice (0, {"--drop", "2"});
    makeRawFile (deviceFile (0, "/mnt/nandfs/usr/h"), "e\x1b[2J\x07", "x");

    // The entry is still listed, escaped, with its details unknown; the run fails.
    const auto r = runRaw ({"ls", "-l", "h"});
    EXPECT_EQ (r.status, 1);
    EXPECT_EQ (r.out, std::string ("           ?  ?") + std::string (20, ' ') + "e\\x1B[2J\\x07\n");
    EXPECT_EQ (controlsIn (r.out), "") << r.out;
    EXPECT_TRUE (r.err.contains ("can't read the details of 1 of 1 entries in /mnt/nandfs/usr/h")) << r.err;
    EXPECT_EQ (controlsIn (asString (r.err)), "") << r.err;
}

TEST_F (NuboHostileTextTest, IdentityPropertiesAndTheMacFileAreStrictJsonAndEscapedPlain)
{
    const juce::String text1 ("One\x07\x1b[2J\r\x01"), text2 ("Two\t\n\x1b]0;title\x07");
    startDevice (0, {"--text1", text1, "--text2", text2});
    const std::string mac = "AA:BB:CC\x07\x1b[2J\r\n\tDD\xff\n";
    writeFile (deviceFile (0, "/mnt/nandfs/macAddress.txt"), juce::MemoryBlock (mac.data(), mac.size()));

    auto r = runRaw ({"info", "--json"});
    ASSERT_EQ (r.status, 0) << r.err;
    EXPECT_EQ (pythonVerdict (r.out), juce::String ("OK")) << r.out;
    auto document = parsed (r.out);
    EXPECT_EQ (document["text1"], asString (text1));
    EXPECT_EQ (document["text2"], asString (text2));

    r = runRaw ({"props", "--json"});
    ASSERT_EQ (r.status, 0) << r.err;
    EXPECT_EQ (pythonVerdict (r.out), juce::String ("OK")) << r.out;
    document = parsed (r.out);
    bool found = false;
    for (auto& property : document[0]["properties"])
        if (property["id"] == 0x8000)
        {
            found = true;
            EXPECT_EQ (property["value"], asString (text1));
        }
    EXPECT_TRUE (found) << r.out;

    r = runRaw ({"getmac", "--json"});
    ASSERT_EQ (r.status, 0) << r.err;
    EXPECT_EQ (pythonVerdict (r.out), juce::String ("OK")) << r.out;
    EXPECT_EQ (parsed (r.out), "AA:BB:CC\x07\x1b[2J\r\n\tDD" + fffd + "\n");

    for (auto* command : {"info", "props"})
    {
        r = runRaw ({command});
        ASSERT_EQ (r.status, 0) << r.err;
        EXPECT_EQ (controlsIn (r.out), "") << command << ":\n" << r.out;
    }
}

TEST_F (NuboHostileTextTest, PortsAreStrictJsonAndOneEscapedLineEach)
{
    const juce::String product ("Evil\tProd\nfake\t/dev/x\x07\x1b[2J"), serial ("S\x07\r1");
    startDevice (0, {"--product", product, "--usb-serial", serial});

    auto r = runRaw ({"ports", "--json"});
    ASSERT_EQ (r.status, 0) << r.err;
    EXPECT_EQ (pythonVerdict (r.out), juce::String ("OK")) << r.out;
    const auto document = parsed (r.out);
    ASSERT_EQ (document.size(), 1u) << r.out;
    EXPECT_EQ (document[0]["name"], asString (product + " (ttyACM0)"));
    EXPECT_EQ (document[0]["serial"], asString (serial));

    // Four tab-separated fields on one line: the product text forges no second port.
    r = runRaw ({"ports"});
    ASSERT_EQ (r.status, 0) << r.err;
    EXPECT_EQ (controlsIn (r.out, true), "") << r.out;
    EXPECT_EQ (lineCount (r.out), 1) << r.out;
    EXPECT_EQ (std::count (r.out.begin(), r.out.end(), '\t'), 3) << r.out;
    EXPECT_EQ (r.out, asString ("Evil\\x09Prod\\x0Afake\\x09/dev/x\\x07\\x1B[2J (ttyACM0)\t" + devicePath (0) +
                                "\t7a3c:0511:0100\tS\\x07\\x0D1\n"));

    // The message that lists several devices.
    startDevice (1, {"--product", product});
    r = runRaw ({"info"});
    EXPECT_EQ (r.status, 3);
    const auto err = asString (r.err);
    EXPECT_EQ (controlsIn (err, true), "") << err;
    EXPECT_EQ (lineCount (err), 4) << err;
    EXPECT_TRUE (r.err.contains ("several Nubo devices found")) << r.err;
}

TEST_F (NuboHostileTextTest, SeveralDevicesWriteOneStrictSummaryAndEscapedTables)
{
    const juce::String text1 ("Dev\x07\x1b[2J\r");
    const std::string mac = "AA:BB\x07\x1b[2J\r\n\tCC\xff\n";
    for (int n : {0, 1})
    {
        startDevice (n, {"--text1", text1});
        writeFile (deviceFile (n, "/mnt/nandfs/macAddress.txt"), juce::MemoryBlock (mac.data(), mac.size()));
    }

    for (auto* command : {"info", "props", "getmac"})
    {
        const auto r = runRaw ({"--all", command, "--json"});
        ASSERT_EQ (r.status, 0) << r.err;
        EXPECT_EQ (pythonVerdict (r.out), juce::String ("OK")) << command << ":\n" << r.out;
        const auto document = parsed (r.out);
        ASSERT_FALSE (document.is_discarded()) << r.out;
        EXPECT_EQ (document["command"], command);
        ASSERT_EQ (document["devices"].size(), 2u);
        EXPECT_EQ (document["failed"], 0);
        for (auto& device : document["devices"])
        {
            if (juce::String (command) == "getmac")
            {
                EXPECT_EQ (device["result"], "AA:BB\x07\x1b[2J\r\n\tCC" + fffd + "\n") << r.out;
            }
            else if (juce::String (command) == "info")
            {
                EXPECT_EQ (device["result"]["text1"], asString (text1)) << r.out;
            }
        }
    }

    for (auto* command : {"info", "props", "getmac"})
    {
        const auto r = runRaw ({"--all", command});
        ASSERT_EQ (r.status, 0) << r.err;
        EXPECT_EQ (controlsIn (r.out), "") << command << ":\n" << r.out;
        EXPECT_NE (r.out.find ("2 of 2 devices succeeded"), std::string::npos) << r.out;
    }
}

TEST_F (NuboHostileTextTest, AFailedJsonRunWritesNothingOnStandardOutputButASummaryStaysOneDocument)
{
    startDevice (0);

    // One device: the message on standard error, nothing a parser could take for a result.
    auto r = runRaw ({"ls", "--json", "no-such-folder"});
    EXPECT_EQ (r.status, 1);
    EXPECT_EQ (r.out, "");
    EXPECT_TRUE (r.err.contains ("can't list /mnt/nandfs/usr/no-such-folder")) << r.err;

    r = runRaw ({"-p", "/dev/null/none", "info", "--json"});
    EXPECT_EQ (r.status, 3);
    EXPECT_EQ (r.out, "");

    // Several: the summary is the result, failures and all.
    r = runRaw ({"-p", "ttyACM0", "-p", devicePath (7), "info", "--json"});
    EXPECT_EQ (r.status, 3) << r.err;
    EXPECT_EQ (pythonVerdict (r.out), juce::String ("OK")) << r.out;
    const auto document = parsed (r.out);
    ASSERT_EQ (document["devices"].size(), 2u) << r.out;
    EXPECT_EQ (document["failed"], 1);
    EXPECT_EQ (document["devices"][0]["ok"], true);
    EXPECT_EQ (document["devices"][1]["ok"], false);
    EXPECT_EQ (document["devices"][1]["status"], 3);

    // put has no document of its own: its summary is the one, for one device too.
    writeFile (work().getChildFile ("up.bin"), randomBytes (100, 1));
    r = runRaw ({"put", "--json", "up.bin"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_EQ (pythonVerdict (r.out), juce::String ("OK")) << r.out;
    auto summary = parsed (r.out);
    EXPECT_EQ (summary["command"], "put");
    ASSERT_EQ (summary["devices"].size(), 1u) << r.out;
    EXPECT_EQ (summary["devices"][0]["ok"], true);
    EXPECT_EQ (summary["devices"][0]["result"], "/mnt/nandfs/usr/up.bin");

    r = runRaw ({"put", "--json", "up.bin", "no-such-folder/up.bin"});
    EXPECT_EQ (r.status, 1) << r.err;
    EXPECT_EQ (pythonVerdict (r.out), juce::String ("OK")) << r.out;
    summary = parsed (r.out);
    EXPECT_EQ (summary["failed"], 1);
    EXPECT_EQ (summary["devices"][0]["ok"], false);
}

TEST_F (NuboHostileTextTest, PortTextsThatAreNotUtf8ComeOutAsReplacements)
{
    startDevice (0);
    // The sysfs files of the device, rewritten with bytes no command line carries.
    const auto usbDevice = root().getChildFile ("sys/devices/pci0000:00/0000:00:14.0/usb1/1-2");
    const std::string product = "P\xff\xfeX\n", serial = "S\xe9\n";
    ASSERT_TRUE (usbDevice.getChildFile ("product").replaceWithData (product.data(), product.size()));
    ASSERT_TRUE (usbDevice.getChildFile ("serial").replaceWithData (serial.data(), serial.size()));

    auto r = runRaw ({"ports", "--json"});
    ASSERT_EQ (r.status, 0) << r.err;
    EXPECT_EQ (pythonVerdict (r.out), juce::String ("OK")) << r.out;
    EXPECT_EQ (parsed (r.out)[0]["name"], "P" + fffd + fffd + "X (ttyACM0)") << r.out;

    r = runRaw ({"ports"});
    ASSERT_EQ (r.status, 0) << r.err;
    EXPECT_EQ (lineCount (r.out), 1) << r.out;
    EXPECT_EQ (r.out.rfind ("P" + fffd + fffd + "X (ttyACM0)\t", 0), 0u) << r.out;
    EXPECT_TRUE (ReceivedMessage::isValidUtf8 (reinterpret_cast<const juce::uint8*> (r.out.data()), (int) r.out.size()))
        << r.out;
}
