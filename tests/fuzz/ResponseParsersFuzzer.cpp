// Every complete message the device might send, through both doors it can take:
// the response factory (a waiting exchange) and the client's dispatch of
// asynchronous messages (notifications to the listeners).

#include "log/GlobalLog.h"
#include "protocol/ReceivedMessage.h"
#include "protocol/TidewireClient.h"
#include "protocol/TidewireClientResponse.h"

#include <cstdlib>

namespace
{
/** Touches what it is given, so that a bad string or path would be read. */
class Sink final : public ILogger, public ITidewireClientListener
{
public:
    void log (juce::String line) override
    {
        total += (size_t) line.length();
    }
    void eventReceived (int eventId, juce::int64 argument) override
    {
        total += (size_t) eventId + (size_t) argument;
    }
    void propertyChanged (juce::Array<juce::uint16> path, int propertyId, int value) override
    {
        total += (size_t) path.size() + (size_t) propertyId + (size_t) value;
    }
    void stringPropertyChanged (juce::Array<juce::uint16> path, int propertyId, juce::String value) override
    {
        total += (size_t) path.size() + (size_t) propertyId + value.toStdString().size();
    }

    size_t total = 0;
};

/** The message, when the bytes begin with a complete one. */
std::unique_ptr<ReceivedMessage> messageFrom (const uint8_t* data, size_t size)
{
    auto message = std::make_unique<ReceivedMessage>();
    const auto n = (int) std::min (size, (size_t) ReceivedMessage::maxMessageSize);
    for (int used = 0; used < n && !message->isComplete();)
    {
        const auto taken = message->append (data + used, n - used);
        if (taken <= 0)
            break;
        used += taken;
    }
    return message->isComplete() ? std::move (message) : nullptr;
}

void checkResponse (TidewireClientResponse& response)
{
    // A read response promises that its data is there to be taken in place.
    if (auto* read = dynamic_cast<FileReadResponse*> (&response))
        if (read->getCount() > 0 && response.getMessage().readBytes (read->getCount()) == nullptr)
            std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    static Sink sink;
    static TidewireClient client; // its thread idles on an empty queue; dispatch runs here
    static const bool ready = [&]
    {
        setGlobalLogger (&sink);
        client.addListener (&sink);
        return true;
    }();
    juce::ignoreUnused (ready);

    if (auto message = messageFrom (data, size))
    {
        if (auto response = TidewireClient::createResponse (std::move (message)))
        {
            if (!response->isValid())
                std::abort(); // the factory hands on only what parsed whole
            checkResponse (*response);
        }
    }

    if (auto message = messageFrom (data, size))
        client.handleAsyncMessage (std::move (message));

    return 0;
}
