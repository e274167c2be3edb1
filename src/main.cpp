// Process entry: everything happens in run_curvedump.
#include "curvedump.hpp"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

int main(int argc, char** argv)
{
#ifdef _WIN32
    // The C runtime would turn each "\n" into "\r\n" a second time.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    const std::span<const char* const> args(argv, argc > 0 ? static_cast<std::size_t>(argc) : 0);
    return curvedump::run_curvedump(args, stdout);
}
