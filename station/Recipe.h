#pragma once

#include <juce_core/juce_core.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

/** What a production station does to every unit, read once from a small JSON file:

        {
          "name": "Nubo 2, line A",
          "family": 1, "device": "0x2a",
          "image": "firmware/nubo-2.4.img",
          "force": false,
          "follow_restart": true, "restart_timeout_s": 60,
          "firmware_version": "0x0204",
          "mac_folder": "macs", "mac_name": "{serial}.txt",
          "send": [ { "local": "config/net.cfg", "remote": "/mnt/nandfs/usr/net.cfg" } ],
          "fetch": [ { "remote": "/mnt/nandfs/usr/log.txt", "local": "logs/{serial}-log.txt" } ],
          "verify": true,
          "retries": 2,
          "line_away": "pass"
        }

    Relative paths are taken from the recipe's folder. Every key is optional but the image;
    an unknown key is refused (a misspelt "retires" must not pass for no retries). The
    image is read and hashed once, and what is sent is a private copy of it, so a file
    changed on the disk during a run changes nothing; the recipe file itself is read
    once too, and its SHA-256 stands for what the station ran. */
class Recipe final
{
public:
    struct FileStep
    {
        bool send = true;        ///< to the device; false: fetched from it
        std::string local;       ///< a local path (a name template for a fetch)
        juce::String remote;     ///< an absolute device path
    };

    struct Loaded
    {
        std::shared_ptr<const Recipe> recipe; ///< null when the file cannot be used
        juce::String reason;                  ///< why not, in one line
    };

    /** Reads and checks the recipe and its image; the private copy of the image goes to
        workFolder (which must exist and be the station's own). */
    static Loaded load (const juce::File& file, const juce::File& workFolder);

    /** Deletes the private copy of the image. */
    ~Recipe();

    juce::File file;
    std::string name;
    std::string sha256;          ///< of the recipe file's bytes, lower-case hex
    std::optional<int> familyId; ///< a unit of another family is refused
    std::optional<int> deviceId;
    juce::File sourceImage;      ///< as named in the recipe
    juce::File image;            ///< the private copy every unit is sent
    juce::int64 imageSize = 0;
    std::string imageSha256;
    bool force = false;          ///< send the image even when the firmware marker is there
    bool followRestart = true;
    int restartTimeoutMs = 60000;
    std::optional<int> firmwareVersion; ///< expected after the restart
    juce::File macFolder;               ///< none: the MAC file is recorded only
    std::string macName = "{serial}.txt";
    std::vector<FileStep> files;
    bool verify = false;
    int retries = 1; ///< more attempts after a transient fault
    bool passWhileLineAway = true; ///< a unit passes on the local check alone while the line's database is away

    /** The name template with {serial}, {slot} and {mac} put in, each made safe for a file
        name (anything but letters, digits, '-', '_' and '.' becomes '_', and no name starts
        with a dot); empty when what remains is no usable name. */
    static std::string fillTemplate (const std::string& nameTemplate, const std::string& serial,
                                     const std::string& slot, const std::string& mac);

    static constexpr juce::int64 maxImageSize = 512 * 1024 * 1024;
    static constexpr juce::int64 maxRecipeSize = 1024 * 1024;

private:
    Recipe() = default;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (Recipe)
};
