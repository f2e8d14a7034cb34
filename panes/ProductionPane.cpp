#include "panes/ProductionPane.h"

#include "app/MainPane.h"
#include "app/Settings.h"
#include "log/GlobalLog.h"
#include "station/Recipe.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace
{
constexpr const char* recipeKey = "productionRecipe";
constexpr const char* databaseKey = "productionDatabase";
// The line's PostgreSQL database (a libpq connection string), when there is one.
constexpr const char* lineDatabaseKey = "productionLineDatabase";
constexpr int tileWidth = 220, tileHeight = 132, gap = 6;

/** Device text, safe to draw or log. */
juce::String shown (const std::string& s)
{
    return escapeControlCharacters (juce::String::fromUTF8 (s.c_str()));
}

/** A folder of the pane's own for the recipe's copy of the image and the files on their way. */
juce::File makeWorkFolder()
{
    const char* tmp = std::getenv ("TMPDIR");
    std::string pattern = std::string (tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/nubo-production-XXXXXX";
    return ::mkdtemp (pattern.data()) != nullptr ? juce::File (juce::String (pattern)) : juce::File();
}

std::unique_ptr<juce::TextButton> makeButton (juce::Component& parent, const juce::String& text,
                                              juce::Button::Listener* listener)
{
    auto b = std::make_unique<juce::TextButton> (text);
    b->setName (text);
    b->addListener (listener);
    parent.addAndMakeVisible (b.get());
    return b;
}

std::unique_ptr<juce::Label> makeLabel (juce::Component& parent, const juce::String& name)
{
    auto l = std::make_unique<juce::Label> (name);
    l->setJustificationType (juce::Justification::centredLeft);
    l->setMinimumHorizontalScale (0.7f);
    parent.addAndMakeVisible (l.get());
    return l;
}
} // namespace

//==============================================================================
void ProductionPane::SlotTile::show (const Station::SlotView& view)
{
    const bool same = view.state == current.state && view.step == current.step && view.done == current.done &&
                      view.total == current.total && view.reason == current.reason &&
                      view.lineCheck == current.lineCheck &&
                      view.usbSerial == current.usbSerial && view.mac == current.mac &&
                      view.nickname == current.nickname;
    current = view;
    if (!same)
        repaint();
}

juce::String ProductionPane::SlotTile::getStateText() const
{
    return Station::nameOf (current.state);
}

juce::Colour ProductionPane::SlotTile::getStateColour() const
{
    using S = Station::SlotState;
    switch (current.state)
    {
    case S::passed:
        return juce::Colour (0xff2e9e44);
    case S::failed:
    case S::duplicate:
    case S::refused:
        return juce::Colour (0xffd23c32);
    case S::running:
    case S::held:
    case S::waiting:
    case S::interrupted:
    case S::stopped:
        return juce::Colour (0xffe6a117);
    case S::empty:
        break;
    }
    return juce::Colour (0xff9a9a9a);
}

void ProductionPane::SlotTile::paint (juce::Graphics& g)
{
    auto area = getLocalBounds().reduced (1);
    g.setColour (juce::Colours::white);
    g.fillRect (area);
    g.setColour (getStateColour());
    g.drawRect (area, 2);
    area.reduce (6, 4);

    const auto line = [&] (const juce::String& text, float height, juce::Colour colour)
    {
        g.setColour (colour);
        g.setFont (juce::Font (height));
        g.drawFittedText (text, area.removeFromTop ((int) height + 3), juce::Justification::centredLeft, 1, 0.7f);
    };
    const auto title = current.nickname.empty() ? shown (current.slot) : shown (current.nickname);
    line (title + (current.nickname.empty() ? "" : "   slot " + shown (current.slot)), 15.0f, juce::Colours::black);
    line ("unit " + shown (current.usbSerial) + (current.mac.empty() ? "" : "   MAC " + shown (current.mac)), 12.0f,
          juce::Colours::darkgrey);
    line (shown (current.step), 12.0f, juce::Colours::darkgrey);

    auto bar = area.removeFromTop (8);
    g.setColour (juce::Colour (0xffe4e4e4));
    g.fillRect (bar);
    if (current.total > 0)
    {
        g.setColour (juce::Colour (0xff4a7fc1));
        g.fillRect (bar.withWidth (
            (int) (bar.getWidth() * juce::jlimit<juce::int64> (0, current.total, current.done) / current.total)));
    }
    area.removeFromTop (3);
    line (getStateText().toUpperCase(), 26.0f, getStateColour());
    g.setColour (juce::Colours::black);
    g.setFont (juce::Font (11.0f));
    auto note = shown (current.reason);
    if (current.lineCheck == "local only" && current.state != Station::SlotState::running)
        note << (note.isEmpty() ? "" : "; ") << "checked locally only";
    g.drawFittedText (note, area, juce::Justification::topLeft, 3, 0.9f);
}

//==============================================================================
ProductionPane::ProductionPane (MainPane* ownerToUse) : owner (ownerToUse)
{
    recipeButton = makeButton (*this, "Recipe...", this);
    databaseButton = makeButton (*this, "Database...", this);
    startButton = makeButton (*this, "Start", this);
    stopButton = makeButton (*this, "Stop", this);
    retryButton = makeButton (*this, "Retry failed", this);
    recipeLabel = makeLabel (*this, "Recipe");
    databaseLabel = makeLabel (*this, "Database");
    statusLabel = makeLabel (*this, "Status");
    statusLabel->setColour (juce::Label::textColourId, juce::Colour (0xffb02020));
    countsLabel = makeLabel (*this, "Counts");
    tileView.setViewedComponent (&tileHolder, false);
    tileView.setScrollBarsShown (true, false);
    addAndMakeVisible (tileView);

    recipeLabel->setText ("No recipe", juce::dontSendNotification);
    databaseLabel->setText ("Records: " + database().getFullPathName(), juce::dontSendNotification);

    // Read once the window is up: the log view that shows a failure does not exist yet.
    const auto remembered = Settings::read (recipeKey);
    if (remembered.isNotEmpty())
    {
        juce::Component::SafePointer<ProductionPane> safeThis (this);
        juce::MessageManager::callAsync (
            [safeThis, remembered]
            {
                if (safeThis != nullptr && safeThis->recipe == nullptr)
                    safeThis->loadRecipe (juce::File (remembered));
            });
    }
    startTimerHz (4);
}

ProductionPane::~ProductionPane()
{
    stopTimer();
    shutDownStation();
    recipe.reset(); // deletes its copy of the image
    if (workFolder != juce::File())
        workFolder.deleteRecursively();
}

//==============================================================================
juce::File ProductionPane::database() const
{
    const auto stored = Settings::read (databaseKey);
    return juce::File::isAbsolutePath (stored) ? juce::File (stored) : StationRecords::defaultFile();
}

bool ProductionPane::loadRecipe (const juce::File& file)
{
    if (station != nullptr && station->isRunning())
    {
        showProblem ("Stop the running units before choosing another recipe");
        return false;
    }
    shutDownStation();
    station.reset(); // the next Start makes one with the new recipe
    recipe.reset();
    if (workFolder == juce::File())
        workFolder = makeWorkFolder();
    if (workFolder == juce::File())
    {
        showProblem ("Can't create a temporary folder: " + juce::String (std::strerror (errno)));
        return false;
    }

    Settings::writeAndSave (recipeKey, file.getFullPathName());
    const auto loaded = Recipe::load (file, workFolder);
    if (loaded.recipe == nullptr)
    {
        recipeLabel->setText ("No recipe", juce::dontSendNotification);
        showProblem ("Recipe not loaded: " + loaded.reason);
        return false;
    }
    recipe = loaded.recipe;
    recipeLabel->setText (shown (recipe->name) + "   sha256 " + juce::String (recipe->sha256.substr (0, 16)),
                          juce::dontSendNotification);
    statusLabel->setText ({}, juce::dontSendNotification);
    owner->log ("Recipe " + shown (recipe->name) + " loaded from " + file.getFullPathName());
    return true;
}

bool ProductionPane::startStation()
{
    if (station == nullptr)
    {
        if (recipe == nullptr)
        {
            showProblem ("Choose a recipe first");
            return false;
        }
        const auto records = database();
        if (!records.getParentDirectory().createDirectory())
        {
            showProblem ("Can't create the folder " + records.getParentDirectory().getFullPathName());
            return false;
        }
        Station::Settings settings;
        settings.recipe = recipe;
        settings.database = records;
        settings.workFolder = workFolder;
        settings.programVersion = juce::JUCEApplicationBase::getInstance() != nullptr
                                      ? juce::JUCEApplicationBase::getInstance()->getApplicationVersion().toStdString()
                                      : std::string();
        settings.portHolder = portHolder;
        settings.lineDatabase = Settings::read (lineDatabaseKey).toStdString();
        // Start is the operator's word for the units plugged in now, too.
        settings.holdPresentAtStart = false;

        // Workers' threads: only lines for the log, which posts them to the message thread.
        auto* log = owner;
        auto created = Station::create (
            settings,
            [log] (const Station::Event& e)
            {
                const auto who = shown (e.slot.nickname.empty() ? e.slot.slot : e.slot.nickname);
                if (e.kind == Station::Event::Kind::unitDone && e.record)
                    log->log (
                        "Slot " + who + ": unit " + shown (e.record->usbSerial) + " " +
                        StationRecords::nameOf (e.record->result) +
                        (e.record->failureReason.empty() ? juce::String() : ": " + shown (e.record->failureReason)));
                else if (e.kind == Station::Event::Kind::unitAppeared)
                    log->log ("Slot " + who + ": unit " + shown (e.slot.usbSerial) + " plugged in");
            });
        if (created.station == nullptr)
        {
            showProblem ("Station not started: " + created.reason);
            return false;
        }
        if (created.interruptedFound > 0)
            owner->log (juce::String (created.interruptedFound) +
                        " attempt(s) left running by a station that was stopped short are now marked interrupted");
        station = std::move (created.station);
        station->begin();
        owner->log ("Station started, records in " + records.getFullPathName());
    }
    statusLabel->setText ({}, juce::dontSendNotification);
    const auto answer = station->start ("all");
    if (!answer.ok)
        showProblem (shown (answer.error));
    refresh();
    return answer.ok;
}

void ProductionPane::stopUnits()
{
    if (station == nullptr)
        return;
    const auto answer = station->stop ("all");
    if (!answer.ok)
        showProblem (shown (answer.error));
    refresh();
}

void ProductionPane::retryFailed()
{
    if (station == nullptr)
        return;
    for (auto& slot : station->slots())
        if (slot.state == Station::SlotState::failed || slot.state == Station::SlotState::interrupted)
            if (const auto answer = station->retry (slot.slot); !answer.ok)
                showProblem (shown (answer.error));
    refresh();
}

void ProductionPane::shutDownStation()
{
    // No log line here: on the way out, logging on this thread would run the message loop.
    if (station == nullptr)
        return;
    station->shutDown();
    refresh();
}

void ProductionPane::showProblem (const juce::String& reason)
{
    statusLabel->setText (reason, juce::dontSendNotification);
    owner->log (reason);
}

//==============================================================================
void ProductionPane::timerCallback()
{
    refresh();
}

void ProductionPane::refresh()
{
    const auto slots = station != nullptr ? station->slots() : std::vector<Station::SlotView>();
    const bool reshaped = slots.size() != tiles.size();
    while (tiles.size() < slots.size())
    {
        tiles.push_back (std::make_unique<SlotTile>());
        tileHolder.addAndMakeVisible (tiles.back().get());
    }
    tiles.resize (slots.size());
    for (size_t i = 0; i < slots.size(); ++i)
    {
        tiles[i]->setName (shown (slots[i].slot));
        tiles[i]->show (slots[i]);
    }
    if (reshaped)
        layOutTiles();

    juce::String counts;
    if (station != nullptr)
    {
        const auto t = station->totals();
        counts << "passed " << t.passed << "   failed " << t.failed << "   duplicates " << t.duplicates << "   refused "
               << t.refused << "   interrupted " << t.interrupted << "   running " << t.running << "   "
               << juce::String (t.unitsPerHour, 1) << " units/hour";
        if (const auto line = station->lineState())
            counts << "   line database: "
                   << (line->connected ? juce::String ("connected") : "away (" + shown (line->lastError).substring (0, 80) + ")")
                   << ", " << line->waiting << " waiting";
    }
    countsLabel->setText (counts, juce::dontSendNotification);
    stopButton->setEnabled (station != nullptr);
    retryButton->setEnabled (station != nullptr);
}

std::vector<ProductionPane::SlotTile*> ProductionPane::getTiles() const
{
    std::vector<SlotTile*> all;
    for (auto& t : tiles)
        all.push_back (t.get());
    return all;
}

juce::String ProductionPane::getRecipeText() const
{
    return recipeLabel->getText();
}

juce::String ProductionPane::getStatusText() const
{
    return statusLabel->getText();
}

juce::String ProductionPane::getCountsText() const
{
    return countsLabel->getText();
}

//==============================================================================
void ProductionPane::paint (juce::Graphics& g)
{
    g.fillAll (juce::Colours::white);
}

void ProductionPane::resized()
{
    auto area = getLocalBounds().reduced (8);
    auto row = area.removeFromTop (26);
    recipeButton->setBounds (row.removeFromLeft (90));
    row.removeFromLeft (6);
    recipeLabel->setBounds (row);
    area.removeFromTop (4);
    row = area.removeFromTop (26);
    databaseButton->setBounds (row.removeFromLeft (90));
    row.removeFromLeft (6);
    databaseLabel->setBounds (row);
    area.removeFromTop (6);
    row = area.removeFromTop (26);
    startButton->setBounds (row.removeFromLeft (80));
    row.removeFromLeft (6);
    stopButton->setBounds (row.removeFromLeft (80));
    row.removeFromLeft (6);
    retryButton->setBounds (row.removeFromLeft (100));
    area.removeFromTop (2);
    statusLabel->setBounds (area.removeFromTop (22));
    countsLabel->setBounds (area.removeFromTop (22));
    tileView.setBounds (area);
    layOutTiles();
}

void ProductionPane::layOutTiles()
{
    const int perRow = juce::jmax (1, (tileView.getMaximumVisibleWidth() + gap) / (tileWidth + gap));
    const int rows = ((int) tiles.size() + perRow - 1) / perRow;
    tileHolder.setSize (juce::jmax (1, tileView.getMaximumVisibleWidth()), juce::jmax (1, rows * (tileHeight + gap)));
    for (size_t i = 0; i < tiles.size(); ++i)
        tiles[i]->setBounds ((int) (i % (size_t) perRow) * (tileWidth + gap),
                             (int) (i / (size_t) perRow) * (tileHeight + gap), tileWidth, tileHeight);
}

//==============================================================================
void ProductionPane::buttonClicked (juce::Button* button)
{
    if (button == recipeButton.get())
        browseForRecipe();
    else if (button == databaseButton.get())
        browseForDatabase();
    else if (button == startButton.get())
        startStation();
    else if (button == stopButton.get())
        stopUnits();
    else if (button == retryButton.get())
        retryFailed();
}

void ProductionPane::browseForRecipe()
{
    juce::FileChooser chooser ("Select a recipe...", juce::File (Settings::read (recipeKey)), "*.json", true);
    if (chooser.browseForFileToOpen())
        loadRecipe (chooser.getResult());
}

void ProductionPane::browseForDatabase()
{
    if (station != nullptr)
    {
        showProblem ("The records file is chosen before Start");
        return;
    }
    juce::FileChooser chooser ("Records file...", database(), "*.db", true);
    if (chooser.browseForFileToSave (false))
    {
        Settings::writeAndSave (databaseKey, chooser.getResult().getFullPathName());
        databaseLabel->setText ("Records: " + database().getFullPathName(), juce::dontSendNotification);
    }
}
