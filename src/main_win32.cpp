// Process entry (Windows): everything happens in run_curvedump. The
// command line arrives in UTF-16 and is taken as such: the narrow argv
// would pass through the ANSI code page, which alters or drops characters.
#include "curvedump.hpp"
#include "platform.hpp"

// The entry the runtime calls for a program linked with -municode; no
// header of the runtime declares it.
int wmain(int argc, wchar_t** argv);

int wmain(int argc, wchar_t** argv)
{
    curvedump::prepare_process();
    const std::vector<std::string> utf8 = curvedump::utf8_arguments(argc, argv);
    std::vector<const char*> args;
    for (const std::string& arg : utf8)
        args.push_back(arg.c_str());
    return curvedump::run_curvedump(args, stdout);
}
