#include "cli/ShellWords.h"

namespace
{
bool isSpace (juce::juce_wchar c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
} // namespace

ShellWords::Split ShellWords::split (const juce::String& line)
{
    Split result;
    juce::String word;
    bool inWord = false;
    juce::juce_wchar quoteChar = 0;
    int index = 0;

    for (auto p = line.getCharPointer(); !p.isEmpty(); ++p, ++index)
    {
        const auto c = *p;
        if (quoteChar == '\'')
        {
            if (c == '\'')
                quoteChar = 0;
            else
                word += juce::String::charToString (c);
            continue;
        }
        if (quoteChar == '"')
        {
            if (c == '"')
            {
                quoteChar = 0;
            }
            else if (c == '\\' && (p[1] == '"' || p[1] == '\\'))
            {
                ++p;
                ++index;
                word += juce::String::charToString (*p);
            }
            else
            {
                word += juce::String::charToString (c);
            }
            continue;
        }

        if (isSpace (c))
        {
            if (inWord)
                result.words.add (word);
            word.clear();
            inWord = false;
            continue;
        }
        if (!inWord)
        {
            if (c == '#')
                break; // a comment: the end of the line's words
            inWord = true;
            result.lastWordStart = index;
        }
        if (c == '\'' || c == '"')
        {
            quoteChar = c;
        }
        else if (c == '\\')
        {
            if (p[1] == 0)
            {
                result.unfinished = true;
                break;
            }
            ++p;
            ++index;
            word += juce::String::charToString (*p);
        }
        else
        {
            word += juce::String::charToString (c);
        }
    }

    if (quoteChar != 0)
        result.unfinished = true;
    if (inWord)
    {
        result.words.add (word);
        result.lastWordOpen = true;
    }
    return result;
}

juce::String ShellWords::quote (const juce::String& word)
{
    juce::String quoted;
    for (auto p = word.getCharPointer(); !p.isEmpty(); ++p)
    {
        const auto c = *p;
        if (isSpace (c) || c == '\'' || c == '"' || c == '\\' || (c == '#' && quoted.isEmpty()))
            quoted << "\\";
        quoted << juce::String::charToString (c);
    }
    return quoted;
}
