// The simulator's request side fed any bytes: framing, then each request decoded
// and acted on, against a device file system in a temporary folder. Each answer
// must be one well-formed message.

#include "tools/devsim/Device.h"
#include "tools/devsim/DeviceFileSystem.h"
#include "tools/devsim/Framing.h"
#include "tools/devsim/Options.h"
#include "tools/devsim/Wire.h"

#include <cstdlib>
#include <filesystem>
#include <string>

namespace
{
struct Simulator
{
    Simulator()
    {
        char name[] = "/tmp/fuzz-devsim.XXXXXX";
        if (::mkdtemp (name) == nullptr)
            std::abort();
        root = name;
        std::filesystem::create_directories (root + "/mnt/nandfs/usr/docs");
        std::string error;
        if (!fs.setRoot (root, error))
            std::abort();
    }

    ~Simulator()
    {
        fs.closeAll();
        std::error_code ignored;
        std::filesystem::remove_all (root, ignored);
    }

    std::string root;
    devsim::Options options;
    devsim::DeviceFileSystem fs;
    devsim::RequestLog log; // not opened: lines are dropped
    devsim::Device device{options, fs, log};
};

void checkAnswer (const devsim::Message& answer)
{
    if (answer.size() < devsim::headerSize)
        std::abort();
    const auto id = (uint16_t) (answer[0] | (answer[1] << 8));
    const auto bodySize = (uint32_t) answer[2] | ((uint32_t) answer[3] << 8) | ((uint32_t) answer[4] << 16) |
                          ((uint32_t) answer[5] << 24);
    if (bodySize != answer.size() - devsim::headerSize || bodySize > devsim::maxBodySize || id > devsim::maxMessageId)
        std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    static Simulator simulator;

    size_t requests = 0;
    const auto used = devsim::frameRequests (data, size,
                                             [&] (uint16_t id, const uint8_t* body, size_t bodySize)
                                             {
                                                 checkAnswer (simulator.device.handle (id, body, bodySize));
                                                 return ++requests < 64;
                                             },
                                             {});
    if (used > size)
        std::abort();

    // A session ends with the port closed: nothing stays open into the next input.
    simulator.fs.closeAll();
    return 0;
}
