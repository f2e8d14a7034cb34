#include "station/Recipe.h"


#include <juce_cryptography/juce_cryptography.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using json = nlohmann::json;

namespace
{
std::string hexOf (const juce::MemoryBlock& digest)
{
    return juce::String::toHexString (digest.getData(), (int) digest.getSize(), 0).toStdString();
}

/** Reads a whole regular file of at most maxSize bytes; the reason when it is none. */
bool readRegularFile (const juce::File& file, juce::int64 maxSize, juce::MemoryBlock& bytes, juce::String& reason)
{
    const auto path = file.getFullPathName();
    const int fd = ::open (path.toRawUTF8(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
    {
        reason = "can't read " + path + " (" + juce::String (std::strerror (errno)) + ")";
        return false;
    }
    struct stat st{};
    bool ok = ::fstat (fd, &st) == 0;
    if (ok && !S_ISREG (st.st_mode))
    {
        reason = path + " is not a regular file";
        ok = false;
    }
    else if (ok && (st.st_size <= 0 || st.st_size > maxSize))
    {
        reason = path + (st.st_size <= 0 ? juce::String (" is empty") : " is larger than " + juce::String (maxSize) + " bytes");
        ok = false;
    }
    if (ok)
    {
        bytes.setSize ((size_t) st.st_size);
        size_t got = 0;
        while (got < bytes.getSize())
        {
            const auto n = ::read (fd, static_cast<char*> (bytes.getData()) + got, bytes.getSize() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
            {
                reason = "can't read " + path + (n < 0 ? " (" + juce::String (std::strerror (errno)) + ")" : " (it shrank)");
                ok = false;
                break;
            }
            got += (size_t) n;
        }
    }
    ::close (fd);
    return ok;
}

/** A number given as 42 or as the text "42" or "0x2a", within [0, maxValue]. */
std::optional<int> numberOf (const json& value, int maxValue)
{
    long long n = -1;
    if (value.is_number_integer())
        n = value.get<long long>();
    else if (value.is_string())
    {
        const auto text = value.get<std::string>();
        if (text.empty() || text.size() > 12)
            return std::nullopt;
        char* end = nullptr;
        errno = 0;
        n = std::strtoll (text.c_str(), &end, 0);
        if (errno != 0 || *end != '\0')
            return std::nullopt;
    }
    if (n < 0 || n > maxValue)
        return std::nullopt;
    return (int) n;
}

juce::File relativeTo (const juce::File& folder, const std::string& path)
{
    const auto text = juce::String::fromUTF8 (path.c_str());
    return juce::File::isAbsolutePath (text) ? juce::File (text) : folder.getChildFile (text);
}

bool isSafeTemplate (const std::string& nameTemplate)
{
    return !nameTemplate.empty() && nameTemplate.find ('/') == std::string::npos && nameTemplate.size() < 200;
}
} // namespace

Recipe::~Recipe()
{
    if (image != juce::File() && image != sourceImage)
        image.deleteFile();
}

Recipe::Loaded Recipe::load (const juce::File& file, const juce::File& workFolder)
{
    juce::MemoryBlock bytes;
    juce::String reason;
    if (!readRegularFile (file, maxRecipeSize, bytes, reason))
        return {nullptr, "recipe: " + reason};

    json doc;
    try
    {
        doc = json::parse (static_cast<const char*> (bytes.getData()),
                           static_cast<const char*> (bytes.getData()) + bytes.getSize());
    }
    catch (const json::exception& e)
    {
        return {nullptr, "recipe " + file.getFullPathName() + " is not valid JSON (" + juce::String (e.what()) + ")"};
    }
    if (!doc.is_object())
        return {nullptr, "recipe " + file.getFullPathName() + " is not a JSON object"};

    std::unique_ptr<Recipe> recipe (new Recipe());
    recipe->file = file;
    recipe->sha256 = hexOf (juce::SHA256 (bytes).getRawData());
    recipe->name = file.getFileNameWithoutExtension().toStdString();
    const auto folder = file.getParentDirectory();

    const auto bad = [&file] (const std::string& key, const juce::String& why)
    { return Loaded{nullptr, "recipe " + file.getFullPathName() + ": \"" + juce::String (key) + "\" " + why}; };

    for (auto& [key, value] : doc.items())
    {
        if (key == "name" && value.is_string())
            recipe->name = value.get<std::string>();
        else if (key == "family" || key == "device" || key == "firmware_version")
        {
            const auto n = numberOf (value, 0xffff);
            if (!n)
                return bad (key, "must be a number from 0 to 0xffff");
            (key == "family" ? recipe->familyId : key == "device" ? recipe->deviceId : recipe->firmwareVersion) = n;
        }
        else if (key == "image" && value.is_string() && !value.get<std::string>().empty())
            recipe->sourceImage = relativeTo (folder, value.get<std::string>());
        else if ((key == "force" || key == "follow_restart" || key == "verify") && value.is_boolean())
            (key == "force" ? recipe->force : key == "verify" ? recipe->verify : recipe->followRestart) = value.get<bool>();
        else if (key == "restart_timeout_s")
        {
            const auto n = numberOf (value, 3600);
            if (!n || *n == 0)
                return bad (key, "must be a number of seconds from 1 to 3600");
            recipe->restartTimeoutMs = *n * 1000;
        }
        else if (key == "retries")
        {
            const auto n = numberOf (value, 10);
            if (!n)
                return bad (key, "must be a number from 0 to 10");
            recipe->retries = *n;
        }
        else if (key == "line_away")
        {
            if (value != "pass" && value != "wait")
                return bad (key, "must be \"pass\" (on the local check alone) or \"wait\" (for the line's database)");
            recipe->passWhileLineAway = value == "pass";
        }
        else if (key == "mac_folder" && value.is_string() && !value.get<std::string>().empty())
            recipe->macFolder = relativeTo (folder, value.get<std::string>());
        else if (key == "mac_name" && value.is_string())
        {
            if (!isSafeTemplate (value.get<std::string>()))
                return bad (key, "must be a file name (no '/'), e.g. \"{serial}.txt\"");
            recipe->macName = value.get<std::string>();
        }
        else if ((key == "send" || key == "fetch") && value.is_array())
        {
            for (auto& step : value)
            {
                if (!step.is_object() || step.size() != 2 || !step.contains ("local") || !step.contains ("remote")
                    || !step["local"].is_string() || !step["remote"].is_string())
                    return bad (key, "must list objects with \"local\" and \"remote\" paths");
                FileStep fileStep;
                fileStep.send = key == "send";
                const auto local = step["local"].get<std::string>();
                fileStep.local = fileStep.send ? relativeTo (folder, local).getFullPathName().toStdString() : local;
                fileStep.remote = juce::String::fromUTF8 (step["remote"].get<std::string>().c_str());
                if (!fileStep.remote.startsWithChar ('/') || local.empty())
                    return bad (key, "needs a local path and an absolute device path");
                if (!fileStep.send && !juce::File::isAbsolutePath (juce::String::fromUTF8 (local.c_str())))
                    fileStep.local = folder.getFullPathName().toStdString() + "/" + local;
                recipe->files.push_back (fileStep);
            }
        }
        else
            return bad (key, value.is_null() ? "is empty" : juce::String ("is not a setting of the right kind here"));
    }

    if (recipe->sourceImage == juce::File())
        return {nullptr, "recipe " + file.getFullPathName() + " names no \"image\""};

    juce::MemoryBlock imageBytes;
    if (!readRegularFile (recipe->sourceImage, maxImageSize, imageBytes, reason))
        return {nullptr, "recipe's image: " + reason};
    recipe->imageSize = (juce::int64) imageBytes.getSize();
    recipe->imageSha256 = hexOf (juce::SHA256 (imageBytes).getRawData());

    // The copy every unit is sent: the station's own, read-only, named by its digest.
    const auto copy = workFolder.getChildFile ("image-" + juce::String (recipe->imageSha256).substring (0, 16) + "-"
                                               + juce::String::toHexString (juce::Random::getSystemRandom().nextInt64()));
    const int fd = ::open (copy.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0400);
    bool written = fd >= 0;
    for (size_t done = 0; written && done < imageBytes.getSize();)
    {
        const auto n = ::write (fd, static_cast<const char*> (imageBytes.getData()) + done, imageBytes.getSize() - done);
        if (n < 0 && errno == EINTR)
            continue;
        written = n > 0;
        done += n > 0 ? (size_t) n : 0;
    }
    if (fd >= 0 && ::close (fd) != 0)
        written = false;
    if (!written)
    {
        copy.deleteFile();
        return {nullptr, "can't keep a copy of the image in " + workFolder.getFullPathName() + " ("
                             + juce::String (std::strerror (errno)) + ")"};
    }
    recipe->image = copy;
    return {std::shared_ptr<const Recipe> (recipe.release()), {}};
}

std::string Recipe::fillTemplate (const std::string& nameTemplate, const std::string& serial, const std::string& slot,
                                  const std::string& mac)
{
    const auto safe = [] (const std::string& text)
    {
        std::string out;
        for (unsigned char c : text)
            out += (std::isalnum (c) != 0 && c < 0x80) || c == '-' || c == '_' || c == '.' ? (char) c : '_';
        return out;
    };

    std::string name;
    for (size_t i = 0; i < nameTemplate.size();)
    {
        const auto close = nameTemplate.find ('}', i);
        if (nameTemplate[i] == '{' && close != std::string::npos)
        {
            const auto field = nameTemplate.substr (i + 1, close - i - 1);
            if (field == "serial" || field == "slot" || field == "mac")
            {
                name += field == "serial" ? serial : field == "slot" ? slot : mac;
                i = close + 1;
                continue;
            }
        }
        name += nameTemplate[i++];
    }
    name = safe (name);
    while (!name.empty() && name.front() == '.')
        name.front() = '_';
    if (name.empty() || name.size() > 200 || name.find_first_not_of ("_.") == std::string::npos)
        return {};
    return name;
}
