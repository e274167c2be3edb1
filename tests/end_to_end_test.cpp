// The built executable on files written here: console bytes, exit status,
// and the output file, for every exit status.
#include "test_image.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace {

namespace fs = std::filesystem;

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

struct RunResult {
    int status;
    std::string console;
};

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

    // Runs the executable with `args` (already quoted as needed) in the
    // test's directory, console captured to a file.
    RunResult run(const std::string& args, const std::string& redirect = "")
    {
        const fs::path console = dir / "console.out";
        // CURVEDUMP_WRAPPER runs the tool under another program, valgrind say.
        const char* wrapper = std::getenv("CURVEDUMP_WRAPPER");
        std::string command = std::string(wrapper != nullptr ? wrapper : "") + " " +
                              CURVEDUMP_EMULATOR + " \"" + build_path(CURVEDUMP_EXE) + "\" " +
                              args + " >\"" + console.string() + "\"" + redirect;
#ifdef _WIN32
        // cmd.exe drops the first and the last quote of the whole line.
        command = "\"" + command + "\"";
#endif
        const int raw = std::system(command.c_str());
#ifdef _WIN32
        const int status = raw;
#else
        const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
        return {status, read_file(console)};
    }

    std::string quoted(const std::string& name) const
    {
        return "\"" + (dir / name).string() + "\"";
    }

    fs::path dir;
};

TEST_F(EndToEnd, ConvertsAndOverwrites)
{
    const fs::path input = dir / "run7.dat";
    write_file(input, test_image::small_example());
    std::ofstream(dir / "run7.dat.txt") << "old contents that are longer than the new ones";
    const RunResult r = run(quoted("run7.dat"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.console, test_image::small_example_header + "converting : " + input.string() +
                             " -> " + input.string() + ".txt\r\n");
    EXPECT_EQ(read_file(dir / "run7.dat.txt"), test_image::small_example_output);
}

TEST_F(EndToEnd, BundledSampleMatchesItsCommittedOutput)
{
    const fs::path input = dir / "damped.bin";
    fs::copy_file(fs::path(build_path(CURVEDUMP_SAMPLE_DIR)) / "damped.bin", input);
    const RunResult r = run(quoted("damped.bin"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(dir / "damped.bin.txt"),
              read_file(fs::path(build_path(CURVEDUMP_SAMPLE_DIR)) / "damped.bin.txt"));
}

TEST_F(EndToEnd, OnlyTheFirstArgumentIsUsed)
{
    write_file(dir / "a.bin", test_image::small_example());
    write_file(dir / "b.bin", test_image::small_example());
    write_file(dir / "b.bin.txt", {'k', 'e', 'e', 'p'});
    const RunResult r = run(quoted("a.bin") + " " + quoted("b.bin"));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fs::exists(dir / "a.bin.txt"));
    EXPECT_EQ(read_file(dir / "b.bin"), read_file(dir / "a.bin"));
    EXPECT_EQ(read_file(dir / "b.bin.txt"), "keep");
}

TEST_F(EndToEnd, NoArgumentPrintsNothing)
{
    const RunResult r = run("");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.console, "");
}

TEST_F(EndToEnd, OutputNameTakenByDirectory)
{
    const fs::path input = dir / "x.bin";
    write_file(input, test_image::small_example());
    fs::create_directory(dir / "x.bin.txt");
    const RunResult r = run(quoted("x.bin"));
    EXPECT_EQ(r.status, 1);
    const std::string out = input.string() + ".txt";
    EXPECT_EQ(r.console, test_image::small_example_header + "converting : " + input.string() +
                             " -> " + out + "\r\n" + "cannot open " + out + "\r\n");
}

TEST_F(EndToEnd, InputThatCannotBeRead)
{
    for (const char* name : {"missing.bin", "."}) {
        SCOPED_TRACE(name);
        const std::string path = name[0] == '.' ? dir.string() : (dir / name).string();
        const RunResult r = run("\"" + path + "\"");
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.console, "Cannot open " + path + "\r\n");
        EXPECT_FALSE(fs::exists(path + ".txt"));
    }
}

TEST_F(EndToEnd, EmptyFileCreatesNoOutput)
{
    write_file(dir / "empty.bin", {});
    const RunResult r = run(quoted("empty.bin"));
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.console, "0 0 0 0\r\n0.000000e+00 0.000000e+00\r\n0.000000e+00 0.000000e+00\r\n"
                         "Cannot allocate memory\r\n");
    EXPECT_FALSE(fs::exists(dir / "empty.bin.txt"));
}

TEST_F(EndToEnd, FileSizeLimit)
{
    std::vector<unsigned char> file = test_image::small_example();
    file.resize(32768);
    write_file(dir / "full.bin", file);
    const RunResult full = run(quoted("full.bin"));
    EXPECT_EQ(full.status, 4);
    EXPECT_EQ(full.console, "memory overflow\r\n");
    EXPECT_FALSE(fs::exists(dir / "full.bin.txt"));

    file.resize(32767);
    write_file(dir / "fits.bin", file);
    const RunResult fits = run(quoted("fits.bin"));
    EXPECT_EQ(fits.status, 0);
    EXPECT_EQ(read_file(dir / "fits.bin.txt"), test_image::small_example_output);
}

TEST_F(EndToEnd, DescriptorOutsideTheImage)
{
    write_file(dir / "bad.bin", test_image::with_table({1, 4, 1.0f, 0.0f}, {128, 4, 1.0f, 0.0f}));
    const RunResult r = run(quoted("bad.bin"));
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.console, "1 128 4 4\r\n1.000000e+00 1.000000e+00\r\n0.000000e+00 0.000000e+00\r\n"
                         "invalid descriptor for series 2\r\n");
    EXPECT_FALSE(fs::exists(dir / "bad.bin.txt"));
}

// Paths of any length: no fixed buffer for the output name, and a name
// the system refuses is reported like any other.
TEST_F(EndToEnd, LongPaths)
{
    // A path well past 256 bytes that the system accepts converts.
    fs::path deep = dir;
    for (int i = 0; i < 6; ++i)
        deep /= std::string(60, static_cast<char>('a' + i));
    fs::create_directories(deep);
    const fs::path input = deep / "long.bin";
    write_file(input, test_image::small_example());
    ASSERT_GT(input.string().size(), 300u);
    const RunResult deep_run = run("\"" + input.string() + "\"");
    EXPECT_EQ(deep_run.status, 0);
    EXPECT_EQ(read_file(input.string() + ".txt"), test_image::small_example_output);

#ifndef _WIN32
    // A file name of 252 bytes exists, but with ".txt" it is too long.
    const std::string name(252, 'n');
    write_file(dir / name, test_image::small_example());
    const RunResult name_run = run(quoted(name));
    EXPECT_EQ(name_run.status, 1);
    const std::string out = (dir / name).string() + ".txt";
    EXPECT_EQ(name_run.console.substr(name_run.console.size() - out.size() - 14),
              "cannot open " + out + "\r\n");

    // A path longer than the system takes at all.
    const std::string huge = (dir / std::string(5000, 'p')).string();
    const RunResult huge_run = run("\"" + huge + "\"");
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
    const RunResult r = run("/proc/self/mem");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.console, "Cannot open /proc/self/mem\r\n");
}

// A write that fails is not a success: the output name links to a full device.
TEST_F(EndToEnd, OutputOnFullDevice)
{
#ifdef _WIN32
    GTEST_SKIP() << "needs a full device (/dev/full); Windows has none";
#endif
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full on this system";
    const fs::path input = dir / "x.bin";
    write_file(input, test_image::small_example());
    fs::create_symlink("/dev/full", dir / "x.bin.txt");
    const RunResult r = run(quoted("x.bin"));
    EXPECT_EQ(r.status, 1);
    const std::string out = input.string() + ".txt";
    EXPECT_EQ(r.console, test_image::small_example_header + "converting : " + input.string() +
                             " -> " + out + "\r\n" + "cannot write " + out + "\r\n");
    EXPECT_TRUE(fs::is_symlink(dir / "x.bin.txt"));
}

// With standard output closed the tool neither crashes nor lets console
// text land in the output file, which may be given descriptor 1.
TEST_F(EndToEnd, StandardOutputClosed)
{
#ifdef _WIN32
    GTEST_SKIP() << "needs a shell that can close standard output (>&-); cmd.exe cannot";
#endif
    write_file(dir / "x.bin", test_image::small_example());
    for (const char* closing : {" >&-", " <&- >&-"}) {
        SCOPED_TRACE(closing);
        fs::remove(dir / "x.bin.txt");
        const RunResult ok = run(quoted("x.bin"), closing);
        EXPECT_EQ(ok.status, 0);
        EXPECT_EQ(read_file(dir / "x.bin.txt"), test_image::small_example_output);
    }

    const RunResult missing = run(quoted("missing.bin"), " >&-");
    EXPECT_EQ(missing.status, 2);
}

} // namespace
