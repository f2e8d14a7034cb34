// nubo sync push/pull, check, tree, du and cat against the simulator: what an unchanged
// tree costs, changes and deletions, held-back deletions, filters, names the device
// must not be believed about, a device clock set wrong.

#include "NuboFixture.h"

#include <nlohmann/json.hpp>

namespace
{
class NuboSyncTest : public NuboFixture
{
protected:
    static constexpr const char* remote = "/mnt/nandfs/usr/sync";

    static void put (const juce::File& file, const juce::String& text)
    {
        ASSERT_TRUE (file.getParentDirectory().createDirectory().wasOk());
        ASSERT_TRUE (file.replaceWithText (text, false, false, "\n"));
    }

    /** 300 small files in 30 folders: ten folders of two sub-folders, ten files each. */
    juce::File makeTree (const juce::String& name)
    {
        const auto top = work().getChildFile (name);
        for (int i = 0; i < 10; ++i)
            for (auto& sub : {juce::String(), juce::String ("/x"), juce::String ("/y")})
                for (int f = 0; f < 10; ++f)
                    put (top.getChildFile ("d" + juce::String (i) + sub + "/f" + juce::String (f) + ".txt"),
                         "file " + juce::String (i) + sub + juce::String (f));
        return top;
    }

    int logLength() const
    {
        juce::StringArray lines;
        lines.addLines (requestLog (0).loadFileAsString());
        lines.removeEmptyStrings();
        return lines.size();
    }

    /** How many requests of each kind the device took since the log had that many lines. */
    std::map<juce::String, int> requestsSince (int start) const
    {
        juce::StringArray lines;
        lines.addLines (requestLog (0).loadFileAsString());
        lines.removeEmptyStrings();
        std::map<juce::String, int> kinds;
        for (int i = start; i < lines.size(); ++i)
            ++kinds[lines[i].fromFirstOccurrenceOf (" ", false, false).upToFirstOccurrenceOf (" ", false, false)];
        return kinds;
    }

    static nlohmann::json parsed (const juce::String& text)
    {
        return nlohmann::json::parse (text.toStdString()); // throws, failing the test, when not strict JSON
    }

    juce::File onDevice (const juce::String& path) const
    {
        return deviceFile (0, juce::String (remote) + "/" + path);
    }
};
} // namespace

TEST_F (NuboSyncTest, AnUnchangedTreeCostsOnlyItsListingBothWays)
{
    const auto local = makeTree ("tree");
    startDevice (0);

    auto r = run ({"sync", "push", "tree", remote});
    ASSERT_EQ (r.status, 0) << r.err;
    EXPECT_TRUE (r.out.contains ("sent 300, fetched 0, deleted 0, skipped 0, failed 0, unsafe 0")) << r.out;
    EXPECT_TRUE (sameContents (local.getChildFile ("d7/y/f3.txt"), onDevice ("d7/y/f3.txt")));

    for (auto* direction : {"push", "pull"})
    {
        if (juce::String (direction) == "pull")
        {
            r = run ({"sync", "pull", remote, "copy"});
            ASSERT_EQ (r.status, 0) << r.err;
            EXPECT_TRUE (r.out.contains ("fetched 300")) << r.out;
            EXPECT_TRUE (sameContents (local.getChildFile ("d2/x/f9.txt"), work().getChildFile ("copy/d2/x/f9.txt")));
        }

        const auto start = logLength();
        r = juce::String (direction) == "push" ? run ({"sync", "push", "tree", remote})
                                               : run ({"sync", "pull", remote, "copy"});
        ASSERT_EQ (r.status, 0) << direction << ": " << r.err;
        EXPECT_TRUE (r.out.contains ("sent 0, fetched 0, deleted 0, skipped 300, failed 0")) << direction << r.out;
        const std::map<juce::String, int> listingOnly{{"FolderContentsRequest", 31},
                                                      {"FileSystemEntryInfoRequest", 300}};
        EXPECT_EQ (requestsSince (start), listingOnly) << direction;
    }

    // Listing it costs the same; check finds every file alike.
    const auto start = logLength();
    r = run ({"du", remote});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_EQ (requestsSince (start).size(), 2u);
    EXPECT_TRUE (r.out.contains ("total (300 files)")) << r.out;
    EXPECT_EQ (run ({"check", "copy", remote}).status, 0);
    EXPECT_EQ (run ({"check", "tree", remote}).status, 0);
}

TEST_F (NuboSyncTest, ChangesAndDeletionsAndWhatHoldsThemBack)
{
    const auto local = makeTree ("tree");
    startDevice (0);
    ASSERT_EQ (run ({"sync", "push", "tree", remote}).status, 0);

    // A changed file, a new one, one removed: without --delete the removed one stays.
    put (local.getChildFile ("d1/f1.txt"), "changed, and longer than before");
    put (local.getChildFile ("d1/new.txt"), "new");
    local.getChildFile ("d2/f2.txt").deleteFile();

    auto r = run ({"sync", "push", "--dry-run", "tree", remote});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_TRUE (r.out.contains ("send d1/f1.txt (changed)\n")) << r.out;
    EXPECT_TRUE (r.out.contains ("send d1/new.txt (new)\n")) << r.out;
    EXPECT_TRUE (r.out.contains ("skip d1/f2.txt (unchanged)\n")) << r.out;
    r = run ({"check", "tree", remote});
    EXPECT_EQ (r.status, 1);
    EXPECT_TRUE (r.out.contains ("only on the device d2/f2.txt\n")) << r.out;

    r = run ({"sync", "push", "tree", remote});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_TRUE (r.out.contains ("sent 2, fetched 0, deleted 0")) << r.out;
    EXPECT_TRUE (sameContents (local.getChildFile ("d1/f1.txt"), onDevice ("d1/f1.txt")));
    EXPECT_TRUE (onDevice ("d2/f2.txt").existsAsFile());

    // More deletions than allowed: none at all.
    local.getChildFile ("d3/f3.txt").deleteFile();
    r = run ({"sync", "push", "--delete", "--max-delete", "1", "tree", remote});
    EXPECT_EQ (r.status, 1);
    EXPECT_TRUE (r.err.contains ("not deleting 2 files: 2 planned, more than the 1 allowed")) << r.err;
    EXPECT_TRUE (onDevice ("d2/f2.txt").existsAsFile());
    EXPECT_TRUE (onDevice ("d3/f3.txt").existsAsFile());

    // A transfer that fails on the way holds back every deletion of the run.
    stopDevice (0);
    put (local.getChildFile ("d4/f4.txt"), "to be refused");
    put (local.getChildFile ("d5/f5.txt"), "goes through");
    startDevice (0, {"--refuse-create", juce::String (remote) + "/d4/f4.txt"});
    r = run ({"sync", "push", "--delete", "tree", remote});
    EXPECT_EQ (r.status, 1);
    EXPECT_TRUE (r.err.contains ("FAILED send d4/f4.txt (changed)")) << r.err;
    EXPECT_TRUE (r.err.contains ("not deleting 2 files: 1 transfer failed")) << r.err;
    EXPECT_TRUE (onDevice ("d2/f2.txt").existsAsFile());
    EXPECT_TRUE (sameContents (local.getChildFile ("d5/f5.txt"), onDevice ("d5/f5.txt")));
    EXPECT_FALSE (sameContents (local.getChildFile ("d4/f4.txt"), onDevice ("d4/f4.txt")));

    stopDevice (0);
    startDevice (0);
    r = run ({"sync", "push", "--delete", "--json", "tree", remote});
    EXPECT_EQ (r.status, 0) << r.err;
    const auto document = parsed (r.out);
    EXPECT_EQ (document["summary"]["deleted"], 2);
    EXPECT_EQ (document["summary"]["sent"], 1);
    EXPECT_FALSE (onDevice ("d2/f2.txt").exists());
    EXPECT_EQ (run ({"check", "tree", remote}).status, 0);

    // A pull deletes what the device no longer has, only regular files, never a link's target.
    ASSERT_EQ (run ({"sync", "pull", remote, "copy"}).status, 0);
    const auto outside = work().getChildFile ("outside.txt");
    put (outside, "not the tree's");
    ASSERT_TRUE (outside.createSymbolicLink (work().getChildFile ("copy/d6/link.txt"), true));
    put (work().getChildFile ("copy/d6/extra.txt"), "extra");
    r = run ({"sync", "pull", "--delete", remote, "copy"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_FALSE (work().getChildFile ("copy/d6/extra.txt").exists());
    EXPECT_TRUE (work().getChildFile ("copy/d6/link.txt").isSymbolicLink());
    EXPECT_TRUE (outside.existsAsFile());

    // An unset shell variable is no folder: neither the current one to send nor one to fill.
    const auto before = logLength();
    EXPECT_EQ (run ({"sync", "push", "", remote}).status, 2);
    EXPECT_EQ (run ({"sync", "pull", "--delete", remote, " "}).status, 2);
    EXPECT_EQ (run ({"check", "", remote}).status, 2);
    // Nor are the folders that hold the device's whole file system a place to delete in.
    r = run ({"sync", "push", "--delete", "copy", "/mnt/.."});
    EXPECT_EQ (r.status, 2);
    EXPECT_TRUE (r.err.contains ("it holds the device's files")) << r.err;
    EXPECT_EQ (logLength(), before) << "refused before the device was asked anything";
    EXPECT_TRUE (deviceFile (0, "/mnt/nandfs/macAddress.txt").existsAsFile());
}

TEST_F (NuboSyncTest, ExcludedFilesAreNeitherCopiedNorDeleted)
{
    const auto local = work().getChildFile ("tree");
    for (auto* name : {"a.txt", "x.tmp", "keep.tmp", "build/out.bin", "sub/y.log", "sub/z.txt"})
        put (local.getChildFile (name), name);
    put (local.getChildFile (".nuboignore"), "# scratch\n!keep.tmp\n*.tmp\nbuild\n");
    writeFile (onDevice ("old.tmp"), randomBytes (10, 1));
    writeFile (onDevice ("extra.txt"), randomBytes (10, 2));
    writeFile (onDevice ("sub/y.log"), randomBytes (10, 3));
    startDevice (0);

    const auto r = run ({"sync", "push", "--delete", "--exclude", "sub/*.log", "tree", remote});
    EXPECT_EQ (r.status, 0) << r.err;
    for (auto* sent : {"a.txt", "keep.tmp", "sub/z.txt"})
        EXPECT_TRUE (sameContents (local.getChildFile (sent), onDevice (sent))) << sent;
    for (auto* left : {"x.tmp", "build", ".nuboignore"})
        EXPECT_FALSE (onDevice (left).exists()) << left;
    EXPECT_TRUE (onDevice ("old.tmp").existsAsFile());
    EXPECT_TRUE (onDevice ("sub/y.log").existsAsFile());
    EXPECT_FALSE (onDevice ("extra.txt").exists());
    EXPECT_TRUE (r.out.contains ("sent 3, fetched 0, deleted 1")) << r.out;

    // The first glob that matches decides: an include before the exclude takes the file.
    const auto included = run ({"sync", "push", "--include", "x.tmp", "--exclude=sub/*.log", "tree", remote});
    EXPECT_TRUE (included.out.contains ("sent 1,")) << included.out << included.err;
    EXPECT_TRUE (onDevice ("x.tmp").existsAsFile());
}

TEST_F (NuboSyncTest, NamesTheDeviceMustNotBeBelievedAboutAreSkippedAndCounted)
{
    writeFile (onDevice ("good.txt"), randomBytes (100, 4));
    startDevice (0, {"--unsafe-names"});

    auto r = run ({"sync", "pull", "--json", remote, "copy"});
    EXPECT_EQ (r.status, 1) << r.err;
    const auto document = parsed (r.out);
    EXPECT_GE (document["summary"]["unsafe"].get<int>(), 3);
    EXPECT_EQ (document["summary"]["unsafe"].get<size_t>(), document["unsafeNames"].size());
    EXPECT_EQ (document["summary"]["fetched"], 1);
    EXPECT_TRUE (r.err.contains ("skipped unsafe name ")) << r.err;
    EXPECT_TRUE (sameContents (onDevice ("good.txt"), work().getChildFile ("copy/good.txt")));
    // Nothing was written beside the copy, or above it.
    for (auto& entry : work().findChildFiles (juce::File::findFilesAndDirectories, false, "*"))
        EXPECT_TRUE (entry.getFileName() == "copy" || entry.getFileName().startsWith ("nubo.")) << entry.getFileName();
    EXPECT_FALSE ((scratch / "x").exists());
    EXPECT_EQ (work().getChildFile ("copy").findChildFiles (juce::File::findFilesAndDirectories, true, "*").size(), 1);

    r = run ({"tree", "--json", remote});
    EXPECT_EQ (r.status, 1);
    EXPECT_EQ (parsed (r.out)["entries"].size(), 1u);

    // A folder that holds itself ends the walk at the depth limit, and the sync with it.
    stopDevice (0);
    startDevice (0, {"--self-folder", "me"});
    r = run ({"tree", remote});
    EXPECT_EQ (r.status, 1);
    EXPECT_TRUE (r.err.contains ("is nested deeper than 32 levels")) << r.err;
    put (work().getChildFile ("copy/extra.txt"), "kept");
    r = run ({"sync", "pull", "--delete", remote, "copy"});
    EXPECT_EQ (r.status, 1);
    EXPECT_TRUE (r.err.contains ("not deleting 1 file: the device's tree could not be read whole")) << r.err;
    EXPECT_TRUE (work().getChildFile ("copy/extra.txt").existsAsFile());
}

TEST_F (NuboSyncTest, ADeviceClockAnHourOffMakesNoFileLookChanged)
{
    const auto local = work().getChildFile ("tree");
    for (int i = 0; i < 20; ++i)
        put (local.getChildFile ("d" + juce::String (i % 4) + "/f" + juce::String (i) + ".txt"),
             "file " + juce::String (i));
    startDevice (0, {"--clock-offset", "3600"});

    auto r = run ({"sync", "push", "tree", remote});
    ASSERT_EQ (r.status, 0) << r.err;
    r = run ({"sync", "push", "tree", remote});
    EXPECT_TRUE (r.out.contains ("sent 0, fetched 0, deleted 0, skipped 20")) << r.out;

    ASSERT_EQ (run ({"sync", "pull", remote, "copy"}).status, 0);
    r = run ({"sync", "pull", remote, "copy"});
    EXPECT_TRUE (r.out.contains ("sent 0, fetched 0, deleted 0, skipped 20")) << r.out;

    // Without any record, the fetched copy still compares equal by size and time.
    r = run ({"check", "--json", "--manifest", "fresh.json", "copy", remote});
    EXPECT_EQ (r.status, 0) << r.out << r.err;
    EXPECT_TRUE (parsed (r.out)["match"].get<bool>());

    // A damaged manifest is only a warning: it counts as empty, and is written anew.
    put (work().getChildFile ("damaged.json"), "{\"version\": 1, \"files\": [");
    r = run ({"sync", "pull", "--manifest", "damaged.json", remote, "copy"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_TRUE (r.err.contains ("warning: the sync manifest ")) << r.err;
    EXPECT_TRUE (r.out.contains ("skipped 20")) << r.out;
    EXPECT_EQ (parsed (work().getChildFile ("damaged.json").loadFileAsString())["files"].size(), 20u);

    // And the files themselves, read through.
    r = run ({"check", "--checksum", "copy", remote});
    EXPECT_EQ (r.status, 0) << r.out << r.err;
    r = run ({"cat", juce::String (remote) + "/d1/f5.txt", juce::String (remote) + "/d2/f6.txt"});
    EXPECT_EQ (r.out, "file 5file 6");
}

TEST_F (NuboSyncTest, CtrlCStopsAfterTheCurrentFileAndKeepsWhatWasDone)
{
    const auto local = work().getChildFile ("tree");
    for (int i = 0; i < 40; ++i)
        put (local.getChildFile ("f" + juce::String (i) + ".txt"), "file " + juce::String (i));
    startDevice (0, {"--delay", "20"});

    NuboProcess nubo (work(), root());
    ASSERT_TRUE (nubo.start ({"sync", "push", "tree", remote}));
    // Interrupted once a few files are in place.
    for (int i = 0; i < 600 && deviceRequests (0, "FileSystemEntryMoveRequest").size() < 5; ++i)
        juce::Thread::sleep (50);
    nubo.interrupt();
    EXPECT_EQ (nubo.wait(), 130) << nubo.standardError();

    juce::StringArray sent;
    sent.addLines (nubo.standardOutput());
    int done = 0;
    for (auto& line : sent)
        done += line.startsWith ("sent f") ? 1 : 0;
    EXPECT_GE (done, 1);
    EXPECT_LT (done, 40);

    // The next run sends no more than the rest: what was done stayed recorded (a file
    // whose last answer the interrupt cut off is found equal by size and time).
    stopDevice (0);
    startDevice (0);
    const auto r = run ({"sync", "push", "--json", "tree", remote});
    EXPECT_EQ (r.status, 0) << r.err;
    const auto summary = parsed (r.out)["summary"];
    EXPECT_EQ (summary["sent"].get<int>() + summary["skipped"].get<int>(), 40) << r.out;
    EXPECT_LE (summary["sent"].get<int>(), 40 - done) << r.out;
    EXPECT_EQ (run ({"check", "tree", remote}).status, 0);
}
