// Another process on the device's port, for the tests:
//   nubo-port-probe open <path>         opens it as the utility does and prints what the
//                                       utility logs (exit 0 when it opened, 1 when not)
//   nubo-port-probe hold <path> [name]  opens and locks it as another program holding the
//                                       port would, prints "holding <pid>", and keeps it
//                                       until killed or until the test process ends

#include "serial/PortOpenFailure.h"
#include "serial/SerialPort.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace
{
int openLikeTheUtility (const char* path)
{
    SerialPort port;
    if (port.open (path))
    {
        std::puts ("Successfully opened port");
        return 0;
    }

    std::puts ("Failed to open port");
    const auto reason = describePortOpenFailure (port.getDevicePath(), port.getOpenError());
    if (reason.isNotEmpty())
        std::puts (reason.toRawUTF8());
    return 1;
}

int hold (const char* path, const char* name)
{
    // A test that dies must not leave the port held for the next one.
    const pid_t parent = getppid();
    prctl (PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        return 2;

    const int fd = ::open (path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || flock (fd, LOCK_EX | LOCK_NB) != 0)
    {
        std::printf ("cannot hold %s: %s\n", path, std::strerror (errno));
        return 2;
    }

    if (name != nullptr)
        prctl (PR_SET_NAME, name);

    std::printf ("holding %d\n", (int) getpid());
    std::fflush (stdout);
    for (;;)
        pause();
}
} // namespace

int main (int argc, char** argv)
{
    if (argc == 3 && std::strcmp (argv[1], "open") == 0)
        return openLikeTheUtility (argv[2]);
    if ((argc == 3 || argc == 4) && std::strcmp (argv[1], "hold") == 0)
        return hold (argv[2], argc == 4 ? argv[3] : nullptr);

    std::fprintf (stderr, "usage: nubo-port-probe open <path> | hold <path> [name]\n");
    return 2;
}
