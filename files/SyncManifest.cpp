#include "files/SyncManifest.h"

#include <juce_cryptography/juce_cryptography.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{
constexpr int formatVersion = 1;

/** The text with every character but letters, digits, '-', '_' and '.' as '_'. */
juce::String fileNameSafe (const juce::String& text, int maxLength)
{
    juce::String safe;
    for (auto c : text)
        safe << ((juce::CharacterFunctions::isLetterOrDigit (c) && c < 128) || c == '-' || c == '_' || c == '.'
                     ? juce::String::charToString (c)
                     : juce::String ("_"));
    return safe.substring (0, maxLength);
}

juce::String uniqueSuffix()
{
    static std::atomic<juce::uint32> counter{0};
    return juce::String::toHexString ((int) ::getpid()) + "-" + juce::String::toHexString ((int) ++counter);
}

std::string utf8 (const juce::String& s)
{
    return s.toStdString();
}

juce::String text (const std::string& s)
{
    return juce::String::fromUTF8 (s.data(), (int) s.size());
}
} // namespace

juce::File SyncManifest::defaultFolder()
{
    const auto* state = std::getenv ("XDG_STATE_HOME");
    // Only an absolute $XDG_STATE_HOME counts, as XDG has it; anything else is ignored.
    if (state != nullptr && state[0] == '/')
        return juce::File (juce::String::fromUTF8 (state)).getChildFile ("nubo").getChildFile ("sync");
    const auto* home = std::getenv ("HOME");
    const auto base = home != nullptr && home[0] == '/'
                          ? juce::File (juce::String::fromUTF8 (home))
                          : juce::File::getSpecialLocation (juce::File::userHomeDirectory);
    return base.getChildFile (".local").getChildFile ("state").getChildFile ("nubo").getChildFile ("sync");
}

juce::File SyncManifest::defaultFile (const juce::String& usbSerial, const juce::String& remoteFolder)
{
    // The readable parts may lose characters (and so meet another's); the digest of both
    // as they are tells them apart.
    const auto key = usbSerial + "\n" + remoteFolder;
    const auto digest = juce::SHA256 (key.toUTF8()).toHexString().substring (0, 16);
    const auto name = fileNameSafe (usbSerial, 40) + "_" +
                      fileNameSafe (remoteFolder.fromLastOccurrenceOf ("/", false, false), 40) + "_" + digest + ".json";
    return defaultFolder().getChildFile (name.trimCharactersAtStart ("."));
}

SyncManifest::SyncManifest (juce::File manifestFile, juce::String remote, juce::String local)
    : file (std::move (manifestFile)), remoteFolder (std::move (remote)), localFolder (std::move (local))
{
}

juce::String SyncManifest::load()
{
    records.clear();
    clockOffsetSeconds.reset();

    if (!file.exists())
        return {};

    auto warning = [this] (const juce::String& why)
    {
        records.clear();
        clockOffsetSeconds.reset();
        return "the sync manifest " + file.getFullPathName() + " " + why + "; comparing the files as if it were empty";
    };

    juce::MemoryBlock bytes;
    if (!file.existsAsFile() || !file.loadFileAsData (bytes))
        return warning ("can't be read");

    try
    {
        const auto document = nlohmann::json::parse (static_cast<const char*> (bytes.getData()),
                                                     static_cast<const char*> (bytes.getData()) + bytes.getSize());
        if (!document.is_object() || document.value ("version", 0) != formatVersion)
            return warning ("is of an unknown kind");

        // Records of another pair of folders would describe other files.
        if (text (document.value ("remoteFolder", "")) != remoteFolder ||
            text (document.value ("localFolder", "")) != localFolder)
            return {};

        if (document.contains ("clockOffsetSeconds") && document["clockOffsetSeconds"].is_number_integer())
            clockOffsetSeconds = document["clockOffsetSeconds"].get<juce::int64>();

        for (auto& [path, entry] : document.at ("files").items())
        {
            Record record;
            record.localSize = entry.at ("localSize").get<juce::int64>();
            record.localModified = entry.at ("localModified").get<juce::int64>();
            record.remoteSize = entry.at ("remoteSize").get<juce::int64>();
            record.remoteModified = entry.at ("remoteModified").get<juce::int64>();
            record.sha256 = text (entry.value ("sha256", ""));
            records[text (path)] = record;
        }
    }
    catch (const nlohmann::json::exception&)
    {
        return warning ("is damaged");
    }
    return {};
}

bool SyncManifest::save (juce::String& error) const
{
    nlohmann::json files = nlohmann::json::object();
    for (auto& [path, record] : records)
    {
        nlohmann::json entry = {{"localSize", record.localSize},
                                {"localModified", record.localModified},
                                {"remoteSize", record.remoteSize},
                                {"remoteModified", record.remoteModified}};
        if (record.sha256.isNotEmpty())
            entry["sha256"] = utf8 (record.sha256);
        files[utf8 (path)] = entry;
    }
    nlohmann::json document = {{"version", formatVersion},
                               {"remoteFolder", utf8 (remoteFolder)},
                               {"localFolder", utf8 (localFolder)},
                               {"files", files}};
    if (clockOffsetSeconds)
        document["clockOffsetSeconds"] = *clockOffsetSeconds;

    // Names that are not UTF-8 are replaced rather than thrown over.
    const auto bytes = document.dump (1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";

    const auto folder = file.getParentDirectory();
    if (!folder.createDirectory())
    {
        error = "can't create the folder " + folder.getFullPathName();
        return false;
    }
    const auto temporary = folder.getChildFile ("." + file.getFileName() + ".tmp-" + uniqueSuffix());
    const int fd = ::open (temporary.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    auto ok = fd >= 0 && ::write (fd, bytes.data(), bytes.size()) == (ssize_t) bytes.size() && ::fsync (fd) == 0;
    auto failure = errno;
    if (fd >= 0 && ::close (fd) != 0 && ok)
    {
        ok = false;
        failure = errno;
    }
    if (ok && ::rename (temporary.getFullPathName().toRawUTF8(), file.getFullPathName().toRawUTF8()) != 0)
    {
        ok = false;
        failure = errno;
    }
    if (!ok)
    {
        ::unlink (temporary.getFullPathName().toRawUTF8());
        error = "can't write the sync manifest " + file.getFullPathName() + " (" +
                juce::String (std::strerror (failure)) + ")";
        return false;
    }

    // The rename itself reaches the disk with the folder.
    const int folderFd = ::open (folder.getFullPathName().toRawUTF8(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0)
    {
        ::fsync (folderFd);
        ::close (folderFd);
    }
    return true;
}

const SyncManifest::Record* SyncManifest::find (const juce::String& path) const
{
    const auto found = records.find (path);
    return found != records.end() ? &found->second : nullptr;
}

void SyncManifest::set (const juce::String& path, const Record& record)
{
    records[path] = record;
}

void SyncManifest::remove (const juce::String& path)
{
    records.erase (path);
}
