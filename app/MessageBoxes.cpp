#include "app/MessageBoxes.h"

namespace
{
MessageBoxes::Handler& currentHandler()
{
    static MessageBoxes::Handler handler;
    return handler;
}
} // namespace

void MessageBoxes::show (Icon icon, const juce::String& message)
{
    if (auto& handler = currentHandler())
    {
        handler (icon, message);
        return;
    }

    juce::AlertWindow::showMessageBox (
        icon == Icon::warning ? juce::MessageBoxIconType::WarningIcon : juce::MessageBoxIconType::NoIcon, {}, message);
}

void MessageBoxes::setHandler (Handler handler)
{
    currentHandler() = std::move (handler);
}
