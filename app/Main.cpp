#include "app/JUCEHelloWorldApplication.h"

// JUCE's runner creates the application, hands it the command line without the
// program name, and returns its return value as the exit status.
START_JUCE_APPLICATION (JUCEHelloWorldApplication)
