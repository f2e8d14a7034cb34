#pragma once

#include "device/TransferEngine.h"
#include "tools/common/DeviceSimulatorProcess.h"

#include <juce_core/juce_core.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <sys/types.h>
#include <thread>
#include <vector>

/** One file through the engine every front end uses, as the benchmarks time it: 0 when
    it arrived, -1 when not. */
inline int fetchFile (TidewireClient& client, const juce::String& remotePath, const juce::File& local)
{
    return TransferEngine (client).fetch (remotePath, local).succeeded() ? 0 : -1;
}

inline int sendFile (TidewireClient& client, const juce::File& local, const juce::String& remotePath)
{
    return TransferEngine (client).send (local, remotePath).succeeded() ? 0 : -1;
}

/** Seconds since construction. */
class Stopwatch final
{
public:
    double seconds() const
    {
        return std::chrono::duration<double> (std::chrono::steady_clock::now() - start).count();
    }

private:
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};

struct Spread
{
    double median = 0, p99 = 0, lowest = 0, highest = 0;
};

Spread summarise (std::vector<double> samples);

/** A fresh folder under the temporary folder, removed with the object. */
struct ScratchFolder
{
    ScratchFolder();
    ~ScratchFolder();
    juce::File folder;
};

void writeRandomFile (const juce::File& file, juce::int64 size, int seed);

/** nubo-devsim from the benchmark's own folder. */
juce::File simulatorExecutable();

/** The ceiling of this kind of link: two plain threads over a fresh pseudo-terminal,
    a "host" on the raw slave and a "device" on the master that answers each request
    at once, with nothing else in between. */
class CeilingLink final
{
public:
    CeilingLink();
    ~CeilingLink();

    bool isOpen() const;

    /** Seconds for the given number of one-block exchanges: 8191-byte requests and
        10-byte replies (upward, as a file is sent), or the other way round. */
    double bulk (int blocks, bool upward);

    /** Seconds for one exchange of 10 bytes each way. */
    double smallTrip();

private:
    double exchange (int count, size_t requestSize, size_t answerSize);
    void serve();

    struct Terminal;
    std::unique_ptr<Terminal> terminal;
    std::vector<char> request, answer;
    std::thread thread;
};

/** A device with nothing behind it, on a fresh pseudo-terminal: it answers WhoAmI, opens,
    reads (from a pattern, as long as the given size), writes (into nothing) and closes,
    straight from one thread. Shows what the client costs apart from the simulator. */
class TidewireClientRequest;

/** A client with nothing in it: writes a request's bytes and reads the answer with
    blocking reads, on the calling thread. Against a simulator it takes the link's
    round trip plus the simulator's own turnaround, and nothing of the client's. */
class BareClient final
{
public:
    explicit BareClient (const juce::String& portPath);
    ~BareClient();

    bool isOpen() const;

    /** Seconds for one request and its whole answer; negative when the link failed. */
    double exchange (TidewireClientRequest& request);

    /** A whole file moved with the requests the client makes (open, one block after
        another, close), each request's bytes made once and sent again: 0, or -1 when
        the link failed or the simulator refused. Upward writes `size` bytes of a
        pattern; downward reads the file to its end. */
    int transfer (const juce::String& remotePath, bool upward, juce::int64 size);

    /** When set, every answer is waited for in poll before it is read, as the client's
        reader waits, instead of in the read itself. */
    bool pollFirst = false;

private:
    /** Sends bytes made earlier and reads the whole answer; false when the link failed
        or the answer is not of the expected type. */
    bool roundTrip (const juce::MemoryBlock& request, juce::uint16 answerId);

    int fd = -1;
    juce::MemoryOutputStream out;
    std::vector<char> answer;
};

/** A device in this process with nothing behind it, made as the ceiling's device is
    (blocking reads, one buffer for every answer): the same client against it shows
    the client's own cost. It answers opens, reads (of a file of the given size, its
    bytes all 'd'), folder contents (always empty) and WhoAmI; anything else succeeds. */
class PlainDevice final
{
public:
    explicit PlainDevice (juce::int64 fileSize);
    ~PlainDevice();

    bool isOpen() const;
    juce::String portPath() const;

private:
    void serve();

    struct Terminal;
    std::unique_ptr<Terminal> terminal;
    juce::int64 fileSize;
    std::thread thread;
};
