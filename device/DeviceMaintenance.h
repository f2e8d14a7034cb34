#pragma once

#include "device/TransferEngine.h"

#include <juce_core/juce_core.h>

class TidewireClient;

/** The firmware update and the MAC-address fetch: the one sequence of each that the
    GUI and the command-line tool run on an identified device. They log their progress
    through globalLog and give their outcome as a value; showing it and closing the port
    are the caller's. The files move through the TransferEngine, with the caller's
    options (progress, cancel token, verification). */
class DeviceMaintenance final
{
public:
    enum class UpdateResult
    {
        alreadyInstalled, // the marker file is there: nothing sent
        completed,        // image sent and the update triggered
        badUpdateFile,    // the local file is empty or not a regular file: the device was not touched
        noMarkerAnswer,   // the device did not say whether the firmware is there: nothing sent
        sendFailed,       // the image could not be sent
        triggerFailed     // the image is there, but the trigger file could not be created
    };

    struct Update
    {
        UpdateResult result = UpdateResult::sendFailed;
        juce::String reason; ///< for a failure: the device's or the system's, in one line
    };

    /** Sends the local update file as the firmware image and creates the trigger file,
        unless the firmware marker is on the device (force sends it all the same). With
        the options' verify the image is read back first, and one that differs ends it
        as sendFailed, without the trigger. */
    static Update updateFirmware (TidewireClient& client, const juce::String& localPath, bool force = false,
                                  TransferEngine::Options options = {});

    /** Copies the device's MAC-address file to localPath. A path that ends in a
        separator or names a folder is refused. */
    static OperationResult fetchMacFile (TidewireClient& client, const juce::String& localPath,
                                         TransferEngine::Options options = {});

    /** True for an existing path that is a folder, a device, a pipe or an empty file:
        such a file must never become the image (and a pipe would block its reader).
        A missing file is left to the send, which reports it. */
    static bool isUnsuitableUpdateFile (const juce::String& localPath);

    static juce::String imagePath();
    static juce::String triggerPath();

    static constexpr const char* firmwareMarkerPath = "/mnt/nandfs/lib/libm.so.2";
    static constexpr const char* firmwareFolder = "/mnt/nandfs/";
    static constexpr const char* firmwareImageName = "Nuboimage";
    static constexpr const char* triggerSuffix = "Done";
    static constexpr const char* macFilePath = "/mnt/nandfs/macAddress.txt";

    /** How long a marker check that timed out may still be answered (its handle is
        then closed again). */
    static constexpr int lateAnswerGraceMs = 2000;

private:
    DeviceMaintenance() = delete;
};
