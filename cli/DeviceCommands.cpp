#include "cli/DeviceCommands.h"

#include "cli/Console.h"
#include "cli/DeviceSession.h"
#include "cli/InterruptWatcher.h"
#include "cli/JsonOutput.h"
#include "cli/TransferSupport.h"
#include "device/DeviceMaintenance.h"
#include "device/FolderTransfer.h"
#include "device/LocalPaths.h"
#include "device/RemotePath.h"
#include "log/GlobalLog.h"
#include "protocol/TidewireClientRequest.h"
#include "protocol/TidewireClientResponse.h"

namespace
{
constexpr int exchangeTimeoutMs = 1000;

int statusAfterFailure()
{
    return InterruptWatcher::isInterrupted() ? ExitStatus::interrupted : ExitStatus::failed;
}

CommandResult fromTransfer (const OperationResult& result)
{
    return CommandResult::failure (result.outcome == OperationResult::Outcome::cancelled ? ExitStatus::interrupted
                                                                                         : ExitStatus::failed,
                                   result.reason);
}

/** The device's property value as the command line shows it. */
juce::String quoted (const juce::String& text)
{
    return "\"" + escapeControlCharacters (text).replace ("\"", "\\\"") + "\"";
}
} // namespace

//==============================================================================
CommandResult DeviceCommands::info (DeviceSession& session, const RunContext& context)
{
    DeviceIdentity identity;
    if (session.getClient().whoAmI (identity) != 0)
        return CommandResult::failure (statusAfterFailure(),
                                       "the device did not say who it is" + deviceReason (session.getClient()));

    auto* object = new juce::DynamicObject();
    object->setProperty ("port", session.getPort().label);
    object->setProperty ("path", session.getPort().devicePath);
    object->setProperty ("familyId", (int) identity.familyId);
    object->setProperty ("deviceId", (int) identity.deviceId);
    object->setProperty ("protocolVersion", (int) identity.protocolVersion);
    object->setProperty ("firmwareVersion", (int) identity.firmwareVersion);
    object->setProperty ("text1", juce::String (identity.text1));
    object->setProperty ("text2", juce::String (identity.text2));
    const juce::var data (object);

    if (context.json && !context.multi)
        JsonOutput::print (data);
    else if (!context.json)
    {
        Console::out (juce::String::formatted ("Family ID: 0x%.3x", (unsigned) identity.familyId));
        Console::out (juce::String::formatted ("Device ID: 0x%.3x", (unsigned) identity.deviceId));
        Console::out (juce::String::formatted ("Protocol version: 0x%.4x", (unsigned) identity.protocolVersion));
        Console::out (juce::String::formatted ("Firmware version: 0x%.4x", (unsigned) identity.firmwareVersion));
        Console::out ("Text 1: " + escapeControlCharacters (juce::String (identity.text1)));
        Console::out ("Text 2: " + escapeControlCharacters (juce::String (identity.text2)));
    }

    return CommandResult::ok (juce::String::formatted ("firmware 0x%.4x", (unsigned) identity.firmwareVersion), data);
}

//==============================================================================
CommandResult DeviceCommands::flash (DeviceSession& session, const RunContext& context, const juce::String& imagePath,
                                     bool force, bool verify)
{
    using Result = DeviceMaintenance::UpdateResult;

    const auto local = localFile (imagePath);
    const InterruptWatcher::ScopedToken cancel;
    const auto update = DeviceMaintenance::updateFirmware (session.getClient(), local.getFullPathName(), force,
                                                           transferOptions (context, cancel.get(), verify));
    const auto result = update.result;

    auto* object = new juce::DynamicObject();
    juce::var data (object);

    switch (result)
    {
    case Result::alreadyInstalled:
        object->setProperty ("result", "alreadyInstalled");
        if (!context.json)
            Console::out ("Firmware already installed (" + juce::String (DeviceMaintenance::firmwareMarkerPath) +
                          " present); nothing sent");
        return CommandResult::ok ("firmware already installed; nothing sent", data);

    case Result::completed:
        break;

    case Result::badUpdateFile:
        return CommandResult::failure (ExitStatus::failed, update.reason);
    case Result::noMarkerAnswer:
    case Result::sendFailed:
    case Result::triggerFailed:
        return CommandResult::failure (statusAfterFailure(), update.reason);
    }

    object->setProperty ("result", "completed");
    object->setProperty ("verified", verify);
    if (!context.json)
        Console::out ("Firmware image sent" + juce::String (verify ? " and verified" : "") + "; update triggered");
    return CommandResult::ok ("image sent" + juce::String (verify ? " and verified" : "") + ", update triggered", data);
}

//==============================================================================
juce::String DeviceCommands::perDevicePath (const juce::String& path, const juce::String& label)
{
    const auto file = localFile (path);
    return file.getSiblingFile (file.getFileNameWithoutExtension() + "-" + label + file.getFileExtension())
        .getFullPathName();
}

CommandResult DeviceCommands::getMac (DeviceSession& session, const RunContext& context, const juce::String& localPath)
{
    auto failed = [] (const OperationResult& result) {
        return CommandResult::failure (statusAfterFailure(),
                                       "can't fetch the MAC-address file (" + result.reason + ")");
    };
    const InterruptWatcher::ScopedToken cancel;
    const auto options = transferOptions (context, cancel.get(), false);

    // "-" and /dev/stdout are standard output itself, as for get.
    if (localPath.isNotEmpty() && localPath != "-" && localPath != "/dev/stdout")
    {
        const auto path = context.multi ? perDevicePath (localPath, session.getPort().label) : localPath;
        const auto target = localFile (path);
        if (const auto fetched =
                DeviceMaintenance::fetchMacFile (session.getClient(), target.getFullPathName(), options);
            !fetched.succeeded())
            return failed (fetched);
        if (context.json && !context.multi)
            JsonOutput::print (target.getFullPathName());
        else if (!context.quiet)
            Console::err ("MAC file stored to " + target.getFullPathName());
        return CommandResult::ok ("stored to " + target.getFullPathName(), target.getFullPathName());
    }

    // To standard output: through a private temporary folder, removed afterwards.
    const juce::TemporaryFile temporary ("nubo-mac");
    if (!temporary.getFile().createDirectory())
        return CommandResult::failure (ExitStatus::failed, "can't create a temporary folder");
    const auto file = temporary.getFile().getChildFile ("macAddress.txt");
    const auto fetched = DeviceMaintenance::fetchMacFile (session.getClient(), file.getFullPathName(), options);
    juce::MemoryBlock bytes;
    file.loadFileAsData (bytes);
    temporary.getFile().deleteRecursively();
    if (!fetched.succeeded())
        return failed (fetched);

    // The file's bytes as text; bytes that are not UTF-8 become U+FFFD.
    const auto text = JsonOutput::textWithReplacements (bytes.getData(), bytes.getSize());
    if (context.json)
    {
        // With several devices the text goes into the summary document, the only one.
        if (!context.multi)
            JsonOutput::print (text);
    }
    else if (context.multi)
    {
        juce::StringArray lines;
        lines.addLines (text);
        for (auto& line : lines)
            Console::out (escapeControlCharacters (line));
    }
    else
    {
        Console::outRaw (bytes.getData(), bytes.getSize());
    }
    return CommandResult::ok (
        "MAC file " + text.trim().upToFirstOccurrenceOf ("\n", false, false).substring (0, 40).quoted(), text);
}

//==============================================================================
bool DeviceCommands::parsePropertyPath (const juce::String& text, juce::Array<juce::uint16>& path)
{
    path.clear();
    juce::StringArray parts;
    parts.addTokens (text, ",/.", {});
    parts.removeEmptyStrings();
    for (auto& part : parts)
    {
        if (!part.containsOnly ("0123456789") || part.length() > 5 || part.getIntValue() > 0xffff)
            return false;
        path.add ((juce::uint16) part.getIntValue());
    }
    return true;
}

CommandResult DeviceCommands::props (DeviceSession& session, const RunContext& context, const juce::StringArray& paths)
{
    juce::Array<juce::var> documents;
    const auto queries = paths.isEmpty() ? juce::StringArray ("") : paths;

    for (auto& text : queries)
    {
        juce::Array<juce::uint16> path;
        parsePropertyPath (text, path); // checked with the command line

        GetPropertiesRequest request (path);
        const auto response = session.getClient().sendRequestSync (request, exchangeTimeoutMs);
        const auto* properties = dynamic_cast<const GetPropertiesResponse*> (response.get());
        if (properties == nullptr)
            return CommandResult::failure (statusAfterFailure(), "the device did not give the properties of " +
                                                                     juce::String (text.isEmpty() ? "/" : text) +
                                                                     deviceReason (session.getClient()));

        juce::StringArray pathParts;
        juce::Array<juce::var> pathValues;
        for (auto p : path)
        {
            pathParts.add (juce::String (p));
            pathValues.add ((int) p);
        }
        const auto shownPath = path.isEmpty() ? juce::String ("/") : pathParts.joinIntoString (",");

        juce::Array<juce::var> list;
        for (auto& [id, value] : properties->getIntProperties())
        {
            auto* p = new juce::DynamicObject();
            p->setProperty ("id", (int) id);
            p->setProperty ("type", "int");
            p->setProperty ("value", (int) value);
            list.add (juce::var (p));
            if (!context.json)
                Console::out (shownPath + "  " + juce::String (id) + "  int  " + juce::String (value));
        }
        for (auto& [id, value] : properties->getStringProperties())
        {
            auto* p = new juce::DynamicObject();
            p->setProperty ("id", (int) id);
            p->setProperty ("type", "string");
            p->setProperty ("value", value);
            list.add (juce::var (p));
            if (!context.json)
                Console::out (shownPath + "  " + juce::String (id) + "  string  " + quoted (value));
        }

        auto* document = new juce::DynamicObject();
        document->setProperty ("path", pathValues);
        document->setProperty ("properties", list);
        documents.add (juce::var (document));
    }

    const juce::var data (documents);
    if (context.json && !context.multi)
        JsonOutput::print (data);
    return CommandResult::ok (juce::String (documents.size()) + " path(s) read", data);
}

//==============================================================================
CommandResult DeviceCommands::put (DeviceSession& session, const RunContext& context, const juce::String& localPath,
                                   const juce::String& remotePath, bool recursive, bool verify)
{
    auto& client = session.getClient();
    const auto local = localFile (localPath);
    auto target = RemotePath::normalise (remotePath);

    // A folder as the target receives the source under its own name; "name/" must be one.
    if (client.getFolderContents (target, nullptr, nullptr) == 0)
        target = RemotePath::childOf (target, local.getFileName());
    else if (RemotePath::namesFolder (remotePath))
        return CommandResult::failure (statusAfterFailure(), "no such folder " + target + " on the device");

    const InterruptWatcher::ScopedToken cancel;
    if (recursive)
    {
        FolderTransfer tree (client, transferOptions (context, cancel.get(), verify), context.maxEntries);
        if (const auto sent = tree.put (local, target); !sent.succeeded())
            return fromTransfer ({sent.outcome, "sending " + local.getFullPathName() + " to " + target + " failed (" +
                                                    sent.reason + ")"});
        if (!context.quiet && !context.json)
            Console::err ("sent " + local.getFullPathName() + " to " + target);
        return CommandResult::ok ("sent to " + target, target);
    }

    TransferEngine transfer (client, transferOptions (context, cancel.get(), verify));
    if (const auto sent = transfer.send (local, target); !sent.succeeded())
        return fromTransfer (sent);

    if (!context.quiet && !context.json)
        Console::err ("sent " + local.getFileName() + " to " + target + (verify ? " (verified)" : ""));
    return CommandResult::ok ("sent to " + target + (verify ? ", verified" : ""), target);
}
