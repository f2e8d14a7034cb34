#include "protocol/TidewireClient.h"

#include "log/GlobalLog.h"
#include "protocol/ReceivedMessage.h"
#include "protocol/TidewireClientResponse.h"

namespace
{
std::unique_ptr<TidewireClientResponse> buildResponse (juce::uint16 messageId, std::unique_ptr<ReceivedMessage> message)
{
    switch (messageId)
    {
    case WhoAmIResponse::id:
        return std::make_unique<WhoAmIResponse> (std::move (message));
    case SuccessResponse::id:
        return std::make_unique<SuccessResponse> (std::move (message));
    case FailureResponse::id:
        return std::make_unique<FailureResponse> (std::move (message));
    case FileSystemEntryInfoResponse::id:
        return std::make_unique<FileSystemEntryInfoResponse> (std::move (message));
    case FileOpenResponse::id:
        return std::make_unique<FileOpenResponse> (std::move (message));
    case FileReadResponse::id:
        return std::make_unique<FileReadResponse> (std::move (message));
    case FolderContentsResponse::id:
        return std::make_unique<FolderContentsResponse> (std::move (message));
    case GetPropertiesResponse::id:
        return std::make_unique<GetPropertiesResponse> (std::move (message));
    case ProcessLaunchResponse::id:
        return std::make_unique<ProcessLaunchResponse> (std::move (message));
    case GetPropertyResponse::id:
        return std::make_unique<GetPropertyResponse> (std::move (message));
    default:
        return nullptr;
    }
}
} // namespace

std::unique_ptr<TidewireClientResponse> TidewireClient::createResponse (std::unique_ptr<ReceivedMessage> message)
{
    if (message == nullptr)
        return nullptr;

    const auto messageId = message->readUInt16();
    message->readInt32(); // body size; the header check has bounded it already

    if (messageId >= 0x8000)
    {
        // Only 0x8003 and 0x8004 get here in practice: the rest are queued as asynchronous.
        const auto isAsyncId = messageId <= 0x8002 || messageId == 0x8005 || messageId == 0x8006;
        globalLog (isAsyncId ? "Unexepected async message ID" : "Unexepected message ID");
        return nullptr;
    }

    auto response = buildResponse (messageId, std::move (message));

    if (response == nullptr)
    {
        globalLog ("Unexepected message ID");
        return nullptr;
    }

    if (!response->isValid())
    {
        globalLog ("Malformed response, message ID " + juce::String (messageId));
        return nullptr;
    }

    return response;
}
