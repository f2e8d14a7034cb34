// The Production tab in the real window: a station on two simulated units, and the
// one port that the Connection tab and the station cannot both have.

#include "AppTestSupport.h"

#include "panes/ProductionPane.h"
#include "station/StationRecords.h"

#include <juce_cryptography/juce_cryptography.h>

#include <limits>

using namespace apptest;

namespace
{
/** A recipe for family 1 with a small image, next to it in folder. */
juce::File writeRecipe (const juce::File& folder, int imageSize)
{
    writeRandomFile (folder.getChildFile ("image.bin"), (size_t) imageSize, imageSize);
    const auto recipe = folder.getChildFile ("line-test.json");
    recipe.replaceWithText (R"({ "name": "Line test", "family": 1, "image": "image.bin", "follow_restart": false })");
    return recipe;
}

ProductionPane::SlotTile* tileOf (ProductionPane& pane, const juce::String& slot)
{
    for (auto* tile : pane.getTiles())
        if (tile->getName() == slot)
            return tile;
    return nullptr;
}

juce::String stateOf (ProductionPane& pane, const juce::String& slot)
{
    auto* tile = tileOf (pane, slot);
    return tile != nullptr ? tile->getStateText() : juce::String();
}

/** The simulated unit plugged into USB port N sits in slot 1-N. */
class ProductionPaneTest : public ::testing::Test
{
protected:
    void startWith (const juce::StringArray& firstUnit, int imageSize)
    {
        device = std::make_unique<SimulatedDevice> (firstUnit);
        ASSERT_TRUE (device->isReady());
        recipeFile = writeRecipe (device->scratch(), imageSize);
        settings.write (
            {{Settings::lastPortKey, simulatedPortName}, {"productionDatabase", database.getFullPathName()}});
        window = std::make_unique<Window>();
        window->main().getTabs().setCurrentTabIndex (2);
        pane = window->main().getProductionPane();
        ASSERT_NE (pane, nullptr);
    }

    std::unique_ptr<SimulatedDevice> device;
    ScopedSettingsFolder settings;
    TempFolder records;
    juce::File database = (records / "data").getChildFile ("station.db"); // the folder is made at Start
    juce::File recipeFile;
    AnsweredMessageBoxes boxes;
    std::unique_ptr<Window> window;
    ProductionPane* pane = nullptr;
};
} // namespace

TEST_F (ProductionPaneTest, RefusesAUnitOfAnotherFamilyAndPassesTheOther)
{
    startWith ({"--usb-port", "2", "--usb-serial", "GOOD-1"}, 8192);
    ASSERT_TRUE (device->addPort ("ttyACM1", 3, {"--usb-serial", "BAD\x1b-2", "--family", "3"}));
    device->scratch().getChildFile ("fs-ttyACM1/mnt/nandfs/macAddress.txt").replaceWithText ("02:00:00:00:00:02\n");

    ASSERT_EQ (window->main().getTabs().getCurrentTabName(), "Production");
    EXPECT_TRUE (window->tabEnabled (2)) << "the tab needs no connection";
    // A misspelt key: the reason on the tab and in the log, and no station.
    const auto misspelt = device->scratch().getChildFile ("misspelt.json");
    misspelt.replaceWithText (R"({ "image": "image.bin", "retires": 2 })");
    EXPECT_FALSE (pane->loadRecipe (misspelt));
    EXPECT_TRUE (pane->getStatusText().startsWith ("Recipe not loaded: ")) << pane->getStatusText();
    EXPECT_TRUE (pane->getStatusText().contains ("retires")) << pane->getStatusText();
    EXPECT_TRUE (window->logContains (pane->getStatusText())) << window->logText();
    EXPECT_FALSE (pane->startStation());
    EXPECT_EQ (pane->getStation(), nullptr);

    ASSERT_TRUE (pane->loadRecipe (recipeFile)) << window->logText();
    EXPECT_EQ (pane->getRecipeText(),
               "Line test   sha256 " + juce::SHA256 (recipeFile).toHexString().substring (0, 16));
    EXPECT_EQ (settings.readFromDisk ("productionRecipe"), recipeFile.getFullPathName());

    ASSERT_TRUE (pane->startStation()) << window->logText();
    ASSERT_TRUE (pumpUntil ([&] { return stateOf (*pane, "1-2") == "passed" && stateOf (*pane, "1-3") == "refused"; }))
        << stateOf (*pane, "1-2") << " / " << stateOf (*pane, "1-3") << "\n"
        << window->logText();

    const auto good = tileOf (*pane, "1-2")->getStateColour();
    const auto bad = tileOf (*pane, "1-3")->getStateColour();
    EXPECT_NEAR (good.getHue(), 1.0f / 3.0f, 0.08f) << "green";
    EXPECT_LT (std::min (bad.getHue(), 1.0f - bad.getHue()), 0.04f) << "red";
    const auto& refused = tileOf (*pane, "1-3")->getView();
    EXPECT_TRUE (juce::String (refused.reason).contains ("family")) << refused.reason;
    pane->refresh();
    EXPECT_TRUE (pane->getCountsText().startsWith ("passed 1   failed 0   duplicates 0   refused 1"))
        << pane->getCountsText();
    // Lines from the station's threads reach the log view through the message loop.
    EXPECT_TRUE (pumpUntil (
        [&] { return window->logContains ("Slot 1-3: unit BAD\\x1B-2 refused: " + juce::String (refused.reason)); }))
        << window->logText();
    saveScreenshotIfAsked (window->frame(), "production-tab.png");

    pane->shutDownStation();
    auto opened = StationRecords::open (database);
    ASSERT_NE (opened.records, nullptr) << opened.reason;
    const auto listed = opened.records->recordsBetween (0, std::numeric_limits<juce::int64>::max());
    ASSERT_TRUE (listed.read);
    ASSERT_EQ (listed.records.size(), 2u);
    for (auto& r : listed.records)
        EXPECT_EQ (r.result, r.usbSerial == "GOOD-1" ? StationRecords::Result::passed : StationRecords::Result::refused)
            << r.usbSerial;
}

TEST_F (ProductionPaneTest, ConnectionTabAndStationNeverShareAPort)
{
    // Slow enough that the flash is still on its way when Connect is pressed.
    startWith ({"--usb-port", "2", "--usb-serial", "SLOW-1", "--rate", "4000"}, 256 * 1024);
    ASSERT_TRUE (pane->loadRecipe (recipeFile)) << window->logText();
    ASSERT_TRUE (pane->startStation());
    ASSERT_TRUE (pumpUntil (
        [&]
        {
            auto* t = tileOf (*pane, "1-2");
            return t != nullptr && t->getView().done > 0;
        }))
        << window->logText();

    EXPECT_FALSE (window->connection().connect());
    const auto lines = window->logLines();
    const auto failed = indexOfLine (lines, "Failed to open port");
    ASSERT_GE (failed, 0) << window->logText();
    EXPECT_TRUE (lines[failed + 1].endsWith (" is in use by the Production tab")) << lines[failed + 1];
    EXPECT_EQ (stateOf (*pane, "1-2"), "running") << "the unit goes on";

    pane->stopUnits();
    ASSERT_TRUE (pumpUntil ([&] { return stateOf (*pane, "1-2") == "interrupted"; })) << window->logText();

    // Now the Connection tab has it, and the station's next attempt is the one refused.
    ASSERT_TRUE (window->connection().connect()) << window->logText();
    pane->retryFailed();
    ASSERT_TRUE (pumpUntil ([&] { return stateOf (*pane, "1-2") == "failed"; })) << stateOf (*pane, "1-2");
    EXPECT_TRUE (juce::String (tileOf (*pane, "1-2")->getView().reason).endsWith (" is in use by the Connection tab"))
        << tileOf (*pane, "1-2")->getView().reason;
}

TEST_F (ProductionPaneTest, ClosingTheWindowMidFlashRecordsTheUnitInterrupted)
{
    startWith ({"--usb-port", "2", "--usb-serial", "SLOW-1", "--rate", "4000"}, 256 * 1024);
    ASSERT_TRUE (pane->loadRecipe (recipeFile)) << window->logText();
    ASSERT_TRUE (pane->startStation());
    ASSERT_TRUE (pumpUntil (
        [&]
        {
            auto* t = tileOf (*pane, "1-2");
            return t != nullptr && t->getView().done > 0;
        }));

    window.reset();
    auto opened = StationRecords::open (database);
    ASSERT_NE (opened.records, nullptr) << opened.reason;
    EXPECT_EQ (opened.interrupted, 0) << "none was left running";
    const auto listed = opened.records->recordsBetween (0, std::numeric_limits<juce::int64>::max());
    ASSERT_EQ (listed.records.size(), 1u);
    EXPECT_EQ (listed.records[0].result, StationRecords::Result::interrupted);
}
