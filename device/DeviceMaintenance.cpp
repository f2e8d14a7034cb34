#include "device/DeviceMaintenance.h"

#include "log/GlobalLog.h"
#include "protocol/TidewireClient.h"
#include "protocol/TidewireClientResponse.h"

#include <sys/stat.h>

namespace
{
constexpr int forReading = 1;
constexpr int forWriting = 0;

/** Closes the marker handle that a late answer to the timed-out check opened, so the
    device is not left holding it. */
void closeLateMarkerHandle (TidewireClient& client)
{
    const auto late = client.awaitLateResponse (DeviceMaintenance::lateAnswerGraceMs);
    if (late != nullptr && late->getMessageId() == FileOpenResponse::id)
        client.closeFile (static_cast<const FileOpenResponse*> (late.get())->getHandle());
}

bool createTrigger (TidewireClient& client)
{
    juce::int64 handle = 0;
    if (client.openFile (DeviceMaintenance::triggerPath(), forWriting, handle) != 0)
        return false;

    // An unconfirmed close leaves it open whether the device saw the file complete.
    return client.closeFile (handle) == 0;
}
} // namespace

juce::String DeviceMaintenance::imagePath()
{
    return juce::String (firmwareFolder) + firmwareImageName;
}

juce::String DeviceMaintenance::triggerPath()
{
    return imagePath() + triggerSuffix;
}

bool DeviceMaintenance::isUnsuitableUpdateFile (const juce::String& localPath)
{
    // stat, never open: opening a pipe blocks until someone writes to it. A link
    // counts as what it points to.
    struct stat info;
    if (localPath.isEmpty() || ::stat (localPath.toRawUTF8(), &info) != 0)
        return false;
    return !S_ISREG (info.st_mode) || info.st_size <= 0;
}

DeviceMaintenance::Update DeviceMaintenance::updateFirmware (TidewireClient& client, const juce::String& localPath,
                                                             bool force, TransferEngine::Options options)
{
    if (isUnsuitableUpdateFile (localPath))
    {
        globalLog ("Update file is empty or not a regular file - " + localPath);
        return {UpdateResult::badUpdateFile, "can't use " + localPath + ": empty or not a regular file"};
    }

    // Only the image is checked; the marker and the trigger are single exchanges.
    const bool verify = options.verify;
    options.verify = false;
    TransferEngine engine (client, options);

    globalLog ("Checking for existing firmware...");
    juce::int64 markerHandle = 0;
    juce::int64 markerSize = 0;
    if (client.openFile (firmwareMarkerPath, forReading, markerHandle, &markerSize) == 0)
    {
        client.closeFile (markerHandle);
        if (!force)
        {
            globalLog ("Firmware already exists, skipping update");
            return {UpdateResult::alreadyInstalled, {}};
        }
        globalLog ("Firmware already exists, updating all the same...");
    }
    else if (client.getLastExchangeOutcome() != TidewireClient::ExchangeOutcome::refused)
    {
        // Only the device's own "no such file" says the firmware is missing; after
        // silence or an odd answer, flashing could overwrite a working device.
        globalLog ("Device did not answer the firmware check");
        const auto why = engine.exchangeReason();
        closeLateMarkerHandle (client);
        return {UpdateResult::noMarkerAnswer, "the device did not answer the firmware check; nothing sent" + why};
    }
    else
    {
        globalLog ("Existing firmware not found, updating...");
    }

    const auto image = imagePath();
    globalLog ("sending " + localPath + " as " + image);
    // Straight to the fixed name, not through a part file (see sendInPlace).
    if (const auto sent = engine.sendInPlace (juce::File (localPath), image); !sent.succeeded())
        return {UpdateResult::sendFailed, "sending the image failed (" + sent.reason + ")"};
    globalLog ("done.");

    // Read back before the trigger: once the update starts, a damaged image can no
    // longer be told from a good one.
    if (verify)
        if (const auto checked = engine.compareWithRemote (juce::File (localPath), image); !checked.succeeded())
        {
            globalLog ("Image check failed, update not triggered");
            return {UpdateResult::sendFailed, checked.reason + "; the update was not triggered"};
        }

    // Creating the trigger file starts the update on the device; nothing more comes
    // back to wait for.
    globalLog ("Triggering update...");
    if (!createTrigger (client))
    {
        globalLog ("Failed to trigger update");
        return {UpdateResult::triggerFailed, "the image was sent, but the device did not accept the update trigger " +
                                                 triggerPath() + engine.exchangeReason()};
    }
    globalLog ("done.");
    return {UpdateResult::completed, {}};
}

OperationResult DeviceMaintenance::fetchMacFile (TidewireClient& client, const juce::String& localPath,
                                                 TransferEngine::Options options)
{
    globalLog ("Reading Mac file...");

    // A trailing separator would otherwise be dropped and the file land beside the
    // folder that was meant.
    struct stat info;
    const bool namesFolder =
        localPath.isNotEmpty() && ::stat (localPath.toRawUTF8(), &info) == 0 && S_ISDIR (info.st_mode);
    if (localPath.endsWithChar (juce::File::getSeparatorChar()) || namesFolder)
    {
        globalLog ("Local path names a folder - " + localPath);
        globalLog ("Failed to read mac file");
        return OperationResult::failure (OperationResult::Outcome::failed, localPath + " names a folder");
    }

    TransferEngine engine (client, std::move (options));
    auto fetched = engine.fetch (macFilePath, juce::File (localPath));
    if (!fetched.succeeded())
        globalLog ("Failed to read mac file");
    return fetched;
}
