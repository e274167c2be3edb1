// The built executable on files written here: console bytes, exit status,
// and the output file, for every exit status, for names in any script, for
// output names that lead elsewhere, and for odd standard streams.
#include "platform.hpp"
#include "test_image.hpp"
#include "windows_paths.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace {

namespace fs = std::filesystem;

// Paths are UTF-8 strings here, as the tool prints them.
fs::path from_utf8(const std::string& text)
{
    return fs::path(std::u8string(text.begin(), text.end()));
}

std::string utf8(const fs::path& path)
{
    const std::u8string text = path.u8string();
    return {text.begin(), text.end()};
}

std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path& path, const std::vector<unsigned char>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// A path the build gave, as this program must name it. Under wine, a
// Windows program sees the host's root as drive Z: with backslashes.
std::string build_path(const char* path)
{
    std::string p = path;
#ifdef _WIN32
    if (!p.empty() && p[0] == '/')
        p = "Z:" + p;
    std::replace(p.begin(), p.end(), '/', '\\');
#endif
    return p;
}

// Words of a command prefix such as "valgrind -q" or "qemu-aarch64".
std::vector<std::string> words(const char* text)
{
    std::istringstream in(text != nullptr ? text : "");
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// For a shell command that runs the tool under strace: LeakSanitizer
// cannot work under ptrace, so it is off there (the other sanitizers still
// check).
const std::string without_leak_check =
    "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 ";
// Tests that make strace act at the Nth call count calls from the start,
// and AddressSanitizer's start-up reads its memory map a number of times
// that depends on the map's length, which varies with where things were
// placed. Address randomisation is turned off where the system allows it,
// so that a dry run and the run it prepares count alike.
const std::string under_strace =
    without_leak_check + "$(setarch -R true 2> /dev/null && echo setarch -R) strace -qq ";

// How the tool's standard streams are set up for a run.
enum class Streams {
    output_to_file,          // standard output to a file, read back afterwards
    output_closed,           // POSIX: >&-
    input_and_output_closed, // POSIX: <&- >&-
    reader_gone,             // POSIX: a pipe whose reader closed before the start
    no_output_at_all,        // Windows: no standard handles and no console
};

struct RunResult {
    int status;
    std::string console;
};

#ifdef _WIN32

// A command-line argument quoted so that the runtime's parser gives it back
// unchanged: backslashes are literal except before a quote.
std::wstring quoted_argument(const std::wstring& arg)
{
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, L'\\');
    return out + L"\"";
}

std::wstring wide(const std::string& text)
{
    std::u16string u16;
    EXPECT_TRUE(curvedump::utf16_from_utf8(text, u16)) << text;
    return {u16.begin(), u16.end()};
}

// The host's (Unix) name of a path, through wine's own call; empty where
// there is none (not under wine).
std::string unix_name(const fs::path& path)
{
    using Call = char*(__cdecl*)(const wchar_t*);
    const FARPROC found =
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
    if (found == nullptr)
        return {};
    const auto call = reinterpret_cast<Call>(reinterpret_cast<void (*)()>(found));
    char* const name = call(path.c_str());
    if (name == nullptr)
        return {};
    std::string result = name;
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

// Runs a shell command on the host wine runs on, from `folder` (which
// must have a host name). wine starts a host program without waiting for
// it, so the command ends by leaving its status in a file, waited for.
int run_on_host(const std::string& command, const fs::path& folder)
{
    const fs::path status = folder / "host.status";
    fs::remove(status);
    const std::string host_status = unix_name(status);
    const std::string script = "{ " + command + "\n}; echo $? > '" + host_status + ".part'; mv '" +
                               host_status + ".part' '" + host_status + "'";
    std::wstring line = L"/bin/sh -c " + quoted_argument(wide(script));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &process) == 0) {
        ADD_FAILURE() << "cannot start the host's shell: error " << GetLastError();
        return -1;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (int waited = 0; !fs::exists(status); waited += 20) {
        if (waited > 300000) {
            ADD_FAILURE() << "the host's shell did not end: " << command;
            return -1;
        }
        Sleep(20);
    }
    const std::string text = read_file(status);
    fs::remove(status);
    return text == "0\n" ? 0 : 1;
}

// Starts the tool with a UTF-16 command line, as a Windows shell would, in
// `working_folder` (or this process's when empty).
int spawn(const std::vector<std::string>& command, Streams streams, const fs::path& console,
          const fs::path& errors, const fs::path& working_folder)
{
    std::wstring line;
    for (const std::string& word : command)
        line += (line.empty() ? L"" : L" ") + quoted_argument(wide(word));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE output = nullptr;
    HANDLE error_output = nullptr;
    DWORD flags = 0;
    if (streams == Streams::output_to_file) {
        output = CreateFileW(console.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        error_output = CreateFileW(errors.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        startup.hStdOutput = output;
        startup.hStdError = error_output;
    } else {
        flags = DETACHED_PROCESS; // nothing at all: no handles, no console
    }
    PROCESS_INFORMATION process{};
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                       working_folder.empty() ? nullptr : working_folder.c_str(), &startup,
                       &process) == 0) {
        ADD_FAILURE() << "cannot start the tool: error " << GetLastError();
        return -1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (const HANDLE handle : {output, error_output})
        if (handle != nullptr)
            CloseHandle(handle);
    return static_cast<int>(status);
}

#else

// Starts the tool with SIGPIPE at its default disposition, as a shell
// would: an inherited "ignore" would hide what the tool itself does. It
// starts in `working_folder` (or this process's when empty).
int spawn(const std::vector<std::string>& command, Streams streams, const fs::path& console,
          const fs::path& errors, const fs::path& working_folder)
{
    std::vector<char*> argv;
    for (const std::string& word : command)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    int pipe_ends[2] = {-1, -1};
    switch (streams) {
    case Streams::output_to_file:
        posix_spawn_file_actions_addopen(&actions, 1, console.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        break;
    case Streams::input_and_output_closed:
        posix_spawn_file_actions_addclose(&actions, 0);
        [[fallthrough]];
    case Streams::output_closed:
        posix_spawn_file_actions_addclose(&actions, 1);
        break;
    case Streams::reader_gone:
        if (pipe(pipe_ends) != 0)
            ADD_FAILURE() << "no pipe";
        close(pipe_ends[0]);
        posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
        posix_spawn_file_actions_addclose(&actions, pipe_ends[1]);
        break;
    case Streams::no_output_at_all:
        ADD_FAILURE() << "a Windows case";
        break;
    }
    if (!working_folder.empty())
        posix_spawn_file_actions_addchdir_np(&actions, working_folder.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t default_signals;
    sigemptyset(&default_signals);
    sigaddset(&default_signals, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &default_signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (pipe_ends[1] >= 0)
        close(pipe_ends[1]);
    if (error != 0) {
        ADD_FAILURE() << "cannot start " << argv[0] << ": error " << error;
        return -1;
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    // A signal shows as a shell would show it: 128 + its number.
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

#endif

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        // A random part keeps parallel runs of the suite apart.
        std::random_device random;
        dir = fs::temp_directory_path() /
              (std::string("curvedump-e2e-") + info->name() + "-" + std::to_string(random()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    // The command that runs the tool: CURVEDUMP_WRAPPER (valgrind, say) and
    // the target's emulator first, when there are any.
    static std::vector<std::string> tool_command()
    {
        std::vector<std::string> command = words(std::getenv("CURVEDUMP_WRAPPER"));
        for (const std::string& word : words(CURVEDUMP_EMULATOR))
            command.push_back(word);
        command.push_back(build_path(CURVEDUMP_EXE));
        return command;
    }

    // Runs the tool on `args`, console captured, after the words of
    // `prefix` (setpriv, say), in `working_folder` (this process's when
    // empty); nothing may appear on standard error.
    RunResult run(const std::vector<std::string>& args, Streams streams = Streams::output_to_file,
                  const std::vector<std::string>& prefix = {}, const fs::path& working_folder = {})
    {
        std::vector<std::string> command = prefix;
        for (const std::string& word : tool_command())
            command.push_back(word);
        command.insert(command.end(), args.begin(), args.end());
        const fs::path console = dir / "console.out";
        const fs::path errors = dir / "errors.out";
        const int status = spawn(command, streams, console, errors, working_folder);
        EXPECT_EQ(read_file(errors), "") << "standard error";
        return {status, streams == Streams::output_to_file ? read_file(console) : ""};
    }

    // The path of a file in the test's directory, UTF-8.
    std::string path(const std::string& name) const { return utf8(dir / from_utf8(name)); }

    fs::path dir;
};

// The console of a run that converts the small example at `input`.
std::string converted_console(const std::string& input)
{
    return test_image::small_example_header + "converting : " + input + " -> " + input + ".txt\r\n";
}

TEST_F(EndToEnd, BundledSampleMatchesItsCommittedOutput)
{
    const fs::path sample_dir = build_path(CURVEDUMP_SAMPLE_DIR);
    fs::copy_file(sample_dir / "damped.bin", dir / "damped.bin");
    const RunResult r = run({path("damped.bin")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(dir / "damped.bin.txt"), read_file(sample_dir / "damped.bin.txt"));
}

// Names in any script are taken as typed, printed as their UTF-8 bytes, and
// never mapped onto another name.
TEST_F(EndToEnd, NamesInAnyScript)
{
    struct NameCase {
        const char* what;
        std::string typed;   // the name on the command line
        std::string present; // the file that exists
        int status;
    };
    const NameCase cases[] = {
        {"Cyrillic", "данные.bin", "данные.bin", 0},
        {"Greek", "τεστ.bin", "τεστ.bin", 0},
        {"CJK", "測定.bin", "測定.bin", 0},
        {"emoji", "📈.bin", "📈.bin", 0},
        {"Latin-1 with spaces", "café crème.bin", "café crème.bin", 0},
        {"look-alike of an existing name", "τεστ.bin", "test.bin", 2},
    };
    int row = 0;
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path row_dir = dir / std::to_string(++row); // each row on its own
        fs::create_directory(row_dir);
        write_file(row_dir / from_utf8(c.present), test_image::small_example());
        const std::string input = utf8(row_dir / from_utf8(c.typed));
        const RunResult r = run({input});
        EXPECT_EQ(r.status, c.status);
        if (c.status == 0) {
            EXPECT_EQ(r.console, converted_console(input));
            EXPECT_EQ(read_file(from_utf8(input + ".txt")), test_image::small_example_output);
        } else {
            EXPECT_EQ(r.console, "Cannot open " + input + "\r\n");
            EXPECT_EQ(std::distance(fs::directory_iterator(row_dir), fs::directory_iterator()), 1);
        }
    }
}

TEST_F(EndToEnd, OnlyTheFirstArgumentIsUsed)
{
    write_file(dir / "a.bin", test_image::small_example());
    write_file(dir / "b.bin", test_image::small_example());
    write_file(dir / "b.bin.txt", {'k', 'e', 'e', 'p'});
    const RunResult r = run({path("a.bin"), path("b.bin")});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fs::exists(dir / "a.bin.txt"));
    EXPECT_EQ(read_file(dir / "b.bin"), read_file(dir / "a.bin"));
    EXPECT_EQ(read_file(dir / "b.bin.txt"), "keep");
}

TEST_F(EndToEnd, NoArgumentPrintsNothing)
{
    const RunResult r = run({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.console, "");
}

TEST_F(EndToEnd, InputThatCannotBeRead)
{
    for (const std::string& input : {path("missing.bin"), utf8(dir)}) {
        SCOPED_TRACE(input);
        const RunResult r = run({input});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.console, "Cannot open " + input + "\r\n");
        EXPECT_FALSE(fs::exists(from_utf8(input + ".txt")));
    }
}

// An empty file, and a FIFO with no writer, which reads as empty at once
// instead of stalling a batch.
TEST_F(EndToEnd, EmptyFileCreatesNoOutput)
{
    write_file(dir / "empty.bin", {});
    std::vector<std::string> inputs = {"empty.bin"};
#ifndef _WIN32
    ASSERT_EQ(mkfifo((dir / "fifo.bin").c_str(), 0644), 0);
    inputs.push_back("fifo.bin");
#endif
    for (const std::string& input : inputs) {
        SCOPED_TRACE(input);
        const RunResult r = run({path(input)});
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.console, "0 0 0 0\r\n0.000000e+00 0.000000e+00\r\n0.000000e+00 0.000000e+00\r\n"
                             "Cannot allocate memory\r\n");
        EXPECT_FALSE(fs::exists(dir / (input + ".txt")));
    }
}

// A signal that interrupts the input's read (strace makes the read fail
// with EINTR once) does not end the run: the read is made again.
TEST_F(EndToEnd, InterruptedReadIsMadeAgain)
{
#ifdef _WIN32
    GTEST_SKIP() << "needs strace";
#else
    if (std::system("strace -V > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs strace";
    if (!words(std::getenv("CURVEDUMP_WRAPPER")).empty() || !words(CURVEDUMP_EMULATOR).empty())
        GTEST_SKIP() << "strace must trace the tool itself, not a wrapper or an emulator";
    struct ReadCase {
        const char* what;
        const char* input;
        const char* call;  // the read that fails once
        const char* setup; // shell commands before the run
    };
    const ReadCase cases[] = {
        {"a regular file's one read", "x.bin", "pread64", ":"},
        // The writer is waiting in its open of the FIFO (state S) before
        // the tool opens it: a FIFO without a writer reads as empty at
        // once. Its output goes nowhere the test reads, so that a writer
        // left waiting cannot hold the test's own output open.
        {"a read of a FIFO whose writer sends the file", "f.bin", "read",
         "mkfifo f.bin && { cat x.bin > f.bin 2> /dev/null < /dev/null & } && writer=$! && "
         "until grep -q '^[0-9]* ([^)]*) S' /proc/$writer/stat 2> /dev/null; do :; done"},
    };
    write_file(dir / "x.bin", test_image::small_example());
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string script =
            "cd '" + dir.string() + "' && " + c.setup + " && " + under_strace + "-o /dev/null -P " +
            c.input + " -e inject=" + c.call + ":error=EINTR:when=1 '" + build_path(CURVEDUMP_EXE) +
            "' " + c.input + " > console.out 2> /dev/null; echo $? > status";
        ASSERT_EQ(std::system(script.c_str()), 0) << script;
        EXPECT_EQ(read_file(dir / "status"), "0\n");
        EXPECT_EQ(read_file(dir / "console.out"), converted_console(c.input));
        EXPECT_EQ(read_file(dir / (std::string(c.input) + ".txt")),
                  test_image::small_example_output);
    }
#endif
}

TEST_F(EndToEnd, FileSizeLimit)
{
    std::vector<unsigned char> file = test_image::small_example();
    file.resize(32768);
    write_file(dir / "full.bin", file);
    const RunResult full = run({path("full.bin")});
    EXPECT_EQ(full.status, 4);
    EXPECT_EQ(full.console, "memory overflow\r\n");
    EXPECT_FALSE(fs::exists(dir / "full.bin.txt"));

    file.resize(32767);
    write_file(dir / "fits.bin", file);
    const RunResult fits = run({path("fits.bin")});
    EXPECT_EQ(fits.status, 0);
    EXPECT_EQ(read_file(dir / "fits.bin.txt"), test_image::small_example_output);
#ifndef _WIN32
    // A file size limit (ulimit -f: 4,096 bytes) below the output's 100 KB:
    // refused as for want of room, with every name as it was and no
    // temporary file, whether replaced or written in place, on the test's
    // own file system and on a tmpfs mounted in a private namespace, where
    // one can be.
    const bool root = geteuid() == 0;
    const std::string unshare = root ? "unshare --mount" : "unshare --user --map-root-user --mount";
    const bool can_mount = std::system((unshare + " sh -c 'mount -t tmpfs tmpfs \"$0\"' '" +
                                        dir.string() + "' 2>/dev/null")
                                           .c_str()) == 0;
    write_file(dir / "big.bin",
               test_image::with_table({1, 16128, test_image::f32(1.0f), test_image::f32(0.0f)},
                                      {64, 16380}));
    const std::string big_header =
        "1 64 16128 16380\r\n1.000000e+00 0.000000e+00\r\n0.000000e+00 0.000000e+00\r\n";
    const std::string earlier = "printf 'earlier\\r\\n' > f.bin.txt && ";
    struct LimitCase {
        const char* what;
        std::string before;   // shell commands run in the folder before the tool, "&&" ended
        const char* files;    // the folder's contents after the run
        std::string contents; // of f.bin.txt and second, where they are
    };
    const LimitCase limits[] = {
        {"no earlier output: none left", "", "f.bin\n", ""},
        {"one name: replaced, the earlier text kept", earlier, "f.bin\nf.bin.txt\n", "earlier\r\n"},
        {"a second name: in place, both names keep the earlier text",
         earlier + "ln f.bin.txt second && ", "f.bin\nf.bin.txt\nsecond\n",
         "earlier\r\nearlier\r\n"},
        {"a link: in place, its target keeps the earlier text",
         "printf 'earlier\\r\\n' > target && ln -s target f.bin.txt && ",
         "f.bin\nf.bin.txt\ntarget\n", "earlier\r\n"},
    };
    for (const bool tmpfs : {false, true}) {
        if (tmpfs && !can_mount) {
            std::printf("tmpfs rows skipped: %s is refused here\n", unshare.c_str());
            continue;
        }
        for (const LimitCase& c : limits) {
            SCOPED_TRACE(std::string(c.what) + (tmpfs ? " (tmpfs)" : ""));
            fs::create_directory(dir / "limited");
            std::ofstream(dir / "limit.sh")
                << "cd limited && cp ../big.bin f.bin && " << c.before
                << "(ulimit -f 8; \"$@\" f.bin > ../console.out 2> ../errors.out); "
                   "echo $? > ../status; ls -A > ../files; "
                   "cat f.bin.txt second > ../contents 2> /dev/null; true\n";
            std::string command = "cd '" + dir.string() + "' && ";
            command += tmpfs ? unshare + " sh -c 'mount -t tmpfs tmpfs limited && sh limit.sh "
                                         "\"$@\"' sh"
                             : "sh limit.sh";
            for (const std::string& word : tool_command())
                command += " '" + word + "'";
            ASSERT_EQ(std::system(command.c_str()), 0) << command;
            fs::remove_all(dir / "limited");
            EXPECT_EQ(read_file(dir / "status"), "1\n");
            EXPECT_EQ(read_file(dir / "console.out"),
                      big_header + "converting : f.bin -> f.bin.txt\r\ncannot write f.bin.txt\r\n");
            EXPECT_EQ(read_file(dir / "errors.out"), "");
            EXPECT_EQ(read_file(dir / "files"), c.files);
            EXPECT_EQ(read_file(dir / "contents"), c.contents);
        }
    }
#endif
}

TEST_F(EndToEnd, DescriptorOutsideTheImage)
{
    write_file(dir / "bad.bin",
               test_image::with_table({1, 4, test_image::f32(1.0f), test_image::f32(0.0f)},
                                      {128, 4, test_image::f32(1.0f), test_image::f32(0.0f)}));
    const RunResult r = run({path("bad.bin")});
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.console, "1 128 4 4\r\n1.000000e+00 1.000000e+00\r\n0.000000e+00 0.000000e+00\r\n"
                         "invalid descriptor for series 2\r\n");
    EXPECT_FALSE(fs::exists(dir / "bad.bin.txt"));
}

// Paths of any length: no fixed buffer for the output name, and a name
// the system refuses is reported like any other. On Windows a path past
// the classic 260-character limit is opened in its \\?\ form.
TEST_F(EndToEnd, LongPaths)
{
    fs::path deep = dir;
    for (int i = 0; i < 6; ++i)
        deep /= std::string(60, static_cast<char>('a' + i));
    fs::create_directories(deep);
    write_file(deep / "long.bin", test_image::small_example());
    const std::string input = utf8(deep / "long.bin");
    ASSERT_GT(input.size(), 300u);
    const RunResult deep_run = run({input});
    EXPECT_EQ(deep_run.status, 0);
    EXPECT_EQ(deep_run.console, converted_console(input));
    EXPECT_EQ(read_file(from_utf8(input + ".txt")), test_image::small_example_output);

#ifndef _WIN32
    // A file name of 252 bytes exists, but with ".txt" it is too long.
    const std::string name(252, 'n');
    write_file(dir / name, test_image::small_example());
    const RunResult name_run = run({path(name)});
    EXPECT_EQ(name_run.status, 1);
    const std::string out = path(name) + ".txt";
    EXPECT_EQ(name_run.console, converted_console(path(name)) + "cannot open " + out + "\r\n");

    // A path longer than the system takes at all.
    const std::string huge = path(std::string(5000, 'p'));
    const RunResult huge_run = run({huge});
    EXPECT_EQ(huge_run.status, 2);
    EXPECT_EQ(huge_run.console, "Cannot open " + huge + "\r\n");
#endif
}

// A read that fails after the open succeeded is not an empty file.
TEST_F(EndToEnd, ReadErrorIsNotAnEmptyFile)
{
#ifdef _WIN32
    GTEST_SKIP() << "needs a file that opens but cannot be read (/proc/self/mem); Windows has none";
#endif
    if (!fs::exists("/proc/self/mem"))
        GTEST_SKIP() << "no /proc/self/mem on this system";
    const RunResult r = run({"/proc/self/mem"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.console, "Cannot open /proc/self/mem\r\n");
}

// What the tests need to know of a file: which one it is, and (POSIX) its
// owner, group and mode. Links are followed.
struct FileFacts {
    bool exists = false;
    std::uint64_t index = 0;
    unsigned owner = 0;
    unsigned group = 0;
    unsigned mode = 0;
};

FileFacts facts(const fs::path& path)
{
    FileFacts f;
#ifdef _WIN32
    const HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return f;
    BY_HANDLE_FILE_INFORMATION info;
    f.exists = GetFileInformationByHandle(handle, &info) != 0;
    f.index = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    CloseHandle(handle);
#else
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return f;
    f = {true, st.st_ino, st.st_uid, st.st_gid, st.st_mode & 07777u};
#endif
    return f;
}

std::vector<std::string> names_in(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
        names.push_back(utf8(entry.path().filename()));
    std::sort(names.begin(), names.end());
    return names;
}

// The words that run the tool as an unprivileged user (root ignores file
// modes), and why that cannot be done here, if it cannot.
const std::vector<std::string> unprivileged = {"setpriv", "--reuid=65534", "--regid=65534",
                                               "--clear-groups"};
constexpr unsigned nobody = 65534;

const char* why_no_unprivileged_run()
{
#ifdef _WIN32
    return "needs POSIX owners and modes, and setpriv";
#else
    if (geteuid() != 0)
        return "needs root, to give files other owners and run the tool as uid 65534 (setpriv)";
    if (std::system("setpriv --version > /dev/null 2>&1") != 0)
        return "needs setpriv (util-linux)";
    return nullptr;
#endif
}

// The kernel's own protections of sticky folders, printed with the rows
// that meet them: the tool's rules hold whatever they are.
void record_kernel_protections()
{
    for (const char* setting : {"protected_symlinks", "protected_regular", "protected_fifos"}) {
        const std::string value = read_file(fs::path("/proc/sys/fs") / setting);
        std::printf("fs.%s = %s", setting, value.empty() ? "(none)\n" : value.c_str());
    }
}

// What the output name holds before the run, and what the run must leave.
// The input is never written over. An output that may be replaced (absent,
// or a plain file of this user's with one name) is: a new file takes its
// name, with the earlier owner, group and mode. Anything else is written
// in place (links written through), or, when it cannot be written, left as
// it was. Either way nothing else appears in the folder, and a failed
// write leaves no partial file.
TEST_F(EndToEnd, WhatTheOutputNameLeadsTo)
{
    enum class Before {
        absent,
        longer_file,
        mode_0640,
        owned_by_another_user,
        writable_of_another_owner,
        read_only_output,
        directory,
        fifo_without_reader,
        link_to_input,
        hard_link_to_input,
        input_links_to_its_output,
        link_to_other,
        foreign_link_in_sticky_folder,
        hard_link_to_other,
        link_to_full_device,
        read_only_folder,
        sticky_folder,
        long_input_name,
        own_link_in_sticky_folder,
        folder_owners_link_in_sticky_folder,
        search_and_write_only_folder,
        chain_through_foreign_link,
        chain_through_foreign_folder_link,
        chain_of_own_links,
        chain_through_folder_owners_link,
        chain_of_40_links,
        chain_of_41_links,
        link_loop,
        own_dangling_link,
        held_sharing_reading,
        held_sharing_reading_and_writing,
    };
    // What becomes of the file at the output name (followed through links).
    enum class After { replaced, in_place, untouched, created };
    struct OutputCase {
        const char* what;
        Before before;
        bool unprivileged; // the tool runs as uid 65534
        int status;
        const char* message; // the last console line, before the output name
        After after;
        const char* skip; // why the case cannot be made here, or null
    };
    const char* const no_unprivileged_run = why_no_unprivileged_run();
#ifdef _WIN32
    const char* const no_fifos = "needs a FIFO (mkfifo); Windows has none";
    const char* const no_links = "needs symbolic links, which the runtime cannot make here";
    const char* const no_full_device = "needs a full device (/dev/full); Windows has none";
    const char* const no_modes = "needs POSIX modes";
    const char* const no_owners = "needs POSIX owners";
    const char* const no_share_modes = nullptr;
#else
    const char* const no_share_modes = "needs Windows share modes";
    const char* const no_fifos = nullptr;
    const char* const no_links = nullptr;
    const char* const no_full_device = fs::exists("/dev/full") ? nullptr : "no /dev/full here";
    const char* const no_modes = nullptr;
    const char* const no_owners =
        geteuid() == 0 ? nullptr : "needs root, to give the output another owner";
#endif
    const OutputCase cases[] = {
        {"no earlier output: a new file, 0666 less the umask", Before::absent, false, 0, nullptr,
         After::replaced, nullptr},
        {"an existing longer file is replaced", Before::longer_file, false, 0, nullptr,
         After::replaced, nullptr},
        {"a mode of 0640 is kept", Before::mode_0640, false, 0, nullptr, After::replaced, no_modes},
        {"as root, another user's output keeps its owner, group and mode",
         Before::owned_by_another_user, false, 0, nullptr, After::replaced, no_owners},
        {"another owner's writable output, not root: written in place",
         Before::writable_of_another_owner, true, 0, nullptr, After::in_place, no_unprivileged_run},
        {"a read-only output is refused and unchanged", Before::read_only_output, true, 1,
         "cannot open ", After::untouched, no_unprivileged_run},
        {"a directory", Before::directory, false, 1, "cannot open ", After::untouched, nullptr},
        {"a FIFO with no reader (no wait for ever)", Before::fifo_without_reader, false, 1,
         "cannot open ", After::untouched, no_fifos},
        {"a symbolic link to the input", Before::link_to_input, false, 1, "cannot open ",
         After::untouched, no_links},
        {"a hard link to the input", Before::hard_link_to_input, false, 1, "cannot open ",
         After::untouched, nullptr},
        {"an input that is a symbolic link to its own output", Before::input_links_to_its_output,
         false, 1, "cannot open ", After::untouched, no_links},
        {"a symbolic link to another file is written through", Before::link_to_other, false, 0,
         nullptr, After::in_place, no_links},
        {"another user's symbolic link in a sticky folder is not followed",
         Before::foreign_link_in_sticky_folder, false, 1, "cannot open ", After::untouched,
         no_owners != nullptr ? no_owners : no_links},
        {"a file with a second name: both names show the text", Before::hard_link_to_other, false,
         0, nullptr, After::in_place, nullptr},
        {"a symbolic link to a full device", Before::link_to_full_device, false, 1, "cannot write ",
         After::in_place, no_full_device},
        {"a read-only folder with a writable output: written in place", Before::read_only_folder,
         true, 0, nullptr, After::in_place, no_unprivileged_run},
        {"a sticky folder with another user's writable output: written in place",
         Before::sticky_folder, true, 0, nullptr, After::in_place, no_unprivileged_run},
        // The kernel's protected_symlinks (printed below) follows these two
        // as well when set, and refuses the foreign link above itself.
        {"this user's own symbolic link in a sticky folder is followed",
         Before::own_link_in_sticky_folder, true, 0, nullptr, After::in_place, no_unprivileged_run},
        {"a symbolic link of the sticky folder's owner is followed",
         Before::folder_owners_link_in_sticky_folder, false, 0, nullptr, After::in_place,
         no_owners != nullptr ? no_owners : no_links},
        {"a folder that may be searched and written but not read (0333)",
         Before::search_and_write_only_folder, true, 0, nullptr, After::replaced,
         no_unprivileged_run},
        {"an input name of 250 bytes: the temporary name still fits", Before::long_input_name,
         false, 0, nullptr, After::replaced, nullptr},
        // Chains of links, in a sticky folder anyone may write to, run as
        // root: each link on the way is followed only when it is root's or
        // the folder owner's, wherever it is met.
        {"root's link to another user's link to root's file: refused",
         Before::chain_through_foreign_link, false, 1, "cannot open ", After::untouched,
         no_owners != nullptr ? no_owners : no_links},
        {"root's link through another user's folder link: refused",
         Before::chain_through_foreign_folder_link, false, 1, "cannot open ", After::untouched,
         no_owners != nullptr ? no_owners : no_links},
        {"root's link (absolute) to root's link (relative) to a file: written through",
         Before::chain_of_own_links, false, 0, nullptr, After::in_place,
         no_owners != nullptr ? no_owners : no_links},
        {"root's link to the folder owner's link to a file: written through",
         Before::chain_through_folder_owners_link, false, 0, nullptr, After::in_place,
         no_owners != nullptr ? no_owners : no_links},
        {"40 links on the way: written through", Before::chain_of_40_links, false, 0, nullptr,
         After::in_place, no_links},
        {"41 links on the way: a loop, refused", Before::chain_of_41_links, false, 1,
         "cannot open ", After::untouched, no_links},
        {"a link that leads back to itself: refused", Before::link_loop, false, 1, "cannot open ",
         After::untouched, no_links},
        {"root's dangling link: the file is made where it leads", Before::own_dangling_link, false,
         0, nullptr, After::created, no_owners != nullptr ? no_owners : no_links},
        // Windows: a program holding the output open. Sharing reading
        // only, it lets nobody write or rename it; sharing writing but not
        // deletion, it keeps the rename from taking the name.
        {"held open sharing reading only: refused and unchanged", Before::held_sharing_reading,
         false, 1, "cannot open ", After::untouched, no_share_modes},
        {"held open sharing reading and writing: written in place",
         Before::held_sharing_reading_and_writing, false, 0, nullptr, After::in_place,
         no_share_modes},
    };
    // Each case has the same outcome whether the kernel's own protections
    // are set or not.
    record_kernel_protections();
    const std::vector<unsigned char> input_bytes = test_image::small_example();
    const std::string input_text(input_bytes.begin(), input_bytes.end());
    const std::string earlier_text = "old contents that are longer than the new ones";
    // Each case with the input named five ways: a bare name and ./name from
    // its folder, ../folder/name from a folder beside it, an absolute path,
    // and a path through a linked folder.
    enum class Naming { bare, dot, parent, absolute, linked_folder };
    const Naming namings[] = {Naming::bare, Naming::dot, Naming::parent, Naming::absolute,
                              Naming::linked_folder};
    const fs::path beside = dir / "beside";
    fs::create_directory(beside);
    int case_number = 0;
    for (const OutputCase& c : cases) {
        SCOPED_TRACE(c.what);
        ++case_number;
        if (c.skip != nullptr) {
            std::printf("case skipped, %s: %s\n", c.what, c.skip);
            continue;
        }
        for (const Naming naming : namings) {
            SCOPED_TRACE("naming " + std::to_string(static_cast<int>(naming)));
#ifdef _WIN32
            if (naming == Naming::linked_folder)
                continue; // the runtime cannot make symbolic links here
#endif
            const std::string folder_name = "case" + std::to_string(case_number) + "-" +
                                            std::to_string(static_cast<int>(naming));
            const fs::path folder = dir / folder_name;
            fs::create_directory(folder);
            const std::string name =
                c.before == Before::long_input_name ? std::string(250, 'l') : "in.bin";
            const fs::path input = folder / name;
            const fs::path output = folder / (name + ".txt");
            const fs::path other = folder / "other";
            std::string typed; // the input as given on the command line
            fs::path working_folder;
            switch (naming) {
            case Naming::bare:
                typed = name;
                working_folder = folder;
                break;
            case Naming::dot:
                typed = "./" + name;
                working_folder = folder;
                break;
            case Naming::parent:
                typed = "../" + folder_name + "/" + name;
                working_folder = beside;
                break;
            case Naming::absolute:
                typed = utf8(input);
                break;
            case Naming::linked_folder:
                fs::create_directory_symlink(folder, dir / ("link-" + folder_name));
                typed = utf8(dir / ("link-" + folder_name) / name);
                break;
            }
            if (c.before == Before::input_links_to_its_output) {
                write_file(output, input_bytes);
                fs::create_symlink(name + ".txt", input);
            } else {
                write_file(input, input_bytes);
            }
#ifndef _WIN32
            const auto give = [](const fs::path& path, unsigned owner, fs::perms mode) {
                ASSERT_EQ(chown(path.c_str(), owner, owner), 0) << path;
                fs::permissions(path, mode);
            };
#endif
            switch (c.before) {
            case Before::absent:
            case Before::input_links_to_its_output:
            case Before::held_sharing_reading: // made below, on Windows
            case Before::held_sharing_reading_and_writing:
                break;
            case Before::longer_file:
            case Before::long_input_name:
                std::ofstream(output) << earlier_text;
                break;
            case Before::mode_0640:
                std::ofstream(output) << earlier_text;
                fs::permissions(output, fs::perms(0640));
                break;
            case Before::directory:
                fs::create_directory(output);
                break;
            case Before::fifo_without_reader:
#ifndef _WIN32
                ASSERT_EQ(mkfifo(output.c_str(), 0644), 0);
#endif
                break;
            case Before::link_to_input:
                fs::create_symlink(name, output);
                break;
            case Before::hard_link_to_input:
                fs::create_hard_link(input, output);
                break;
            case Before::link_to_other:
                write_file(other, {'o', 'l', 'd'});
                fs::create_symlink(other, output);
                break;
            case Before::hard_link_to_other:
                std::ofstream(output) << earlier_text;
                fs::create_hard_link(output, other);
                break;
            case Before::link_to_full_device:
                fs::create_symlink("/dev/full", output);
                break;
            case Before::chain_of_40_links:
            case Before::chain_of_41_links: {
                // The output name and the links l1, l2, ... after it; as
                // the kernel counts, a linked folder on the way is one.
                write_file(other, {'o', 'l', 'd'});
                const int links = (c.before == Before::chain_of_40_links ? 40 : 41) -
                                  (naming == Naming::linked_folder ? 1 : 0);
                fs::path next = other;
                for (int i = links - 1; i >= 1; --i) {
                    const fs::path link = folder / ("l" + std::to_string(i));
                    fs::create_symlink(next.filename(), link);
                    next = link;
                }
                fs::create_symlink(next.filename(), output);
                break;
            }
            case Before::link_loop:
                fs::create_symlink("hop", output);
                fs::create_symlink(output.filename(), folder / "hop");
                break;
#ifndef _WIN32
            case Before::owned_by_another_user:
                std::ofstream(output) << earlier_text;
                give(output, nobody, fs::perms(0640));
                break;
            case Before::writable_of_another_owner:
                // In the tool's group, which it could give a new file.
                std::ofstream(output) << earlier_text;
                give(output, 0, fs::perms(0666));
                ASSERT_EQ(chown(output.c_str(), 0, nobody), 0);
                give(folder, 0, fs::perms(0777));
                break;
            case Before::read_only_output:
                std::ofstream(output) << earlier_text;
                give(output, nobody, fs::perms(0444));
                give(folder, nobody, fs::perms(0755));
                break;
            case Before::read_only_folder:
                std::ofstream(output) << earlier_text;
                give(output, nobody, fs::perms(0644));
                give(folder, nobody, fs::perms(0555));
                break;
            case Before::sticky_folder:
                std::ofstream(output) << earlier_text;
                give(output, 0, fs::perms(0666));
                give(folder, 0, fs::perms(01777));
                break;
            case Before::own_link_in_sticky_folder:
                write_file(other, {'o', 'l', 'd'});
                give(other, nobody, fs::perms(0644));
                fs::create_symlink(other, output);
                ASSERT_EQ(lchown(output.c_str(), nobody, nobody), 0);
                give(folder, 0, fs::perms(01777));
                break;
            case Before::folder_owners_link_in_sticky_folder:
                write_file(other, {'o', 'l', 'd'});
                fs::create_symlink(other, output);
                ASSERT_EQ(lchown(output.c_str(), nobody, nobody), 0);
                give(folder, nobody, fs::perms(01777));
                break;
            case Before::search_and_write_only_folder:
                give(folder, nobody, fs::perms(0333));
                break;
            case Before::foreign_link_in_sticky_folder:
                write_file(other, {'o', 'l', 'd'});
                fs::create_symlink(other, output);
                ASSERT_EQ(lchown(output.c_str(), nobody, nobody), 0);
                give(folder, 0, fs::perms(01777));
                break;
            case Before::chain_through_foreign_link:
            case Before::chain_through_folder_owners_link:
                write_file(other, {'o', 'l', 'd'});
                fs::create_symlink("hop", output);
                fs::create_symlink(other, folder / "hop");
                ASSERT_EQ(lchown((folder / "hop").c_str(), nobody, nobody), 0);
                give(folder, c.before == Before::chain_through_foreign_link ? 0 : nobody,
                     fs::perms(01777));
                break;
            case Before::chain_through_foreign_folder_link:
                write_file(other, {'o', 'l', 'd'});
                fs::create_symlink("hop/other", output);
                fs::create_directory_symlink(".", folder / "hop");
                ASSERT_EQ(lchown((folder / "hop").c_str(), nobody, nobody), 0);
                give(folder, 0, fs::perms(01777));
                break;
            case Before::chain_of_own_links:
                write_file(other, {'o', 'l', 'd'});
                fs::create_symlink(folder / "hop", output);
                fs::create_symlink("other", folder / "hop");
                give(folder, 0, fs::perms(01777));
                break;
            case Before::own_dangling_link:
                fs::create_directory(folder / "sub");
                fs::create_symlink("sub/made", output);
                give(folder, 0, fs::perms(01777));
                break;
#else
            default:
                break;
#endif
            }
#ifdef _WIN32
            // The holder's handle stays open for the run alone.
            struct Holder {
                HANDLE handle = INVALID_HANDLE_VALUE;
                ~Holder() { close(); }
                void close()
                {
                    if (handle != INVALID_HANDLE_VALUE)
                        CloseHandle(handle);
                    handle = INVALID_HANDLE_VALUE;
                }
            } holder;
            if (c.before == Before::held_sharing_reading ||
                c.before == Before::held_sharing_reading_and_writing) {
                std::ofstream(output) << earlier_text;
                const DWORD share = c.before == Before::held_sharing_reading
                                        ? FILE_SHARE_READ
                                        : FILE_SHARE_READ | FILE_SHARE_WRITE;
                holder.handle = CreateFileW(output.c_str(), GENERIC_READ, share, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
                ASSERT_NE(holder.handle, INVALID_HANDLE_VALUE);
            }
#endif
            if (c.unprivileged) {
                const std::string reach =
                    "setpriv --reuid=65534 --regid=65534 --clear-groups test -x '" +
                    folder.string() + "'";
                if (std::system(reach.c_str()) != 0) {
                    std::printf("case skipped, %s: uid 65534 cannot reach %s\n", c.what,
                                folder.string().c_str());
                    continue;
                }
            }
            std::error_code loop; // a chain of links too long to follow
            const bool regular_before = fs::is_regular_file(output, loop);
            const bool absent_before = !fs::exists(fs::symlink_status(output));
            const FileFacts facts_before = facts(output);
            const std::string text_before = regular_before ? read_file(output) : "";
            const std::vector<std::string> names_before = names_in(folder);
#ifndef _WIN32
            // A new output gets 0666 less the umask of the run.
            const mode_t umask_before = umask(absent_before ? 027 : 022);
#endif
            const RunResult r =
                run({typed}, Streams::output_to_file,
                    c.unprivileged ? unprivileged : std::vector<std::string>{}, working_folder);
#ifndef _WIN32
            umask(umask_before);
#else
            holder.close();
#endif
            EXPECT_EQ(r.status, c.status);
            const std::string expected_end =
                c.message != nullptr ? c.message + typed + ".txt\r\n" : "";
            EXPECT_EQ(r.console, converted_console(typed) + expected_end);
            EXPECT_EQ(read_file(input), input_text);
            if (c.status == 0) {
                EXPECT_EQ(read_file(output), test_image::small_example_output);
            }
            // Nothing else in the folder: no temporary file, no partial output.
            std::vector<std::string> names_expected = names_before;
            if (absent_before) {
                names_expected.push_back(utf8(output.filename()));
                std::sort(names_expected.begin(), names_expected.end());
            }
            EXPECT_EQ(names_in(folder), names_expected);
            const FileFacts facts_after = facts(output);
            switch (c.after) {
            case After::replaced:
                EXPECT_TRUE(facts_after.exists);
                if (facts_before.exists) {
                    EXPECT_NE(facts_after.index, facts_before.index) << "written in place";
                }
                break;
            case After::in_place:
                EXPECT_EQ(facts_after.index, facts_before.index) << "replaced";
                break;
            case After::untouched:
                EXPECT_EQ(facts_after.index, facts_before.index);
                if (regular_before) {
                    EXPECT_EQ(read_file(output), text_before);
                }
                break;
            case After::created:
                EXPECT_FALSE(facts_before.exists);
                EXPECT_TRUE(facts_after.exists);
                break;
            }
#ifndef _WIN32
            // Owner, group and permission bits as before (or new, as any file).
            if (absent_before) {
                EXPECT_EQ(facts_after.mode, 0640u);
            } else if (regular_before && !fs::is_symlink(output)) {
                EXPECT_EQ(facts_after.mode, facts_before.mode);
                EXPECT_EQ(facts_after.owner, facts_before.owner);
                EXPECT_EQ(facts_after.group, facts_before.group);
            }
#endif
            if (c.before == Before::link_to_other || c.before == Before::link_to_full_device) {
                EXPECT_TRUE(fs::is_symlink(output));
            }
            if (c.before == Before::hard_link_to_other) {
                EXPECT_EQ(read_file(other), test_image::small_example_output);
            }
            if (c.before == Before::own_link_in_sticky_folder ||
                c.before == Before::folder_owners_link_in_sticky_folder) {
                EXPECT_TRUE(fs::is_symlink(output));
                EXPECT_EQ(read_file(other), test_image::small_example_output);
            }
            switch (c.before) {
            case Before::foreign_link_in_sticky_folder:
            case Before::chain_through_foreign_link:
            case Before::chain_through_foreign_folder_link:
            case Before::chain_of_41_links:
                EXPECT_EQ(read_file(other), "old");
                break;
            case Before::chain_of_own_links:
            case Before::chain_through_folder_owners_link:
            case Before::chain_of_40_links:
                EXPECT_TRUE(fs::is_symlink(output));
                EXPECT_EQ(read_file(other), test_image::small_example_output);
                break;
            case Before::own_dangling_link:
                EXPECT_TRUE(fs::is_symlink(output));
                EXPECT_EQ(read_file(folder / "sub" / "made"), test_image::small_example_output);
                break;
            default:
                break;
            }
            if (c.before == Before::fifo_without_reader) {
                EXPECT_TRUE(fs::is_fifo(output));
            }
        }
    }
}

// Another user swaps the output's name for a link to a root-owned file
// while a run as root is stopped before one of its opens: whichever open it
// is, that file never changes. The user owns the input and the output, in
// a sticky folder anyone may write to; the output has a second name
// (written in place) or one (replaced), or it is root's own link to a name
// that does not exist yet, which the user then makes (the file is created
// where it leads, or nothing is). The opens are those a dry run under
// strace shows, from the input's on; strace stops the run with SIGSTOP as
// the open before returns, the swap waits until the run is stopped (its
// state in /proc is "t") and SIGCONT lets it go on: no timing is involved.
// With fs.protected_symlinks set, the kernel refuses to follow such a link
// itself; the outcome is the same either way (the values are printed).
TEST_F(EndToEnd, NameSwappedWhileTheRunPauses)
{
#ifdef _WIN32
    GTEST_SKIP() << "needs strace, POSIX owners and setpriv";
#else
    if (const char* why = why_no_unprivileged_run(); why != nullptr)
        GTEST_SKIP() << why;
    if (std::system("strace -V > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs strace";
    if (!words(std::getenv("CURVEDUMP_WRAPPER")).empty() || !words(CURVEDUMP_EMULATOR).empty())
        GTEST_SKIP() << "strace must pause the tool itself, not a wrapper or an emulator";
    record_kernel_protections();
    const std::string tool = build_path(CURVEDUMP_EXE);
    enum class Output { second_name, one_name, dangling_link };
    struct SwapCase {
        const char* what;
        Output output;
        const char* swapped; // the name the user makes a link to "secret"
    };
    const SwapCase cases[] = {
        {"written in place", Output::second_name, "x.bin.txt"},
        {"replaced", Output::one_name, "x.bin.txt"},
        {"root's dangling link, its target made a link", Output::dangling_link, "target"},
    };
    int row = 0;
    for (const SwapCase& c : cases) {
        SCOPED_TRACE(c.what);
        const auto set_up = [&](const fs::path& folder) {
            fs::create_directory(folder);
            write_file(folder / "x.bin", test_image::small_example());
            ASSERT_EQ(chown((folder / "x.bin").c_str(), nobody, nobody), 0);
            if (c.output == Output::dangling_link) {
                fs::create_symlink("target", folder / "x.bin.txt");
            } else {
                std::ofstream(folder / "x.bin.txt") << "earlier";
                ASSERT_EQ(chown((folder / "x.bin.txt").c_str(), nobody, nobody), 0);
            }
            if (c.output == Output::second_name)
                fs::create_hard_link(folder / "x.bin.txt", folder / "second");
            // With a second name, so that a run that reached it would
            // write it in place.
            std::ofstream(folder / "secret") << "root's";
            fs::create_hard_link(folder / "secret", folder / "secret2");
            fs::permissions(folder, fs::perms(01777));
        };
        // The tool's process records its number before it starts.
        const std::string command = " sh -c 'echo $$ > ../pid; exec \"$0\" x.bin' '" + tool + "'";
        const fs::path dry = dir / ("dry" + std::to_string(++row));
        set_up(dry);
        const std::string trace = (dir / "trace").string();
        ASSERT_EQ(std::system(("cd '" + dry.string() + "' && " + under_strace +
                               "-e trace=openat -o '" + trace + "'" + command + " > /dev/null")
                                  .c_str()),
                  0);
        std::istringstream lines(read_file(trace));
        std::vector<int> pauses; // the opens to stop before, counted from 1
        int opens = 0;
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("openat(", 0) != 0)
                continue;
            ++opens;
            if (!pauses.empty() || line.find("\"x.bin\"") != std::string::npos)
                pauses.push_back(opens);
        }
        ASSERT_GE(pauses.size(), 2u) << read_file(trace); // the input and the output at least
        for (const int pause : pauses) {
            SCOPED_TRACE("stopped before open " + std::to_string(pause));
            const fs::path folder =
                dir / ("race" + std::to_string(row) + "-" + std::to_string(pause));
            set_up(folder);
            fs::remove(dir / "pid");
            fs::remove(dir / "stops");
            // strace's own log says when the stop has happened; the state
            // in /proc that the run is still stopped (a bound of 60 s on
            // the wait only ends a run that never stops).
            const std::string script =
                "cd '" + folder.string() + "' || exit 1; { " + under_strace +
                "-o ../stops -e trace=openat -e inject=openat:signal=SIGSTOP:when=" +
                std::to_string(pause - 1) + command +
                " > ../console.out 2> ../errors.out; echo $? > ../status; } & "
                "i=0; until grep -q 'stopped by SIGSTOP' ../stops 2> /dev/null && "
                "[ \"$(sed 's/.*) //' /proc/$(cat ../pid)/stat 2> /dev/null | cut -c1)\" = t ]; "
                "do "
                "i=$((i+1)); [ $i -lt 6000 ] || exit 2; sleep 0.01; done; "
                "setpriv --reuid=65534 --regid=65534 --clear-groups sh -c "
                "'ln -s secret .swap && mv -T .swap " +
                c.swapped + "'; kill -CONT $(cat ../pid); wait";
            ASSERT_EQ(std::system(script.c_str()), 0) << script;
            EXPECT_EQ(read_file(folder / "secret"), "root's");
            EXPECT_EQ(read_file(dir / "errors.out"), "");
            const std::string status = read_file(dir / "status");
            const std::string console = read_file(dir / "console.out");
            const fs::path swapped = folder / c.swapped;
            if (status == "0\n") {
                // Only a replacement may end well, its rename taking the
                // name from the link, or a creation that came first.
                EXPECT_NE(c.output, Output::second_name);
                if (c.output == Output::one_name) {
                    EXPECT_FALSE(fs::is_symlink(swapped));
                    EXPECT_EQ(read_file(swapped), test_image::small_example_output);
                }
                EXPECT_EQ(console, converted_console("x.bin"));
            } else {
                EXPECT_TRUE(fs::is_symlink(swapped)) << "the swap came too late";
                EXPECT_EQ(status, "1\n");
                EXPECT_EQ(console, converted_console("x.bin") + "cannot open x.bin.txt\r\n");
            }
        }
    }
#endif
}

// A signal that stops a run while it replaces the output (strace sends it
// as the run gives the temporary file the earlier owner): the temporary
// file is removed, the earlier output kept, and the run ends by the
// signal. A signal ignored at the start stays ignored: under nohup
// (SIGHUP), or in the background of a script (SIGINT). Windows: a run
// ended from outside (TerminateProcess, as taskkill /F or a closed console
// window) as soon as its temporary file shows: the system removes it.
TEST_F(EndToEnd, InterruptedReplacement)
{
#ifdef _WIN32
    // An output of 8,000 lines, so that the temporary file lives long
    // enough to be seen. A run whose end came after its rename proves
    // nothing and is run again, until three ended before it.
    const test_image::Series series{1, 32000, test_image::f32(1.0f), test_image::f32(1.0f)};
    const std::vector<unsigned char> input = test_image::with_table(series, series);
    int ended_before_rename = 0;
    int runs = 0;
    for (; runs < 300 && ended_before_rename < 3; ++runs) {
        const fs::path folder = dir / ("ended" + std::to_string(runs));
        fs::create_directory(folder);
        write_file(folder / "x.bin", input);
        std::ofstream(folder / "x.bin.txt") << "earlier";
        std::wstring line;
        for (const std::string& word : tool_command())
            line += quoted_argument(wide(word)) + L" ";
        line += quoted_argument((folder / "x.bin").wstring());
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        ASSERT_NE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS,
                                 nullptr, nullptr, &startup, &process),
                  0)
            << "cannot start the tool: error " << GetLastError();
        const std::wstring pattern = (folder / ".curvedump-*").wstring();
        bool seen = false;
        while (!seen && WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
            WIN32_FIND_DATAW found;
            const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
            if (search != INVALID_HANDLE_VALUE) {
                FindClose(search);
                seen = true;
            }
        }
        if (seen)
            TerminateProcess(process.hProcess, 9);
        WaitForSingleObject(process.hProcess, INFINITE);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        EXPECT_EQ(names_in(folder), (std::vector<std::string>{"x.bin", "x.bin.txt"}));
        const std::string output = read_file(folder / "x.bin.txt");
        EXPECT_TRUE(output == "earlier" || output.size() == 200000u) << output.size();
        if (seen && output == "earlier")
            ++ended_before_rename;
    }
    std::printf("%d runs, %d ended while the temporary file was open\n", runs, ended_before_rename);
    EXPECT_GE(ended_before_rename, 1) << "no run ended before its rename";
#else
    if (std::system("strace -V > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs strace";
    if (!words(std::getenv("CURVEDUMP_WRAPPER")).empty() || !words(CURVEDUMP_EMULATOR).empty())
        GTEST_SKIP() << "strace must signal the tool itself, not a wrapper or an emulator";
    struct SignalCase {
        const char* what;
        const char* signal; // as strace names it, or its number
        const char* prefix; // before strace
        bool background;    // started with "&" by a script
        int status;
    };
#ifdef SIGRTMIN
    // The real-time signals' numbers are the C library's (it keeps the
    // first few for itself).
    const std::string rtmin = std::to_string(SIGRTMIN);
    const std::string rtmax = std::to_string(SIGRTMAX);
#endif
    const SignalCase cases[] = {
        {"SIGTERM", "TERM", "", false, 128 + SIGTERM},
        {"SIGINT", "INT", "", false, 128 + SIGINT},
        {"SIGHUP", "HUP", "", false, 128 + SIGHUP},
        {"SIGQUIT", "QUIT", "", false, 128 + SIGQUIT},
        {"SIGUSR1", "USR1", "", false, 128 + SIGUSR1},
        {"SIGALRM", "ALRM", "", false, 128 + SIGALRM},
#ifdef SIGRTMIN
        {"SIGRTMIN", rtmin.c_str(), "", false, 128 + SIGRTMIN},
        {"SIGRTMAX", rtmax.c_str(), "", false, 128 + SIGRTMAX},
#endif
#ifdef SIGSTKFLT
        {"SIGSTKFLT", "STKFLT", "", false, 128 + SIGSTKFLT},
#endif
        {"SIGHUP under nohup: ignored", "HUP", "nohup ", false, 0},
        {"SIGINT in the background of a script: ignored", "INT", "", true, 0},
    };
    int row = 0;
    for (const SignalCase& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path folder = dir / ("signal" + std::to_string(++row));
        fs::create_directory(folder);
        write_file(folder / "x.bin", test_image::small_example());
        std::ofstream(folder / "x.bin.txt") << "earlier";
        // Only the tool's standard error goes to errors.out: strace reports
        // the signal ("Terminated") on its own, and that is dropped.
        const std::string run =
            without_leak_check + c.prefix +
            "strace -qq -o /dev/null -e trace=fchown -e inject=fchown:signal=" + c.signal +
            " sh -c 'exec \"$0\" x.bin 2> ../errors.out' '" + build_path(CURVEDUMP_EXE) +
            "' < /dev/null > ../console.out";
        // No core file from SIGQUIT.
        const std::string script = "cd '" + folder.string() + "' || exit 1; ulimit -c 0; ( " +
                                   (c.background ? run + " & wait $!" : run) +
                                   "; echo $? > ../status ) 2> /dev/null";
        ASSERT_EQ(std::system(script.c_str()), 0) << script;
        EXPECT_EQ(read_file(dir / "status"), std::to_string(c.status) + "\n");
        EXPECT_EQ(read_file(dir / "console.out"), converted_console("x.bin"));
        EXPECT_EQ(read_file(dir / "errors.out"), "");
        EXPECT_EQ(names_in(folder), (std::vector<std::string>{"x.bin", "x.bin.txt"}));
        EXPECT_EQ(read_file(folder / "x.bin.txt"),
                  c.status == 0 ? test_image::small_example_output : "earlier");
    }
    // A close of the output that reports a failed write (EIO, strace
    // injecting it), as network and FUSE file systems may: "cannot write",
    // and no name keeps a part. Replaced, the earlier output stays; in place,
    // the file is emptied and its own name removed.
    struct CloseCase {
        const char* what;
        const char* before;             // shell commands, "&&" ended
        std::vector<std::string> names; // in the folder after the run
        const char* kept_at;            // the name that shows what the file holds
        const char* contents;           // there
        const char* closed;             // the file whose close fails, as strace -y names it
    };
    const CloseCase closes[] = {
        {"replaced", "", {"x.bin", "x.bin.txt"}, "x.bin.txt", "earlier", "/.curvedump-"},
        {"in place, a second name",
         "ln x.bin.txt second && ",
         {"second", "x.bin"},
         "second",
         "",
         "/x.bin.txt>"},
        {"in place, through a link",
         "mv x.bin.txt target && ln -s target x.bin.txt && ",
         {"target", "x.bin", "x.bin.txt"},
         "target",
         "",
         "/target>"},
    };
    for (const CloseCase& c : closes) {
        SCOPED_TRACE(c.what);
        const fs::path folder = dir / ("close" + std::to_string(++row));
        const std::string tool = "'" + build_path(CURVEDUMP_EXE) + "' x.bin";
        const std::string set_up =
            "cd '" + folder.string() + "' || exit 1; printf earlier > x.bin.txt && " + c.before;
        // Each run is traced (-y names each descriptor's file), and a run
        // whose failed close was not the output's (the count of a
        // sanitizer's start-up closes can still vary, see under_strace) is
        // made again with the count that run showed. The first run fails
        // none.
        std::string which = "0";
        bool landed = false;
        for (int attempt = 0; attempt < 6 && !landed; ++attempt) {
            fs::remove_all(folder);
            fs::create_directory(folder);
            write_file(folder / "x.bin", test_image::small_example());
            const std::string script =
                set_up + under_strace + "-y -o ../closes -e trace=close " +
                (which == "0" ? "" : "-e inject=close:error=EIO:when=" + which + " ") + tool +
                " > ../console.out 2> ../errors.out; echo $? > ../status; grep '^close' "
                "../closes | grep -n -F '" +
                c.closed + "' | head -1 > ../first";
            ASSERT_EQ(std::system(script.c_str()), 0) << script;
            // "N:close(...) = ..." for the file's first close in this run.
            const std::string first = read_file(dir / "first");
            ASSERT_NE(first.find(':'), std::string::npos) << read_file(dir / "closes");
            landed = first.find("(INJECTED)") != std::string::npos;
            which = first.substr(0, first.find(':'));
        }
        ASSERT_TRUE(landed) << read_file(dir / "closes");
        EXPECT_EQ(read_file(dir / "status"), "1\n");
        EXPECT_EQ(read_file(dir / "console.out"),
                  converted_console("x.bin") + "cannot write x.bin.txt\r\n");
        EXPECT_EQ(read_file(dir / "errors.out"), "");
        EXPECT_EQ(names_in(folder), c.names);
        EXPECT_EQ(read_file(folder / c.kept_at), c.contents);
    }
#endif
}

// The input as the tool opens it, in this process: not inherited by a
// process started while it is open (the Python module converts in threads
// that may run alongside one that starts a process), and, when it cannot
// be opened, errno says why, on every platform.
TEST_F(EndToEnd, TheInputAsOpened)
{
    write_file(dir / "in.bin", test_image::small_example());
    struct InputCase {
        const char* what;
        std::string path;
        int error; // 0: opened
    };
#ifdef _WIN32
    const int unencodable = EINVAL; // no name on this system has these bytes
#else
    const int unencodable = ENOENT;
#endif
    const InputCase cases[] = {
        {"an existing file", path("in.bin"), 0},
        {"a missing file", path("missing.bin"), ENOENT},
        {"an empty name", "", ENOENT},
        {"bytes that are no UTF-8", path("missing.bin") + "\xff", unencodable},
    };
    for (const InputCase& c : cases) {
        SCOPED_TRACE(c.what);
        const curvedump::OpenedInput opened = curvedump::open_input(c.path);
        EXPECT_EQ(opened.error, c.error);
        EXPECT_EQ(opened.input.open(), c.error == 0);
        if (!opened.input.open())
            continue;
#ifdef _WIN32
        DWORD flags = 0;
        ASSERT_NE(GetHandleInformation(reinterpret_cast<HANDLE>(opened.input.raw), &flags), 0);
        EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
#else
        EXPECT_NE(fcntl(static_cast<int>(opened.input.raw), F_GETFD) & FD_CLOEXEC, 0);
#endif
    }
}

// Readers of an output that is being replaced see the earlier text or the
// new one, whole: never an empty or half-written file. Two inputs of
// 8,000 lines each (both series over the same zeros, offsets 1 and 2) are
// converted in turn to the same output while a thread reads it.
TEST_F(EndToEnd, ReadersSeeAWholeOutput)
{
#ifdef _WIN32
    GTEST_SKIP() << "a reader holding the output open makes the rename fail, and the output is "
                    "then written in place (readers see it whole only between reads)";
#else
    const auto input_with_offset = [](float offset) {
        const test_image::Series series{1, 32000, test_image::f32(1.0f), test_image::f32(offset)};
        return test_image::with_table(series, series);
    };
    const std::vector<unsigned char> inputs[] = {input_with_offset(1.0f), input_with_offset(2.0f)};
    std::string texts[2];
    const fs::path input = dir / "r.bin";
    const fs::path output = dir / "r.bin.txt";
    for (int i = 0; i < 2; ++i) {
        write_file(input, inputs[i]);
        ASSERT_EQ(run({utf8(input)}).status, 0);
        texts[i] = read_file(output);
    }
    ASSERT_EQ(texts[0].size(), 200000u);
    ASSERT_NE(texts[0], texts[1]);
    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!done) {
            const std::string seen = read_file(output);
            if (seen != texts[0] && seen != texts[1])
                ++torn;
            ++reads;
        }
    });
    for (int i = 0; i < 40; ++i) {
        write_file(input, inputs[i % 2]);
        EXPECT_EQ(run({utf8(input)}).status, 0);
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    EXPECT_GT(reads, 40);
#endif
}

// Outputs on a 64 KiB file system, mounted in a private mount namespace so
// that the machine's own mounts never change. Whatever runs out (inodes,
// blocks, or both), every name of the earlier output holds afterwards its
// earlier bytes or the whole new text, the console says which ("cannot
// write" or nothing), and no other name appears: no temporary file, no
// partial output. An output that is a mount point cannot be renamed over
// and is written in place.
TEST_F(EndToEnd, FileSystemThatFills)
{
#ifdef _WIN32
    // Under wine, the host's shell makes the namespace as on Linux, and
    // the tool runs there under wine with a wineserver of its own, which
    // sees the small file system (the server makes the renames and
    // deletions), in a copy of this prefix.
    const std::string host_dir = unix_name(dir);
    if (host_dir.empty())
        GTEST_SKIP() << "needs wine's own call for the host's file names";
    const bool root = true;
    const std::string unshare = "unshare --mount";
    if (run_on_host(unshare + " true 2>/dev/null", dir) != 0)
        GTEST_SKIP() << unshare << " is refused here (as root under wine only)";
    // Beside this prefix, not in it (where this folder is), and without
    // the temporary folders, which the tests running beside this one fill
    // and empty while it copies.
    const std::string prefix = "/tmp/curvedump-prefix-" + utf8(dir.filename());
    ASSERT_EQ(run_on_host("mkdir -p '" + prefix + "' && tar -C \"${WINEPREFIX:-$HOME/.wine}\" " +
                              "--exclude='./drive_c/users/*/Temp/*' -cf - . | tar -C '" + prefix +
                              "' -xf -",
                          dir),
              0);
    const std::string own_server = "export WINEPREFIX=\"" + prefix + "\" && wineserver -p && ";
    const std::string server_stopped = "wineserver -k; wineserver -w; ";
    const std::vector<std::string> tool_words = {"wine", CURVEDUMP_EXE};
#else
    // Root makes the namespace without a user namespace, so that the tool
    // can run there as uid 65534 too.
    const bool root = geteuid() == 0;
    const std::string unshare = root ? "unshare --mount" : "unshare --user --map-root-user --mount";
    if (std::system((unshare + " true 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << unshare << " is refused here";
    const std::string host_dir = dir.string();
    const std::string own_server;
    const std::string server_stopped;
    const std::vector<std::string> tool_words = tool_command();
#endif
    // Both series lie past the end of the 176-byte file and read as zeros:
    // 4,032 lines, about 100 KB of output.
    write_file(dir / "big.bin",
               test_image::with_table({1, 16128, test_image::f32(1.0f), test_image::f32(0.0f)},
                                      {64, 16380}));
    write_file(dir / "small.bin", test_image::small_example());
    const std::string big_header =
        "1 64 16128 16380\r\n1.000000e+00 0.000000e+00\r\n0.000000e+00 0.000000e+00\r\n";
    struct FullCase {
        const char* what;
        std::string before; // shell commands run in the namespace before the tool, "&&" ended
        bool big;           // the input whose output does not fit
        int status;
        const char* message;       // the last console line, before the output name
        const char* files;         // the folder's contents after the run
        std::string contents;      // of f.bin.txt and small/second, where they are
        bool unprivileged = false; // the tool runs as uid 65534
    };
    const std::string small_output = test_image::small_example_output;
    // The earlier output, with one name, two, behind a link, or in a folder
    // uid 65534 cannot write (its file writable by that user); then the
    // file system filled: no free inode (16 at most), no free block, or
    // both. The big output never fits.
    const std::string earlier = "printf \"earlier\\r\\n\" > small/f.bin.txt && ";
    const std::string second = earlier + "ln small/f.bin.txt small/second && ";
    const std::string link =
        "printf \"earlier\\r\\n\" > small/target && ln -s target small/f.bin.txt && ";
    const std::string foreign = earlier + "chown 65534:65534 small/f.bin.txt && ";
    const std::string no_inode = "mkdir small/fill && i=0 && while touch small/fill/$i "
                                 "2>/dev/null; do i=$((i+1)); done && ";
    const std::string no_block =
        "mkdir -p small/fill && { cat /dev/zero > small/fill/zeros 2>/dev/null; true; } && ";
    const std::string unwritable = "chmod 0555 small && ";
    const std::string both = no_inode + no_block;
    const std::string kept = "earlier\r\n";
    const FullCase cases[] = {
        {"no earlier output: none left", "", true, 1, "cannot write ", "f.bin\n", ""},
        {"an earlier output is kept byte for byte", earlier, true, 1, "cannot write ",
         "f.bin\nf.bin.txt\n", kept},
        {"a second name of the output: both names keep the earlier text", second, true, 1,
         "cannot write ", "f.bin\nf.bin.txt\nsecond\n", kept + kept},
        {"a mount at the output name: written in place",
         "touch small/source small/f.bin.txt && mount --bind small/source small/f.bin.txt && ",
         false, 0, nullptr, "f.bin\nf.bin.txt\nsource\n", small_output},
        {"no free inode: one name, written in place once its room is reserved", earlier + no_inode,
         false, 0, nullptr, "f.bin\nf.bin.txt\nfill\n", small_output},
        {"no free inode: two names", second + no_inode, false, 0, nullptr,
         "f.bin\nf.bin.txt\nfill\nsecond\n", small_output + small_output},
        {"no free inode: a link", link + no_inode, false, 0, nullptr,
         "f.bin\nf.bin.txt\nfill\ntarget\n", small_output},
        {"no free inode: a folder the user cannot write", foreign + no_inode + unwritable, false, 0,
         nullptr, "f.bin\nf.bin.txt\nfill\n", small_output, true},
        {"no free inode and no earlier output: none made", no_inode, false, 1, "cannot open ",
         "f.bin\nfill\n", ""},
        {"no free block: one name", earlier + no_block, false, 1, "cannot write ",
         "f.bin\nf.bin.txt\nfill\n", kept},
        {"no free block: two names, the text fits the earlier file's block", second + no_block,
         false, 0, nullptr, "f.bin\nf.bin.txt\nfill\nsecond\n", small_output + small_output},
        {"no free block: a link, the same", link + no_block, false, 0, nullptr,
         "f.bin\nf.bin.txt\nfill\ntarget\n", small_output},
        {"no free block: a folder the user cannot write, the same", foreign + no_block + unwritable,
         false, 0, nullptr, "f.bin\nf.bin.txt\nfill\n", small_output, true},
        {"no free block, a text past the earlier file's block: two names", second + no_block, true,
         1, "cannot write ", "f.bin\nf.bin.txt\nfill\nsecond\n", kept + kept},
        {"no free inode, too few blocks: one name", earlier + both, true, 1, "cannot write ",
         "f.bin\nf.bin.txt\nfill\n", kept},
        {"no free inode, too few blocks: two names", second + both, true, 1, "cannot write ",
         "f.bin\nf.bin.txt\nfill\nsecond\n", kept + kept},
        {"no free inode, too few blocks: a link", link + both, true, 1, "cannot write ",
         "f.bin\nf.bin.txt\nfill\ntarget\n", kept},
        {"no free inode, too few blocks: a folder the user cannot write",
         foreign + both + unwritable, true, 1, "cannot write ", "f.bin\nf.bin.txt\nfill\n", kept,
         true},
    };
    for (const FullCase& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.unprivileged && (!root || why_no_unprivileged_run() != nullptr)) {
            std::printf("case skipped, %s: needs root and setpriv\n", c.what);
            continue;
        }
#ifdef _WIN32
        if (c.before.find("ln -s") != std::string::npos) {
            // It replaces it, and a temporary file without room for the
            // text fails the run before the reservation is tried.
            std::printf("case skipped, %s: wine shows a link to a file as a plain file\n", c.what);
            continue;
        }
#endif
        // The tool's command follows the script as its arguments ("$@").
        std::string command =
            "cd '" + host_dir + "' && " + unshare +
            " sh -c 'mount -t tmpfs -o size=64k,nr_inodes=16 tmpfs small && cp " +
            (c.big ? "big.bin" : "small.bin") + " small/f.bin && " + c.before + own_server +
            "\"$@\" small/f.bin > console.out 2> errors.out; echo $? > status; " + server_stopped +
            "ls -A small > files; cat small/f.bin.txt small/second > contents 2> /dev/null; "
            "true' sh";
        std::vector<std::string> tool = c.unprivileged ? unprivileged : std::vector<std::string>{};
        for (const std::string& word : tool_words)
            tool.push_back(word);
        for (const std::string& word : tool)
            command += " '" + word + "'";
        fs::create_directory(dir / "small");
#ifdef _WIN32
        ASSERT_EQ(run_on_host(command, dir), 0) << command;
#else
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
#endif
        fs::remove(dir / "small");
        const std::string end =
            c.message != nullptr ? c.message + std::string("small/f.bin.txt\r\n") : "";
        EXPECT_EQ(read_file(dir / "status"), std::to_string(c.status) + "\n");
        EXPECT_EQ(read_file(dir / "console.out"),
                  (c.big ? big_header : test_image::small_example_header) +
                      "converting : small/f.bin -> small/f.bin.txt\r\n" + end);
        EXPECT_EQ(read_file(dir / "errors.out"), "");
        EXPECT_EQ(read_file(dir / "files"), c.files);
        EXPECT_EQ(read_file(dir / "contents"), c.contents);
    }
#ifdef _WIN32
    EXPECT_EQ(run_on_host("rm -rf '" + prefix + "'", dir), 0);
#endif
}

// Standard streams that are closed or lead nowhere: the conversion still
// completes, its status is the conversion's alone, and no console text
// lands in the output file (which may be given descriptor 1).
TEST_F(EndToEnd, StandardStreamsClosedOrGone)
{
#ifdef _WIN32
    const Streams cases[] = {Streams::no_output_at_all};
#else
    const Streams cases[] = {Streams::output_closed, Streams::input_and_output_closed,
                             Streams::reader_gone};
#endif
    write_file(dir / "x.bin", test_image::small_example());
    for (const Streams streams : cases) {
        SCOPED_TRACE(static_cast<int>(streams));
        fs::remove(dir / "x.bin.txt");
        const RunResult ok = run({path("x.bin")}, streams);
        EXPECT_EQ(ok.status, 0);
        EXPECT_EQ(read_file(dir / "x.bin.txt"), test_image::small_example_output);
        EXPECT_EQ(run({path("missing.bin")}, streams).status, 2);
    }
#ifndef _WIN32
    // An output name that is a link to /dev/stdout, itself a link to
    // /proc/self/fd/1, which the kernel resolves to the open pipe: the text
    // follows the console lines.
    if (fs::exists("/dev/stdout") && words(CURVEDUMP_EMULATOR).empty()) {
        fs::remove(dir / "x.bin.txt");
        fs::create_symlink("/dev/stdout", dir / "x.bin.txt");
        std::string command = "cd '" + dir.string() + "' && { ";
        for (const std::string& word : tool_command())
            command += "'" + word + "' ";
        command += "x.bin; echo $? > status; } | cat > piped";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        EXPECT_EQ(read_file(dir / "status"), "0\n");
        EXPECT_EQ(read_file(dir / "piped"),
                  converted_console("x.bin") + test_image::small_example_output);
        EXPECT_TRUE(fs::is_symlink(dir / "x.bin.txt"));
    }
#endif
}

#ifdef _WIN32
// What wine cannot show about long paths on stock Windows: the executable
// declares itself long-path aware, and asks for the UTF-8 code page for
// anything still narrow.
TEST_F(EndToEnd, ExecutableCarriesItsManifest)
{
    const std::string exe = read_file(build_path(CURVEDUMP_EXE));
    for (const char* setting : {"SMI/2019/WindowsSettings\">UTF-8</activeCodePage>",
                                "SMI/2016/WindowsSettings\">true</longPathAware>"})
        EXPECT_NE(exe.find(setting), std::string::npos) << setting;
}
#endif

} // namespace
