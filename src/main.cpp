// Process entry: everything happens in run_curvedump.
#include "curvedump.hpp"
#include "platform.hpp"

#ifdef _WIN32
// The command line arrives in UTF-16 and is taken as such: the narrow argv
// would pass through the ANSI code page, which alters or drops characters.
int wmain(int argc, wchar_t** argv)
{
    curvedump::prepare_process();
    const std::vector<std::string> utf8 = curvedump::utf8_arguments(argc, argv);
    std::vector<const char*> args;
    for (const std::string& arg : utf8)
        args.push_back(arg.c_str());
    return curvedump::run_curvedump(args, stdout);
}
#else
int main(int argc, char** argv)
{
    curvedump::prepare_process();
    const std::span<const char* const> args(argv, argc > 0 ? static_cast<std::size_t>(argc) : 0);
    return curvedump::run_curvedump(args, stdout);
}
#endif
