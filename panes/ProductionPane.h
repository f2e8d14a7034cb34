#pragma once

#include "station/Station.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>
#include <vector>

class MainPane;
class Recipe;

/** Tab 2: runs a production station on the units plugged in, with a tile per slot. The
    station does all the device work on its own threads; this pane only reads its slots
    four times a second and calls its commands. */
class ProductionPane final : public juce::Component, public juce::Button::Listener, private juce::Timer
{
public:
    /** One slot: what the station last said about it, drawn large. */
    class SlotTile final : public juce::Component
    {
    public:
        void show (const Station::SlotView& view);
        const Station::SlotView& getView() const
        {
            return current;
        }
        /** The state's word and colour as drawn. */
        juce::String getStateText() const;
        juce::Colour getStateColour() const;

        void paint (juce::Graphics& g) override;

    private:
        Station::SlotView current;
    };

    explicit ProductionPane (MainPane* owner);
    ~ProductionPane() override;

    /** Reads the recipe (and its image) for the next station; false, with the reason in the
        log and on the tab, when it cannot be used. Refused while units are running. */
    bool loadRecipe (const juce::File& file);

    /** Creates and begins the station if there is none, then starts every unit waiting. */
    bool startStation();
    /** A safe stop of every running unit. */
    void stopUnits();
    /** Another attempt for every failed or interrupted unit. */
    void retryFailed();

    /** Brings every unit to a safe stop and ends the station; waits for it. Safe to repeat. */
    void shutDownStation();

    /** Reads the station's slots and totals into the tiles now (the timer does it too). */
    void refresh();

    Station* getStation() const
    {
        return station.get();
    }
    std::vector<SlotTile*> getTiles() const;
    juce::String getRecipeText() const;
    juce::String getStatusText() const;
    juce::String getCountsText() const;

    static constexpr const char* portHolder = "the Production tab";

    //==============================================================================
    void paint (juce::Graphics& g) override;
    void resized() override;
    void buttonClicked (juce::Button* button) override;

private:
    void timerCallback() override;
    void browseForRecipe();
    void browseForDatabase();
    void showProblem (const juce::String& reason);
    juce::File database() const;
    void layOutTiles();

    MainPane* owner;       // owns the tabs that own this pane; outlives it
    juce::File workFolder; // the recipe's private copy of the image lives here
    std::shared_ptr<const Recipe> recipe;
    std::unique_ptr<Station> station; // its threads call owner->log: ended before either goes

    std::unique_ptr<juce::TextButton> recipeButton, databaseButton, startButton, stopButton, retryButton;
    std::unique_ptr<juce::Label> recipeLabel, databaseLabel, statusLabel, countsLabel;
    juce::Component tileHolder;
    juce::Viewport tileView;
    std::vector<std::unique_ptr<SlotTile>> tiles;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ProductionPane)
};
